#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "platform/io.h"
#include "platform/nonblocking_io.h"

namespace skerrow {
namespace {

ErrorCode setsockopt_error(int err) {
  switch (err) {
    case EPERM: return ErrorCode::PermissionDenied;
    case ENOMEM:
    case ENOBUFS: return ErrorCode::SystemResources;
    case ENODEV: return ErrorCode::NoDevice;
    case EDOM: return ErrorCode::TimeoutTooBig;
    case ENOPROTOOPT: return ErrorCode::InvalidProtocolOption;
    case EOPNOTSUPP: return ErrorCode::OperationNotSupported;
    case EISCONN: return ErrorCode::AlreadyConnected;
    default: return ErrorCode::Unexpected;
  }
}

ErrorCode listen_error(int err) {
  switch (err) {
    case EADDRINUSE: return ErrorCode::AddressInUse;
    case EOPNOTSUPP: return ErrorCode::OperationNotSupported;
    case ENOTSOCK: return ErrorCode::FileDescriptorNotASocket;
    default: return ErrorCode::Unexpected;
  }
}

ErrorCode accept_error(int err) {
  switch (err) {
    case EPERM: return ErrorCode::BlockedByFirewall;
    case ENOMEM:
    case ENOBUFS: return ErrorCode::SystemResources;
    case EINVAL: return ErrorCode::SocketNotListening;
    case ENFILE: return ErrorCode::SystemFdQuotaExceeded;
    case EMFILE: return ErrorCode::ProcessFdQuotaExceeded;
    case EAGAIN: return ErrorCode::WouldBlock;
    case ECONNABORTED: return ErrorCode::ConnectionAborted;
    case EPROTO: return ErrorCode::ProtocolFailure;
    default: return ErrorCode::Unexpected;
  }
}

ErrorCode connect_error(int err) {
  switch (err) {
    case EPERM: return ErrorCode::PermissionDenied;
    case ENOENT: return ErrorCode::FileNotFound;
    case EACCES: return ErrorCode::AccessDenied;
    case EAGAIN:
    case EINPROGRESS: return ErrorCode::WouldBlock;
    case EALREADY: return ErrorCode::ConnectionPending;
    case EAFNOSUPPORT: return ErrorCode::AddressFamilyNotSupported;
    case EADDRINUSE: return ErrorCode::AddressInUse;
    case EADDRNOTAVAIL: return ErrorCode::AddressNotAvailable;
    case ENETUNREACH:
    case EHOSTUNREACH: return ErrorCode::NetworkUnreachable;
    case ECONNRESET: return ErrorCode::ConnectionResetByPeer;
    case ETIMEDOUT: return ErrorCode::ConnectionTimedOut;
    case ECONNREFUSED: return ErrorCode::ConnectionRefused;
    default: return ErrorCode::Unexpected;
  }
}


struct AddressList {
  addrinfo* head = nullptr;
  ~AddressList() {
    if (head != nullptr) freeaddrinfo(head);
  }
};

}  // namespace

SocketAddress SocketAddress::of(const sockaddr_in& ipv4) {
  SocketAddress address;
  std::memcpy(&address.storage, &ipv4, sizeof ipv4);
  address.length = sizeof ipv4;
  return address;
}

SocketAddress SocketAddress::of(const sockaddr_in6& ipv6) {
  SocketAddress address;
  std::memcpy(&address.storage, &ipv6, sizeof ipv6);
  address.length = sizeof ipv6;
  return address;
}

std::uint16_t SocketAddress::port() const {
  if (family() == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
  return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
}

bool SocketAddress::loopback() const {
  if (family() == AF_INET) {
    return (ntohl(reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr.s_addr) >> 24) == 127;
  }
  const in6_addr& ipv6 = reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr;
  return IN6_IS_ADDR_LOOPBACK(&ipv6) || (IN6_IS_ADDR_V4MAPPED(&ipv6) && ipv6.s6_addr[12] == 127);
}

void Descriptor::reset() {
  if (fd_ >= 0) close_fd(release());
}

ErrorCode create_error_from_errno(int err) {
  switch (err) {
    case EMFILE: return ErrorCode::ProcessFdQuotaExceeded;
    case ENFILE: return ErrorCode::SystemFdQuotaExceeded;
    case ENOMEM: return ErrorCode::SystemResources;
    default: return ErrorCode::Unexpected;
  }
}

Result<Descriptor> listen_tcp(const SocketAddress& address, int backlog) {
  Descriptor socket(::socket(address.family(), SOCK_STREAM, 0));
  if (socket.get() < 0) return fail(socket_error_from_errno(errno));
  int one = 1;
  if (setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    return fail(setsockopt_error(errno));
  }
  if (::bind(socket.get(), address.get(), address.length) != 0) {
    return fail(bind_error_from_errno(errno));
  }
  if (::listen(socket.get(), backlog) != 0) return fail(listen_error(errno));
  // epoll cannot say how many connections wait, so accepting goes on until the backlog is
  // empty, which needs a listening socket that says so instead of blocking.
  const int flags = fcntl(socket.get(), F_GETFL);
  if (flags < 0 || fcntl(socket.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
    return fail(ErrorCode::Unexpected);
  }
  return socket;
}

Status probe_bind(const SocketAddress& address) {
  Descriptor socket(::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (socket.get() < 0) return fail(socket_error_from_errno(errno));
  int one = 1;
  (void)setsockopt(socket.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(socket.get(), address.get(), address.length) != 0) {
    return fail(bind_error_from_errno(errno));
  }
  return {};
}

Result<int> accept_nonblocking(int listen_fd) {
  for (;;) {
    const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) return fd;
    if (errno != EINTR) return fail(accept_error(errno));
  }
}

Result<SocketAddress> resolve_address(std::string_view host, std::uint16_t port) {
  const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
  if (bracketed) host = host.substr(1, host.size() - 2);
  // A host name has at most 253 bytes; a longer text names nothing the resolver could find.
  char name[256];
  if (host.size() >= sizeof name || host.find('\0') != std::string_view::npos) {
    return fail(ErrorCode::DnsResolutionFailed);
  }
  std::memcpy(name, host.data(), host.size());
  name[host.size()] = '\0';
  if (bracketed) {
    sockaddr_in6 ipv6{};
    if (::inet_pton(AF_INET6, name, &ipv6.sin6_addr) != 1) return fail(ErrorCode::DnsResolutionFailed);
    ipv6.sin6_family = AF_INET6;
    ipv6.sin6_port = htons(port);
    return SocketAddress::of(ipv6);
  }
  sockaddr_in ipv4{};
  if (::inet_pton(AF_INET, name, &ipv4.sin_addr) == 1) {
    ipv4.sin_family = AF_INET;
    ipv4.sin_port = htons(port);
    return SocketAddress::of(ipv4);
  }
  char service[8];  // "65535" and its terminator
  *std::to_chars(service, service + sizeof service - 1, port).ptr = '\0';
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  AddressList addresses;
  if (::getaddrinfo(name, service, &hints, &addresses.head) != 0) return fail(ErrorCode::DnsResolutionFailed);
  // IPv4 first, as before IPv6 was known here: a host with both keeps the address it had.
  const addrinfo* chosen = nullptr;
  for (const addrinfo* a = addresses.head; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
      chosen = a;
      break;
    }
    if (chosen == nullptr && a->ai_family == AF_INET6 && a->ai_addrlen >= sizeof(sockaddr_in6)) chosen = a;
  }
  if (chosen == nullptr) return fail(ErrorCode::DnsResolutionFailed);
  if (chosen->ai_family == AF_INET) return SocketAddress::of(*reinterpret_cast<const sockaddr_in*>(chosen->ai_addr));
  return SocketAddress::of(*reinterpret_cast<const sockaddr_in6*>(chosen->ai_addr));
}

Result<Descriptor> connect_tcp(const SocketAddress& address, const Deadline& deadline) {
  Descriptor socket(::socket(address.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (socket.get() < 0) return fail(socket_error_from_errno(errno));
  if (::connect(socket.get(), address.get(), address.length) == 0) return socket;
  int err = errno;
  // The socket does not block, so the handshake goes on in the background. The same holds
  // after a signal: issuing connect again would only report EALREADY for a connection that
  // may yet succeed, so both cases wait for the outcome instead.
  if (err == EINPROGRESS || err == EINTR) {
    if (auto ready = wait_ready(socket.get(), Readiness::writable, deadline); !ready) return fail(ready.error());
    socklen_t length = sizeof err;
    if (::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = errno;
    if (err == 0) return socket;
  }
  return fail(connect_error(err));
}

}  // namespace skerrow
