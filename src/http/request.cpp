#include "http/request.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/nonblocking_io.h"
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

}  // namespace

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

namespace {

// A request starts in a buffer this size, enough for any pool's call; a larger one (a block
// submitted through the proxy) grows it fourfold at a time.
constexpr std::size_t kFirstBufferBytes = 4096;

}  // namespace

RequestReader::~RequestReader() { std::free(buffer_); }

bool RequestReader::make_room(bool& out_of_memory) {
  if (filled_ < capacity_) return true;
  if (capacity_ >= cap_) return false;
  const std::size_t grown = std::min(capacity_ == 0 ? kFirstBufferBytes : capacity_ * 4, cap_);
  void* moved = std::realloc(buffer_, grown);
  if (moved == nullptr) {
    out_of_memory = true;
    return false;
  }
  buffer_ = static_cast<char*>(moved);
  capacity_ = grown;
  return true;
}

bool RequestReader::framed() const {
  if (!header_end_) return false;
  if (!content_length_) return true;
  return filled_ - header_end_->body_start() >= *content_length_;
}

Result<bool> RequestReader::read_available(int fd) {
  for (;;) {
    bool out_of_memory = false;
    if (!make_room(out_of_memory)) {
      if (out_of_memory) return fail(ErrorCode::OutOfMemory);
      return true;  // cut at the cap
    }
    auto got = read_nonblocking(fd, {buffer_ + filled_, capacity_ - filled_});
    if (!got) {
      if (got.error() == ErrorCode::WouldBlock) return false;
      return true;  // a failed read ends the request like a close: what arrived is used
    }
    if (*got == 0) return true;
    filled_ += *got;
    if (!header_end_) {
      // Only the bytes new since the last look are searched (less the two before them, which
      // may begin a blank line), so a request trickling in byte by byte costs linear time.
      header_end_ = first_blank_line({buffer_, filled_}, scanned_);
      if (!header_end_) {
        scanned_ = filled_ >= 2 ? filled_ - 2 : 0;
        continue;
      }
      content_length_ = find_content_length(header_block());
    }
    if (framed()) return true;
  }
}

std::string_view RequestReader::body() const {
  if (!header_end_) return {};
  const std::size_t start = header_end_->body_start();
  return {buffer_ + start, filled_ - start};
}

}  // namespace skerrow
