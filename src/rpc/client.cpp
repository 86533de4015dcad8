#include "rpc/client.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <new>
#include <optional>
#include <stdexcept>

#include "platform/deadline.h"
#include "platform/io.h"
#include "platform/nonblocking_io.h"
#include "platform/socket.h"
#include "rpc/base64.h"
#include "http/header_text.h"

namespace skerrow {
namespace {

constexpr std::string_view kRequestStart = "POST / HTTP/1.1\r\nHost: ";
constexpr std::string_view kContentHeaders =
    "\r\nContent-Type: application/json\r\nContent-Length: ";
constexpr std::string_view kAuthorizationStart = "Authorization: Basic ";
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kHeaderEnd = "Connection: close\r\n\r\n";
constexpr std::string_view kBlankLine = "\r\n\r\n";


// Sends all of `head` and then `body`: a daemon given half a request would wait for the rest
// for ever.
Status send_all(int fd, std::string_view head, std::string_view body, const Deadline& deadline) {
  iovec pieces[2] = {{const_cast<char*>(head.data()), head.size()},
                     {const_cast<char*>(body.data()), body.size()}};
  std::span<iovec> left(pieces);  // an empty piece is dropped with the first send
  while (!left.empty()) {
    // A daemon that went away is BrokenPipe, whatever SIGPIPE's disposition.
    auto sent = write_nonblocking(fd, left);
    if (!sent) return fail(sent.error());
    if (*sent == 0) {
      if (auto ready = wait_ready(fd, Readiness::writable, deadline); !ready) return ready;
    }
  }
  return {};
}

// The Content-Length that a header block (blank line excluded) announces: the first field of
// that name, in any letter case, whose value is plain decimal digits between optional blanks. A value too large for 64 bits saturates: no reply meets it.
// Fields with any other value are passed over, as they would be if they were not there.
std::optional<std::uint64_t> announced_length(std::string_view head) {
  constexpr std::string_view kName = "content-length";
  HeaderLines lines(head);
  std::string_view line;
  while (lines.next(line)) {
    const std::size_t colon = line.find(':');
    if (colon != kName.size() || !starts_with_folded(line, kName)) continue;
    const std::string_view value = trim_blanks(line.substr(colon + 1));
    if (value.empty() ||
        !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    std::uint64_t length = 0;
    const auto parsed = std::from_chars(value.data(), value.data() + value.size(), length);
    if (parsed.ec == std::errc::result_out_of_range) return UINT64_MAX;
    return length;
  }
  return std::nullopt;
}

constexpr std::size_t kReadLimit = kMaxReplyBytes + 1;

// The code of a status line "HTTP/x.y NNN ...", or 0 when the line is not one.
int status_code(std::string_view head) {
  const std::size_t space = head.find(' ');
  if (!head.starts_with("HTTP/") || space == std::string_view::npos || head.size() < space + 4) return 0;
  int code = 0;
  const char* digits = head.data() + space + 1;
  if (std::from_chars(digits, digits + 3, code).ptr != digits + 3) return 0;
  return code;
}

// What the reading knows so far of the reply's framing.
struct ReplyFrame {
  std::size_t dropped = 0;  // header bytes already cut off the front
  bool header_done = false;
  std::optional<std::uint64_t> announced;
  int status = 0;

  // The header block ended and the body holds at least the bytes announced.
  bool whole(const std::pmr::string& body) const {
    return header_done && announced && body.size() >= *announced;
  }
};

// Reads once, without waiting, into the room after the bytes `reply` holds, growing it first
// when it is full, never past kReadLimit bytes in all. Returns the count read (0 at the end).
Result<std::size_t> read_more(int fd, std::pmr::string& reply, const ReplyFrame& frame) {
  const std::size_t received = frame.dropped + reply.size();
  if (reply.size() == reply.capacity()) {
    reply.reserve(std::min(2 * reply.capacity(), kReadLimit - frame.dropped));
  }
  const std::size_t before = reply.size();
  const std::size_t room = std::min(reply.capacity() - before, kReadLimit - received);
  Result<std::size_t> got = 0;
  reply.resize_and_overwrite(before + room, [&](char* data, std::size_t) {
    got = read_nonblocking(fd, std::span<char>(data + before, room));
    return before + got.value_or(0);
  });
  return got;
}

// Once the blank line has arrived, cuts the header block off the front of `reply`, reads its
// Content-Length and sizes the room for the body in one step. `before` is where the bytes of
// the last read begin: the blank line may straddle two reads.
void cut_header(std::pmr::string& reply, std::size_t before, ReplyFrame& frame) {
  const std::size_t end = reply.find(kBlankLine, before >= 3 ? before - 3 : 0);
  if (end == std::string::npos) return;
  frame.header_done = true;
  frame.status = status_code(std::string_view(reply).substr(0, end));
  frame.announced = announced_length(std::string_view(reply).substr(0, end));
  frame.dropped += end + kBlankLine.size();
  reply.erase(0, end + kBlankLine.size());
  // One byte more than announced, so the close (or a longer reply) is seen without growing.
  if (frame.announced && *frame.announced < kReadLimit - frame.dropped) {
    reply.reserve(std::max<std::size_t>(reply.capacity(), *frame.announced + 1));
  }
}

// Reads the reply until the daemon closes and keeps only what follows the first blank line.
// A reply counts only when it is whole: its header block ended, and the body holds at least
// the bytes its Content-Length announces (without one, the close is the only end there is).
// Anything less would reach the pool as a success with a cut-off body, so it fails instead.
//
// The header block is cut off as soon as it is complete, while the buffer holds little more
// than it. The buffer holds one byte past the cap, which is how a reply that is too long is
// told from one that just fits.
Result<std::pmr::string> read_reply(int fd, std::pmr::memory_resource* memory,
                                    const Deadline& deadline, int& status) {
  constexpr std::size_t kSmallReplyRoom = 16 * 1024;
  std::pmr::string reply(memory);
  // Room for a small reply first; once the header block announces the body's length the room
  // is sized to it in one step, so a big reply is not copied from buffer to buffer, and a small
  // one never maps (and unmaps) megabytes it does not use.
  reply.reserve(kSmallReplyRoom);
  ReplyFrame frame;
  for (;;) {
    if (frame.dropped + reply.size() > kMaxReplyBytes) return fail(ErrorCode::StreamTooLong);
    const std::size_t before = reply.size();
    const auto got = read_more(fd, reply, frame);
    if (!got) {
      if (got.error() == ErrorCode::WouldBlock) {
        // Bytes cut short by the deadline are not a reply, nor are those of a failing poll.
        if (auto ready = wait_ready(fd, Readiness::readable, deadline); !ready) {
          return fail(ready.error());
        }
        continue;
      }
      // A daemon that answers before reading all of the request is reset by its own kernel
      // once it closes; a reply whose length was announced and met is whole all the same.
      if (frame.whole(reply)) return reply;
      return fail(got.error());
    }
    if (*got == 0) break;
    if (!frame.header_done) {
      cut_header(reply, before, frame);
      status = frame.status;
    }
  }
  if (!frame.header_done) return fail(ErrorCode::ReadFailed);
  if (frame.announced && reply.size() < *frame.announced) return fail(ErrorCode::ReadFailed);
  return reply;
}

char* put_decimal(char* out, std::uint64_t n) {
  return std::to_chars(out, out + 20, n).ptr;  // 20 digits hold any 64-bit value
}

}  // namespace

Result<std::pmr::string> build_request_head(const ChainEndpoint& daemon, std::size_t body_size,
                                            std::pmr::memory_resource* memory) {
  return catch_oom([&]() -> Result<std::pmr::string> {
    char credentials[kCredentialBuffer];
    std::size_t credentials_length = 0;
    const bool authorize = !daemon.user.empty();
    if (authorize) {
      const std::string_view user = daemon.user;
      const std::string_view pass = daemon.pass;
      if (user.size() > kCredentialBuffer - 1 || pass.size() > kCredentialBuffer - 1 - user.size()) {
        return fail(ErrorCode::NoSpaceLeft);
      }
      std::copy(user.begin(), user.end(), credentials);
      credentials[user.size()] = ':';
      std::copy(pass.begin(), pass.end(), credentials + user.size() + 1);
      credentials_length = user.size() + 1 + pass.size();
    }
    char port_text[20];
    const std::string_view port(port_text, put_decimal(port_text, daemon.endpoint.port));
    char length_text[20];
    const std::string_view length(length_text, put_decimal(length_text, body_size));
    const std::size_t encoded = base64_length(credentials_length);
    const std::size_t authorization =
        authorize ? kAuthorizationStart.size() + encoded + kLineEnd.size() : 0;

    std::pmr::string request(memory);
    request.reserve(kRequestStart.size() + daemon.endpoint.host.size() + 1 + port.size() +
                    kContentHeaders.size() + length.size() + kLineEnd.size() + authorization +
                    kHeaderEnd.size());
    request.append(kRequestStart).append(daemon.endpoint.host).append(":").append(port);
    request.append(kContentHeaders).append(length).append(kLineEnd);
    if (authorize) {
      request.append(kAuthorizationStart);
      const std::size_t at = request.size();
      request.resize_and_overwrite(at + encoded, [&](char* data, std::size_t) {
        return at + base64_encode({credentials, credentials_length}, data + at);
      });
      request.append(kLineEnd);
    }
    request.append(kHeaderEnd);
    return request;
  });
}

Result<std::pmr::string> call(const ChainEndpoint& daemon, std::pmr::memory_resource* memory,
                              std::string_view body, std::uint64_t timeout_ms, CallTrace* trace) {
  CallTrace unused;
  CallTrace& traced = trace != nullptr ? *trace : unused;
  traced = CallTrace{};
  return catch_oom([&]() -> Result<std::pmr::string> {
    auto request = build_request_head(daemon, body.size(), memory);
    if (!request) return fail(request.error());

    auto address = resolve_address(daemon.endpoint.host, daemon.endpoint.port);
    if (!address) return fail(address.error());
    const Deadline deadline = Deadline::after(timeout_ms);
    auto socket = connect_tcp(*address, deadline);
    if (!socket) return fail(socket.error());
    if (auto sent = send_all(socket->get(), *request, body, deadline); !sent) return fail(sent.error());
    traced.request_sent = true;
    *request = std::pmr::string(memory);  // not needed while the reply comes in
    return read_reply(socket->get(), memory, deadline, traced.status);
  });
}

Result<JsonDocument> call_json(const ChainEndpoint& daemon, std::pmr::memory_resource* memory,
                               std::string_view body, std::uint64_t timeout_ms, CallTrace* trace) {
  auto raw = call(daemon, memory, body, timeout_ms, trace);
  if (!raw) return fail(raw.error());
  return catch_oom([&]() -> Result<JsonDocument> {
    return parse_json(*raw, memory);
  });
}

}  // namespace skerrow
