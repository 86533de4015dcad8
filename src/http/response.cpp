#include "http/response.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>

#include "platform/io.h"

namespace skerrow {
namespace {

constexpr std::size_t kHeaderBuffer = 512;
constexpr std::size_t kMaxPieces = 16;

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

// The socket's send time-out, taken as the time the whole response may take; nullopt when the
// socket has none (or is no socket at all, so it cannot have one).
Deadline response_deadline(int fd) {
  timeval limit{};
  socklen_t size = sizeof limit;
  if (::getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, &size) != 0) return std::nullopt;
  if (limit.tv_sec < 0 || (limit.tv_sec == 0 && limit.tv_usec <= 0)) return std::nullopt;
  const Clock::time_point now = Clock::now();
  // Compared in whole seconds first: a limit of many years would overflow the clock's count.
  const auto room = std::chrono::duration_cast<std::chrono::seconds>(Clock::time_point::max() - now);
  if (limit.tv_sec >= room.count()) return std::nullopt;
  return now + std::chrono::seconds(limit.tv_sec) + std::chrono::microseconds(limit.tv_usec);
}

// Waits until the socket takes more bytes, or fails; false once the deadline has passed.
Status writable_before(int fd, Clock::time_point deadline) {
  for (;;) {
    const Clock::duration left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return fail(ErrorCode::WouldBlock);
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    pollfd watched{fd, POLLOUT, 0};
    const int ready = ::poll(&watched, 1, static_cast<int>(std::min<decltype(ms)>(ms, INT_MAX)));
    if (ready > 0) return {};
    if (ready < 0 && errno != EINTR) {
      return fail(errno == ENOMEM ? ErrorCode::SystemResources : ErrorCode::Unexpected);
    }
  }
}

// Sends what the socket takes of `iov` and drops the sent bytes from its front; 0 when the
// socket is full (or the call only waits without a deadline). An interrupted call that sent
// nothing is repeated.
Result<std::size_t> send_some(int fd, std::span<iovec>& iov, bool wait) {
  msghdr message{};
  message.msg_iov = iov.data();
  message.msg_iovlen = iov.size();
  ssize_t n;
  for (;;) {
    // Without a deadline this is a plain write, which any descriptor takes.
    n = wait ? ::writev(fd, iov.data(), static_cast<int>(iov.size())) : ::sendmsg(fd, &message, MSG_DONTWAIT);
    if (n >= 0) break;
    if (errno == EINTR) continue;
    if (!wait && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return fail(write_error_from_errno(errno));
  }
  auto left = static_cast<std::size_t>(n);
  while (!iov.empty() && left >= iov.front().iov_len) {
    left -= iov.front().iov_len;
    iov = iov.subspan(1);
  }
  if (left > 0) {
    iov.front().iov_base = static_cast<char*>(iov.front().iov_base) + left;
    iov.front().iov_len -= left;
  }
  return static_cast<std::size_t>(n);
}

// A response cut short (by a signal, or by a client that takes its reply slowly) is
// continued, so that it is either sent whole or reported as failed, never half-sent and
// called a success. With a deadline the continuing stops there: the limit holds for the
// response as a whole, so a client that reads a byte now and then cannot stretch it call by
// call. The socket is only waited for once it is full.
// A failure after the first byte is ResponseCutOff whatever its cause: the client already
// holds the start of this response, so nothing else may follow it on the connection.
Status write_all(int fd, std::span<iovec> iov, Deadline deadline) {
  bool started = false;
  auto failed = [&](ErrorCode cause) { return fail(started ? ErrorCode::ResponseCutOff : cause); };
  while (!iov.empty()) {
    auto sent = send_some(fd, iov, !deadline);
    if (!sent) return failed(sent.error());
    started = started || *sent > 0;
    if (*sent > 0 || iov.empty()) continue;
    if (!deadline) return failed(ErrorCode::WriteFailed);
    if (auto ready = writable_before(fd, *deadline); !ready) return failed(ready.error());
  }
  return {};
}

// Appends `piece` at `*cursor`; false when it would pass `end`.
bool append(char*& cursor, char* end, std::string_view piece) {
  if (static_cast<std::size_t>(end - cursor) < piece.size()) return false;
  std::memcpy(cursor, piece.data(), piece.size());
  cursor += piece.size();
  return true;
}

bool append_number(char*& cursor, char* end, std::uint64_t n) {
  auto [next, ec] = std::to_chars(cursor, end, n);
  if (ec != std::errc{}) return false;
  cursor = next;
  return true;
}

}  // namespace

Status send_response(int fd, std::uint16_t status, std::string_view body) {
  return send_response(fd, status, std::span<const std::string_view>(&body, 1));
}

Status send_response(int fd, std::uint16_t status, std::span<const std::string_view> pieces) {
  if (pieces.size() > kMaxPieces) return fail(ErrorCode::InvalidArgument);
  std::size_t length = 0;
  char last = '\0';
  for (std::string_view piece : pieces) {
    length += piece.size();
    if (!piece.empty()) last = piece.back();
  }
  const bool owes_newline = length == 0 || last != '\n';
  // Clients act on the code; every failure status carries the same phrase.
  const std::string_view reason = status == 200 ? "OK" : "Bad Request";

  char header[kHeaderBuffer];
  char* cursor = header;
  char* const end = header + sizeof header;
  bool fits = append(cursor, end, "HTTP/1.1 ") && append_number(cursor, end, status) &&
              append(cursor, end, " ") && append(cursor, end, reason) &&
              append(cursor, end, "\r\nContent-Type: application/json\r\nContent-Length: ") &&
              append_number(cursor, end, length + (owes_newline ? 1 : 0)) &&
              append(cursor, end, "\r\nConnection: close\r\n\r\n");
  if (!fits) return fail(ErrorCode::HeaderTooLong);

  // One segment for a small response instead of three: separate writes of the header, the
  // body and the newline each cost a call, and the later ones can wait for acknowledgements.
  std::array<iovec, kMaxPieces + 2> iov;
  std::size_t count = 0;
  auto add = [&](const char* data, std::size_t size) {
    if (size == 0) return;
    iov[count].iov_base = const_cast<char*>(data);
    iov[count].iov_len = size;
    ++count;
  };
  add(header, static_cast<std::size_t>(cursor - header));
  for (std::string_view piece : pieces) add(piece.data(), piece.size());
  if (owes_newline) add("\n", 1);
  return write_all(fd, {iov.data(), count}, response_deadline(fd));
}

}  // namespace skerrow
