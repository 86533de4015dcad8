// TCP sockets over IPv4: every socket, bind, listen, accept, connect and name resolution call
// of the proxy, with the errno tables that name their failures.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string_view>
#include <utility>

#include "error/error.h"
#include "platform/deadline.h"

namespace skerrow {

// A descriptor that is closed when its owner goes away, unless released first.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { reset(); }

  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  void reset();

 private:
  int fd_ = -1;
};

// The creation table, for the calls that make a descriptor of the system's own (epoll,
// kqueue, eventfd, signalfd, timerfd): EMFILE ProcessFdQuotaExceeded, ENFILE
// SystemFdQuotaExceeded, ENOMEM SystemResources, else Unexpected.
ErrorCode create_error_from_errno(int err);

// A listening socket bound to `address` with SO_REUSEADDR and `backlog`, non-blocking, so that
// accepting can stop at an empty backlog (accepted sockets do not inherit that). Errors: the
// socket table, the SO_REUSEADDR table (PermissionDenied, SystemResources, NoDevice,
// TimeoutTooBig, InvalidProtocolOption, OperationNotSupported, AlreadyConnected, Unexpected),
// the bind table, the listen table (AddressInUse, OperationNotSupported,
// FileDescriptorNotASocket, Unexpected), Unexpected.
Result<Descriptor> listen_tcp(const sockaddr_in& address, int backlog);

// Binds a socket to `address` (with SO_REUSEADDR) and closes it again: whether a server that
// binds it by itself will succeed, and if not, why. Errors: the socket and bind tables.
Status probe_bind(const sockaddr_in& address);

// One accept from a non-blocking listening socket: the new connection, itself non-blocking
// and close-on-exec. Errors: WouldBlock (the backlog is empty), BlockedByFirewall,
// SystemResources, SocketNotListening, SystemFdQuotaExceeded, ProcessFdQuotaExceeded,
// ConnectionAborted, ProtocolFailure, Unexpected.
Result<int> accept_nonblocking(int listen_fd);

// The first IPv4 address of `host`: a plain dotted address is taken as it is, without the
// resolver's files and calls; other spellings (short, octal or hex forms, names) go through
// the resolver. Errors: DnsResolutionFailed (also for a host holding a zero byte, which the
// resolver would cut there and look up some other host, and for one of 256 bytes or more).
Result<sockaddr_in> resolve_ipv4(std::string_view host, std::uint16_t port);

// A non-blocking, close-on-exec TCP connection to `address`, connected by `deadline`.
// Errors: the socket table, the connect table (PermissionDenied, FileNotFound, AccessDenied,
// WouldBlock, ConnectionPending, AddressFamilyNotSupported, AddressInUse,
// AddressNotAvailable, NetworkUnreachable, ConnectionResetByPeer, ConnectionTimedOut,
// ConnectionRefused, Unexpected), ConnectionTimedOut when the deadline passes first,
// SystemResources or Unexpected (a failing wait).
Result<Descriptor> connect_tcp(const sockaddr_in& address, const Deadline& deadline);

}  // namespace skerrow
