#include "platform/nonblocking_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/io.h"

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0  // where it is missing, the program catches SIGPIPE instead
#endif

namespace skerrow {

Status wait_ready(int fd, Readiness wanted, const Deadline& deadline) {
  const short events = wanted == Readiness::readable ? POLLIN : POLLOUT;
  for (;;) {
    pollfd entry{fd, events, 0};
    const int n = ::poll(&entry, 1, deadline.poll_ms());
    if (n > 0) return {};
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno == ENOMEM ? ErrorCode::SystemResources : ErrorCode::Unexpected);
    }
    if (deadline.passed()) return fail(ErrorCode::ConnectionTimedOut);
  }
}

Result<std::size_t> read_nonblocking(int fd, std::span<char> buffer) {
  for (;;) {
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    return fail(read_error_from_errno(errno == EWOULDBLOCK ? EAGAIN : errno));
  }
}

Result<std::size_t> write_nonblocking(int fd, std::span<iovec>& pieces) {
  msghdr message{};
  message.msg_iov = pieces.data();
  message.msg_iovlen = pieces.size();
  ssize_t n;
  for (;;) {
    n = ::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) break;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return fail(write_error_from_errno(errno));
  }
  auto left = static_cast<std::size_t>(n);
  while (!pieces.empty() && left >= pieces.front().iov_len) {
    left -= pieces.front().iov_len;
    pieces = pieces.subspan(1);
  }
  if (left > 0) {
    pieces.front().iov_base = static_cast<char*>(pieces.front().iov_base) + left;
    pieces.front().iov_len -= left;
  }
  return static_cast<std::size_t>(n);
}

}  // namespace skerrow
