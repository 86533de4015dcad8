#include "platform/io.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace skerrow {

ErrorCode write_error_from_errno(int err) {
  switch (err) {
    case EPERM: return ErrorCode::PermissionDenied;
    case ESRCH: return ErrorCode::ProcessNotFound;
    case EIO: return ErrorCode::InputOutput;
    case ENXIO: return ErrorCode::NoDevice;
    case EBADF: return ErrorCode::NotOpenForWriting;
    case EACCES: return ErrorCode::AccessDenied;
    case EBUSY: return ErrorCode::DeviceBusy;
    case EINVAL: return ErrorCode::InvalidArgument;
    case EFBIG: return ErrorCode::FileTooBig;
    case ENOSPC: return ErrorCode::NoSpaceLeft;
    case EPIPE: return ErrorCode::BrokenPipe;
    case EAGAIN: return ErrorCode::WouldBlock;
    case EMSGSIZE: return ErrorCode::MessageTooBig;
    case ECONNRESET: return ErrorCode::ConnectionResetByPeer;
    case EDQUOT: return ErrorCode::DiskQuota;
    default: return ErrorCode::Unexpected;
  }
}

ErrorCode read_error_from_errno(int err) {
  switch (err) {
    case ESRCH: return ErrorCode::ProcessNotFound;
    case EIO: return ErrorCode::InputOutput;
    case EBADF: return ErrorCode::NotOpenForReading;
    case ENOMEM:
    case ENOBUFS: return ErrorCode::SystemResources;
    case EISDIR: return ErrorCode::IsDir;
    case EAGAIN: return ErrorCode::WouldBlock;
    case ECONNRESET: return ErrorCode::ConnectionResetByPeer;
    case ENOTCONN: return ErrorCode::SocketNotConnected;
    case ETIMEDOUT: return ErrorCode::ConnectionTimedOut;
    case ECANCELED: return ErrorCode::Canceled;
    default: return ErrorCode::Unexpected;
  }
}

ErrorCode socket_error_from_errno(int err) {
  switch (err) {
    case ENOMEM:
    case ENOBUFS: return ErrorCode::SystemResources;
    case EACCES: return ErrorCode::AccessDenied;
    case EINVAL: return ErrorCode::ProtocolFamilyNotAvailable;
    case ENFILE: return ErrorCode::SystemFdQuotaExceeded;
    case EMFILE: return ErrorCode::ProcessFdQuotaExceeded;
    case EPROTOTYPE: return ErrorCode::SocketTypeNotSupported;
    case EPROTONOSUPPORT: return ErrorCode::ProtocolNotSupported;
    case EAFNOSUPPORT: return ErrorCode::AddressFamilyNotSupported;
    default: return ErrorCode::Unexpected;
  }
}

Result<std::size_t> write_once(int fd, std::string_view bytes) {
  for (;;) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    return fail(write_error_from_errno(errno));
  }
}

Result<std::size_t> read_once(int fd, std::span<char> buffer) {
  for (;;) {
    ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    return fail(read_error_from_errno(errno));
  }
}

void close_fd(int fd) { ::close(fd); }

ErrorCode bind_error_from_errno(int err) {
  switch (err) {
    case EACCES:
    case EPERM: return ErrorCode::AccessDenied;
    case EADDRINUSE: return ErrorCode::AddressInUse;
    case EADDRNOTAVAIL: return ErrorCode::AddressNotAvailable;
    case EAFNOSUPPORT: return ErrorCode::AddressFamilyNotSupported;
    case ENOENT: return ErrorCode::FileNotFound;
    case ENOTDIR: return ErrorCode::NotDir;
    case EROFS: return ErrorCode::ReadOnlyFileSystem;
    case ENAMETOOLONG: return ErrorCode::NameTooLong;
    case ELOOP: return ErrorCode::SymLinkLoop;
    case ENOMEM: return ErrorCode::SystemResources;
    default: return ErrorCode::Unexpected;
  }
}

std::size_t raise_descriptor_limit(std::size_t wanted) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  const auto wanted_limit = static_cast<rlim_t>(wanted);
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted_limit) {
    const rlim_t raised = limit.rlim_max == RLIM_INFINITY ? wanted_limit : std::min(wanted_limit, limit.rlim_max);
    if (raised > limit.rlim_cur) {
      rlimit next{raised, limit.rlim_max};
      if (::setrlimit(RLIMIT_NOFILE, &next) == 0) limit.rlim_cur = raised;
    }
  }
  return limit.rlim_cur == RLIM_INFINITY ? wanted : static_cast<std::size_t>(limit.rlim_cur);
}

}  // namespace skerrow
