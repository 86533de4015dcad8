#include "http/request.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/arena.h"
#include "platform/nonblocking_io.h"
#include "http/header_text.h"

namespace skerrow {
namespace {

constexpr std::string_view kContentLength = "content-length";

}  // namespace

// The first blank line that ends at or after byte `from` of `bytes`, looked for line feed by
// line feed: a line feed followed by another ends the header block as "\n\n", one standing
// in "\r\n\r\n" ends it at that "\r". Both forms are tried at every line feed, so whichever
// starts first wins, and a blank line inside the body can never pull the header end into it.
std::optional<HeaderEnd> find_header_end(std::string_view bytes, std::size_t from) {
  for (std::size_t lf = bytes.find('\n', from);
       lf != std::string_view::npos && lf + 1 < bytes.size(); lf = bytes.find('\n', lf + 1)) {
    if (bytes[lf + 1] == '\n') return HeaderEnd{lf, 2};
    if (lf > 0 && bytes[lf - 1] == '\r' && bytes.substr(lf + 1, 2) == "\r\n") {
      return HeaderEnd{lf - 1, 4};
    }
  }
  return std::nullopt;
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

bool RequestMemory::take(std::size_t bytes) {
  if (bytes > limit_ - used_) return false;
  used_ += bytes;
  return true;
}

void RequestMemory::give(std::size_t bytes) {
  used_ -= bytes;
  if (bytes > 0) released_ = true;
}

bool RequestMemory::released_since_asked() {
  const bool released = released_;
  released_ = false;
  return released;
}

namespace {

// A request starts in a buffer this size, enough for any pool's call; a larger one (a block
// submitted through the proxy) grows it fourfold at a time.
constexpr std::size_t kFirstBufferBytes = 4096;

// From this size on a buffer is a block of the arena's (platform/arena.h): a mapping of its
// own, taken from those kept for reuse. A fresh mapping faults in each of its pages as the body
// arrives (about 2,000 for the 8 MB request of a 4 MB block), which cost more than the request.
constexpr std::size_t kLargeBuffer = 128 * 1024;

}  // namespace

RequestReader::~RequestReader() {
  stop_charging();
  release_buffer();
}

void RequestReader::release_buffer() {
  if (block_length_ != 0) {
    give_back_block(buffer_, block_length_);
  } else {
    std::free(buffer_);
  }
  buffer_ = nullptr;
  block_length_ = 0;
}

// The buffer made `grown` bytes, its first `filled_` kept; false (with the buffer as it was)
// when memory ran out. A small buffer grows on the heap; a large one is a block, moved to a
// larger block only when the one it has is too small (a block taken from those kept may be
// larger than asked for).
bool RequestReader::grow_buffer(std::size_t grown) {
  if (grown < kLargeBuffer) {
    void* moved = std::realloc(buffer_, grown);
    if (moved == nullptr) return false;
    buffer_ = static_cast<char*>(moved);
    return true;
  }
  if (grown <= block_length_) return true;
  std::size_t length = grown;
  void* block = take_block(&length);
  if (block == nullptr) return false;
  if (filled_ > 0) std::memcpy(block, buffer_, filled_);
  release_buffer();
  buffer_ = static_cast<char*>(block);
  block_length_ = length;
  return true;
}

void RequestReader::stop_charging() {
  if (memory_ != nullptr) memory_->give(capacity_);
  memory_ = nullptr;
}

RequestReader::Room RequestReader::make_room() {
  if (filled_ < capacity_) return Room::ready;
  // Before the blank line only the header block may arrive; after it, the announced body (a
  // request without one is complete by then and never asks).
  const std::size_t limit = !header_end_ ? limits_.header
                            : content_length_ ? header_end_->body_start() + *content_length_
                                              : capacity_;
  if (capacity_ >= limit) return Room::at_limit;
  const std::size_t grown = std::min(capacity_ == 0 ? kFirstBufferBytes : capacity_ * 4, limit);
  if (memory_ != nullptr && !memory_->take(grown - capacity_)) return Room::over_budget;
  if (!grow_buffer(grown)) {
    if (memory_ != nullptr) memory_->give(grown - capacity_);
    return Room::out_of_memory;
  }
  capacity_ = grown;
  return Room::ready;
}

bool RequestReader::framed() const {
  if (!header_end_) return false;
  if (!content_length_) return true;
  return filled_ - header_end_->body_start() >= *content_length_;
}

ReadState RequestReader::ended() const {
  // Without a header block there is nothing to answer; with one, a body short of its
  // Content-Length would reach the daemon as a different request than the client sent.
  if (header_end_ && !framed()) return ReadState::unfinished;
  return ReadState::complete;
}

Result<ReadState> RequestReader::read_available(int fd) {
  // The announced size is judged once the caller has seen the header block.
  if (header_end_ && content_length_ && *content_length_ > limits_.body) return ReadState::too_large;
  for (;;) {
    switch (make_room()) {
      case Room::ready: break;
      case Room::at_limit:
        // Only a header block without its blank line fills the buffer before it is framed.
        return header_end_ ? ReadState::complete : ReadState::too_large;
      case Room::over_budget: return ReadState::over_budget;
      case Room::out_of_memory: return fail(ErrorCode::OutOfMemory);
    }
    auto got = read_nonblocking(fd, {buffer_ + filled_, capacity_ - filled_});
    if (!got) {
      if (got.error() == ErrorCode::WouldBlock) return ReadState::waiting;
      return ended();  // a failed read ends the request like a close
    }
    if (*got == 0) return ended();
    filled_ += *got;
    if (!header_end_) {
      // Only the bytes new since the last look are searched (less the two before them, which
      // may begin a blank line), so a request trickling in byte by byte costs linear time.
      header_end_ = find_header_end({buffer_, filled_}, scanned_);
      if (!header_end_) {
        scanned_ = filled_ >= 2 ? filled_ - 2 : 0;
        continue;
      }
      content_length_ = find_content_length(header_block());
      if (!framed()) return ReadState::head;
    }
    if (framed()) return ReadState::complete;
  }
}

std::string_view RequestReader::body() const {
  if (!header_end_) return {};
  const std::size_t start = header_end_->body_start();
  return {buffer_ + start, filled_ - start};
}

}  // namespace skerrow
