// TCP sockets over IPv4 and IPv6: every socket, bind, listen, accept, connect and name resolution call
// of the proxy, with the errno tables that name their failures.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <string_view>
#include <utility>

#include "error/error.h"
#include "platform/deadline.h"

namespace skerrow {

// An IPv4 or IPv6 socket address.
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  static SocketAddress of(const sockaddr_in& ipv4);
  static SocketAddress of(const sockaddr_in6& ipv6);
  int family() const { return storage.ss_family; }
  const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
  std::uint16_t port() const;  // in host byte order
  bool loopback() const;       // 127.0.0.0/8, ::1, or 127.0.0.0/8 mapped into IPv6
};

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
Result<Descriptor> listen_tcp(const SocketAddress& address, int backlog);

// Binds a socket to `address` (with SO_REUSEADDR) and closes it again: whether a server that
// binds it by itself will succeed, and if not, why. Errors: the socket and bind tables.
Status probe_bind(const SocketAddress& address);

// One accept from a non-blocking listening socket: the new connection, itself non-blocking
// and close-on-exec. Errors: WouldBlock (the backlog is empty), BlockedByFirewall,
// SystemResources, SocketNotListening, SystemFdQuotaExceeded, ProcessFdQuotaExceeded,
// ConnectionAborted, ProtocolFailure, Unexpected.
Result<int> accept_nonblocking(int listen_fd);

// The address of `host` to connect to: a plain dotted IPv4 address, or an IPv6 address in
// brackets ("[::1]"), is taken as it is, without the resolver's files and calls; other
// spellings (short, octal or hex forms, names) go through the resolver, whose first IPv4
// address is taken, else its first IPv6 one. Errors: DnsResolutionFailed (also for a host
// holding a zero byte, which the resolver would cut there and look up some other host, for
// one of 256 bytes or more, and for brackets around something else than an IPv6 address).
Result<SocketAddress> resolve_address(std::string_view host, std::uint16_t port);

// A non-blocking, close-on-exec TCP connection to `address`, connected by `deadline`.
// Errors: the socket table, the connect table (PermissionDenied, FileNotFound, AccessDenied,
// WouldBlock, ConnectionPending, AddressFamilyNotSupported, AddressInUse,
// AddressNotAvailable, NetworkUnreachable, ConnectionResetByPeer, ConnectionTimedOut,
// ConnectionRefused, Unexpected), ConnectionTimedOut when the deadline passes first,
// SystemResources or Unexpected (a failing wait).
Result<Descriptor> connect_tcp(const SocketAddress& address, const Deadline& deadline);

}  // namespace skerrow
