#include "http/listener.h"

#include <fcntl.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <utility>

#include "log/log.h"
#include "platform/io.h"
#include "rpc/address.h"

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

// Closes the socket on every early return.
struct SocketGuard {
  int fd;
  ~SocketGuard() {
    if (fd >= 0) close_fd(fd);
  }
  int take() { return std::exchange(fd, -1); }
};

}  // namespace

Result<Listener> open_listener(std::string_view listen) {
  auto address = split_address(listen);
  if (!address) {
    log_line(LogLevel::error, LogScope::http, {"invalid listen address: ", listen});
    return fail(ErrorCode::InvalidListenAddress);
  }

  SocketGuard sock{::socket(AF_INET, SOCK_STREAM, 0)};
  if (sock.fd < 0) return fail(socket_error_from_errno(errno));

  int one = 1;
  if (setsockopt(sock.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    return fail(setsockopt_error(errno));
  }

  auto ipv4 = parse_ipv4(address->host, address->port);
  if (!ipv4) return fail(ipv4.error());

  if (::bind(sock.fd, reinterpret_cast<const sockaddr*>(&*ipv4), sizeof(sockaddr_in)) != 0) {
    return fail(bind_error_from_errno(errno));
  }
  if (::listen(sock.fd, kListenBacklog) != 0) return fail(listen_error(errno));

  // epoll cannot say how many connections wait, so accepting goes on until the backlog is
  // empty, which needs a listening socket that says so instead of blocking.
  int flags = fcntl(sock.fd, F_GETFL);
  if (flags < 0 || fcntl(sock.fd, F_SETFL, flags | O_NONBLOCK) != 0) {
    return fail(ErrorCode::Unexpected);
  }

  log_line(LogLevel::info, LogScope::http,
           {"HTTP JSON-RPC proxy listening on ", address->host, ":", address->port});
  const bool loopback = (ntohl(ipv4->sin_addr.s_addr) >> 24) == 127;
  return Listener{sock.take(), *address, loopback};
}

}  // namespace skerrow
