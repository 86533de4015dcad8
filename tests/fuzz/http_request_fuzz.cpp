// Request reading on arbitrary bytes, delivered through a socket in pieces and read up to a
// cap of varying size. Input: one byte choosing the buffer size, one byte seeding the
// piece sizes, then the bytes the client sends (after which it closes its sending side).
//
// Whatever the pieces, the reader must agree with a plain re-scan of what it received: the
// header end is that of the whole filled part, the body is everything after it, and when it
// stopped before the client was done, it had a reason to (full buffer, or a complete header
// block whose Content-Length was absent, unusable or met).
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <thread>
#include <vector>

#include "fuzz_check.h"
#include "http/request.h"
#include "platform/deadline.h"
#include "platform/nonblocking_io.h"

namespace {

using skerrow::HeaderEnd;

// The header rules as written down, without any of the reader's shortcuts.
std::optional<std::uint64_t> reference_number(std::string_view v) {
  if (v.empty()) return std::nullopt;
  bool negative = false;
  if (v[0] == '+' || v[0] == '-') {
    negative = v[0] == '-';
    v.remove_prefix(1);
  }
  if (v.empty() || v.front() == '_' || v.back() == '_') return std::nullopt;
  unsigned __int128 value = 0;
  for (char c : v) {
    if (c == '_') continue;
    if (c < '0' || c > '9') return std::nullopt;
    if (negative && c != '0') return std::nullopt;
    value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > UINT64_MAX) return std::nullopt;
  }
  return static_cast<std::uint64_t>(value);
}

std::optional<std::uint64_t> reference_content_length(std::string_view block) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= block.size(); ++i) {
    if (i == block.size() || block[i] == '\n') {
      lines.push_back(block.substr(start, i - start));
      start = i + 1;
    }
  }
  for (std::string_view line : lines) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.size() < 15) continue;
    bool name = true;
    for (std::size_t i = 0; i < 14; ++i) {
      char c = line[i];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
      name = name && c == "content-length"[i];
    }
    if (!name) continue;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    return reference_number(value);
  }
  return std::nullopt;
}

std::optional<HeaderEnd> reference_header_end(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes.substr(i, 4) == "\r\n\r\n") return HeaderEnd{i, 4};
    if (bytes.substr(i, 2) == "\n\n") return HeaderEnd{i, 2};
  }
  return std::nullopt;
}

std::size_t queued(int fd) {
  int n = 0;
  if (::ioctl(fd, FIONREAD, &n) != 0) return 0;
  return static_cast<std::size_t>(n);
}

// Sends each piece only once the reader has taken everything sent before, so that most reads
// end at a piece boundary (the kernel may still merge pieces; nothing below relies on it).
void send_pieces(int out, int in, std::string_view bytes, const std::vector<std::size_t>& pieces,
                 const std::atomic<bool>& reader_done) {
  std::size_t at = 0;
  for (std::size_t piece : pieces) {
    while (!reader_done.load() && queued(in) > 0) sched_yield();
    if (reader_done.load()) break;
    const ssize_t n = ::write(out, bytes.data() + at, piece);
    if (n != static_cast<ssize_t>(piece)) break;
    at += piece;
  }
  ::shutdown(out, SHUT_WR);
}

// Reads as the event loop does: whatever is there whenever the socket is readable, until the
// request is complete (bounded, so a reader that never completes shows as a failed check).
skerrow::ReadState read_all(skerrow::RequestReader& reader, int fd) {
  const skerrow::Deadline deadline = skerrow::Deadline::after(10000);
  for (;;) {
    auto state = reader.read_available(fd);
    FUZZ_CHECK(state.has_value());
    if (*state == skerrow::ReadState::head) continue;
    if (*state != skerrow::ReadState::waiting) return *state;
    FUZZ_CHECK(skerrow::wait_ready(fd, skerrow::Readiness::readable, deadline).has_value());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // 0 picks the real limits; anything else small ones, so that both limits are reached.
  const skerrow::RequestLimits limits =
      data[0] == 0 ? skerrow::RequestLimits{} : skerrow::RequestLimits{1 + data[0] * 7u, data[0] * 13u};
  std::uint32_t seed = data[1];
  const std::string_view sent = skerrow::fuzz::as_text(data + 2, size - 2);

  std::vector<std::size_t> pieces;
  for (std::size_t left = sent.size(); left > 0;) {
    seed = seed * 1103515245u + 12345u;
    const std::size_t piece = data[1] == 0 ? left : std::min<std::size_t>(left, 1 + (seed >> 16) % 64);
    pieces.push_back(piece);
    left -= piece;
  }

  // The pure pieces against their references, on the whole input.
  FUZZ_CHECK(skerrow::find_header_end(sent) == reference_header_end(sent));
  FUZZ_CHECK(skerrow::find_content_length(sent) == reference_content_length(sent));
  FUZZ_CHECK(skerrow::parse_content_length(sent) == reference_number(sent));

  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  std::atomic<bool> reader_done{false};
  skerrow::RequestReader got(limits);
  skerrow::ReadState state;
  if (pieces.size() <= 1 && sent.size() <= 65536) {
    // One piece fits the socket's queue: no client thread needed.
    send_pieces(fds[1], fds[0], sent, pieces, reader_done);
    state = read_all(got, fds[0]);
  } else {
    std::thread client(send_pieces, fds[1], fds[0], sent, std::cref(pieces), std::cref(reader_done));
    state = read_all(got, fds[0]);
    reader_done.store(true);
    client.join();
  }
  ::close(fds[0]);
  ::close(fds[1]);

  const std::string_view filled = got.received();
  FUZZ_CHECK(got.filled() <= sent.size());
  FUZZ_CHECK(filled == sent.substr(0, got.filled()));
  FUZZ_CHECK(got.header_end() == reference_header_end(filled));
  if (got.header_end()) {
    FUZZ_CHECK(got.header_end()->body_start() <= limits.header);
    FUZZ_CHECK(got.body().data() == filled.data() + got.header_end()->body_start());
    FUZZ_CHECK(got.body().size() == got.filled() - got.header_end()->body_start());
  } else {
    FUZZ_CHECK(got.body().empty());
    FUZZ_CHECK(got.filled() <= limits.header);
  }
  // Each ending has its reason, and only a whole request within the limits is complete.
  const auto length =
      got.header_end() ? reference_content_length(filled.substr(0, got.header_end()->index)) : std::nullopt;
  switch (state) {
    case skerrow::ReadState::complete:
      FUZZ_CHECK(!got.header_end() ? got.filled() == sent.size() : !length || got.body().size() >= *length);
      if (length) FUZZ_CHECK(*length <= limits.body);
      break;
    case skerrow::ReadState::too_large:
      FUZZ_CHECK(got.header_end() ? length && *length > limits.body : got.filled() == limits.header);
      break;
    case skerrow::ReadState::unfinished:
      FUZZ_CHECK(got.filled() == sent.size() && length && got.body().size() < *length);
      break;
    default:
      FUZZ_CHECK(false);  // nothing else ends a read without a memory budget
  }
  return 0;
}
