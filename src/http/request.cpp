#include "http/request.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "platform/io.h"
#include "rpc/header_text.h"

namespace skerrow {
namespace {

constexpr std::string_view kContentLength = "content-length";

// The first blank line that ends at or after byte `from` of `bytes`, looked for line feed by
// line feed: a line feed followed by another ends the header block as "\n\n", one standing
// in "\r\n\r\n" ends it at that "\r". Both forms are tried at every line feed, so whichever
// starts first wins, and a blank line inside the body can never pull the header end into it.
std::optional<HeaderEnd> first_blank_line(std::string_view bytes, std::size_t from) {
  for (std::size_t lf = bytes.find('\n', from);
       lf != std::string_view::npos && lf + 1 < bytes.size(); lf = bytes.find('\n', lf + 1)) {
    if (bytes[lf + 1] == '\n') return HeaderEnd{lf, 2};
    if (lf > 0 && bytes[lf - 1] == '\r' && bytes.substr(lf + 1, 2) == "\r\n") {
      return HeaderEnd{lf - 1, 4};
    }
  }
  return std::nullopt;
}

// Gives the same answer as find_header_end on the whole filled part, but looks only at the
// bytes that arrived since the previous call, so a request that trickles in byte by byte
// costs linear time rather than quadratic. Once found, the header end stays where it is:
// bytes arriving later all lie after it.
class HeaderEndScanner {
 public:
  std::optional<HeaderEnd> update(std::string_view filled) {
    if (found_) return found_;
    found_ = first_blank_line(filled, from_);
    // A line feed among the last two bytes may yet begin a blank line with bytes still to come.
    if (!found_) from_ = filled.size() >= 2 ? filled.size() - 2 : 0;
    return found_;
  }

 private:
  std::optional<HeaderEnd> found_;
  std::size_t from_ = 0;
};

using Clock = std::chrono::steady_clock;

// Waits until `fd` has something for a read (bytes, the client's close or an error) or the
// deadline passes. Past the deadline it only looks: a read is still worth making when the
// bytes are already there, never worth waiting for. False means stop reading; a failing
// poll counts as a failed read, since a read made without it could wait without limit.
bool readable_before(int fd, Clock::time_point deadline) {
  for (;;) {
    const Clock::duration left = deadline - Clock::now();
    // Rounded up, so that a wait never ends just short of the deadline and spins.
    const auto ms = left <= Clock::duration::zero()
                        ? 0
                        : std::chrono::ceil<std::chrono::milliseconds>(left).count();
    pollfd watched{fd, POLLIN, 0};
    const int ready = ::poll(&watched, 1, static_cast<int>(std::min<decltype(ms)>(ms, INT_MAX)));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
    if (ready == 0 && ms == 0) return false;
  }
}

// A read that does not wait: most requests have arrived whole by the time a worker takes
// the connection, and a poll before a read that can succeed at once is a wasted call.
// Nothing when the bytes are not there yet (or `fd` is no socket): then wait and read.
std::optional<Result<std::size_t>> read_if_ready(int fd, std::span<char> buffer) {
  for (;;) {
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (n >= 0) return Result<std::size_t>(static_cast<std::size_t>(n));
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTSOCK) return std::nullopt;
    return Result<std::size_t>(fail(read_error_from_errno(errno)));
  }
}

}  // namespace

ClientDeadline client_deadline(Clock::time_point accepted, std::uint64_t timeout_ms) {
  if (timeout_ms == 0) return std::nullopt;
  const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(
      Clock::time_point::max() - accepted);
  if (timeout_ms >= static_cast<std::uint64_t>(room.count())) return std::nullopt;
  return accepted + std::chrono::milliseconds(timeout_ms);
}

std::optional<HeaderEnd> find_header_end(std::string_view bytes) {
  return first_blank_line(bytes, 0);
}

std::optional<std::uint64_t> parse_content_length(std::string_view value) {
  if (value.empty()) return std::nullopt;
  bool negative = false;
  if (value.front() == '+') {
    value.remove_prefix(1);
  } else if (value.front() == '-') {
    negative = true;
    value.remove_prefix(1);
  }
  if (value.empty() || value.front() == '_' || value.back() == '_') return std::nullopt;
  std::uint64_t result = 0;
  for (char c : value) {
    if (c == '_') continue;
    if (c < '0' || c > '9') return std::nullopt;
    auto digit = static_cast<std::uint64_t>(c - '0');
    if (result > (UINT64_MAX - digit) / 10) return std::nullopt;
    result = result * 10 + digit;
  }
  // A minus sign is tolerated only in front of a zero.
  if (negative && result != 0) return std::nullopt;
  return result;
}

std::optional<std::uint64_t> find_content_length(std::string_view header_block) {
  HeaderLines lines(header_block);
  for (std::string_view line; lines.next(line);) {
    if (line.size() > kContentLength.size() && starts_with_folded(line, kContentLength)) {
      if (std::size_t colon = line.find(':'); colon != std::string_view::npos) {
        return parse_content_length(trim_blanks(line.substr(colon + 1)));
      }
    }
  }
  return std::nullopt;
}

RequestRead read_request(int fd, std::span<char> buffer, ClientDeadline deadline) {
  RequestRead out;
  HeaderEndScanner scanner;
  std::optional<std::uint64_t> content_length;
  while (out.filled < buffer.size()) {
    // Running out of time ends the request like a close: what arrived is used.
    std::optional<Result<std::size_t>> ready;
    if (deadline) {
      ready = read_if_ready(fd, buffer.subspan(out.filled));
      if (!ready && !readable_before(fd, *deadline)) break;
    }
    auto got = ready ? *ready : read_once(fd, buffer.subspan(out.filled));
    // A failed or timed-out read ends the request like a close: what arrived is used.
    if (!got || *got == 0) break;
    out.filled += *got;
    if (!out.header_end) {
      out.header_end = scanner.update({buffer.data(), out.filled});
      if (!out.header_end) continue;
      content_length = find_content_length({buffer.data(), out.header_end->index});
    }
    if (!content_length) break;
    if (out.filled - out.header_end->body_start() >= *content_length) break;
  }
  if (out.header_end) {
    std::size_t start = out.header_end->body_start();
    out.body = std::string_view(buffer.data() + start, out.filled - start);
  }
  return out;
}

}  // namespace skerrow
