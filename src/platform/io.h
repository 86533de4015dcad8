// Single read and write calls on descriptors, with errno turned into error names.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "error/error.h"

namespace skerrow {

// One write call. A call interrupted before it took any byte is repeated; a short count is
// returned as is (the caller decides whether to go on). Errors follow the write table:
// EPERM PermissionDenied, ESRCH ProcessNotFound, EIO InputOutput, ENXIO NoDevice,
// EBADF NotOpenForWriting, EACCES AccessDenied, EBUSY DeviceBusy, EINVAL InvalidArgument,
// EFBIG FileTooBig, ENOSPC NoSpaceLeft, EPIPE BrokenPipe, EAGAIN WouldBlock,
// EMSGSIZE MessageTooBig, ECONNRESET ConnectionResetByPeer, EDQUOT DiskQuota, else Unexpected.
// Send time-outs (SO_SNDTIMEO) surface as WouldBlock.
Result<std::size_t> write_once(int fd, std::string_view bytes);

// One read call; EINTR is repeated; 0 means end of stream. Errors follow the read table:
// ESRCH ProcessNotFound, EIO InputOutput, EBADF NotOpenForReading, ENOMEM/ENOBUFS
// SystemResources, EISDIR IsDir, EAGAIN WouldBlock, ECONNRESET ConnectionResetByPeer,
// ENOTCONN SocketNotConnected, ETIMEDOUT ConnectionTimedOut, ECANCELED Canceled, else Unexpected.
Result<std::size_t> read_once(int fd, std::span<char> buffer);

ErrorCode write_error_from_errno(int err);
ErrorCode read_error_from_errno(int err);

// The socket table, for socket() itself: ENOMEM/ENOBUFS SystemResources, EACCES AccessDenied,
// EINVAL ProtocolFamilyNotAvailable, ENFILE SystemFdQuotaExceeded, EMFILE
// ProcessFdQuotaExceeded, EPROTOTYPE SocketTypeNotSupported, EPROTONOSUPPORT
// ProtocolNotSupported, EAFNOSUPPORT AddressFamilyNotSupported, else Unexpected.
ErrorCode socket_error_from_errno(int err);

// The bind table, shared by every listening socket so that each names a taken port alike:
// EACCES/EPERM AccessDenied, EADDRINUSE AddressInUse, EADDRNOTAVAIL AddressNotAvailable,
// EAFNOSUPPORT AddressFamilyNotSupported, ENOENT FileNotFound, ENOTDIR NotDir, EROFS
// ReadOnlyFileSystem, ENAMETOOLONG NameTooLong, ELOOP SymLinkLoop, ENOMEM SystemResources,
// else Unexpected.
ErrorCode bind_error_from_errno(int err);

// Raises the process's soft limit on open descriptors to `wanted`, or as far as the hard limit
// allows; never lowers it. Returns the soft limit in force afterwards.
std::size_t raise_descriptor_limit(std::size_t wanted);

// Closes a descriptor, ignoring the result (the descriptor is gone either way).
void close_fd(int fd);

}  // namespace skerrow
