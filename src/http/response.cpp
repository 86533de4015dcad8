#include "http/response.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
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

// One send that never waits; an interrupted call that sent nothing is repeated. A full
// socket gives 0, so that the caller goes back to waiting.
Result<std::size_t> send_without_waiting(int fd, std::string_view bytes) {
  for (;;) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    return fail(write_error_from_errno(errno));
  }
}

// A piece cut short (by a signal, or by a client that takes its reply slowly) is continued,
// so that a response is either sent whole or reported as failed, never half-sent and called
// a success. With a deadline the continuing stops there: the limit holds for the response as
// a whole, so a client that reads a byte now and then cannot stretch it call by call.
Status write_piece(int fd, std::string_view piece, Deadline deadline) {
  while (!piece.empty()) {
    Result<std::size_t> written = 0;
    if (deadline) {
      if (auto ready = writable_before(fd, *deadline); !ready) return ready;
      written = send_without_waiting(fd, piece);
    } else {
      written = write_once(fd, piece);
      if (written && *written == 0) return fail(ErrorCode::WriteFailed);
    }
    if (!written) return fail(written.error());
    piece.remove_prefix(*written);
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
  const bool owes_newline = body.empty() || body.back() != '\n';
  // Clients act on the code; every failure status carries the same phrase.
  const std::string_view reason = status == 200 ? "OK" : "Bad Request";

  char header[kHeaderBuffer];
  char* cursor = header;
  char* const end = header + sizeof header;
  bool fits = append(cursor, end, "HTTP/1.1 ") && append_number(cursor, end, status) &&
              append(cursor, end, " ") && append(cursor, end, reason) &&
              append(cursor, end, "\r\nContent-Type: application/json\r\nContent-Length: ") &&
              append_number(cursor, end, body.size() + (owes_newline ? 1 : 0)) &&
              append(cursor, end, "\r\nConnection: close\r\n\r\n");
  if (!fits) return fail(ErrorCode::HeaderTooLong);

  const Deadline deadline = response_deadline(fd);
  if (auto st = write_piece(fd, {header, static_cast<std::size_t>(cursor - header)}, deadline);
      !st) {
    return st;
  }
  if (auto st = write_piece(fd, body, deadline); !st) return st;
  if (owes_newline) return write_piece(fd, "\n", deadline);
  return {};
}

}  // namespace skerrow
