// Reading one HTTP request from a client: the header block ends at the first blank line, the
// body is whatever follows it, and Content-Length only decides how long to keep reading.
// Nothing else of the request line or the headers is interpreted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "error/error.h"

namespace skerrow {

// A request is read whole or not at all: its header block (request line, headers and the blank
// line) within kMaxHeaderBytes, its body within kMaxRequestBody, the limit parent nodes put on
// their own RPC bodies (a block submitted through the proxy). Anything larger is refused.
inline constexpr std::size_t kMaxHeaderBytes = 64 * 1024;
inline constexpr std::size_t kMaxRequestBody = 32 * 1024 * 1024;

struct HeaderEnd {
  std::size_t index = 0;      // first byte of the separator
  std::size_t separator = 0;  // 4 for "\r\n\r\n", 2 for "\n\n"
  std::size_t body_start() const { return index + separator; }
  bool operator==(const HeaderEnd&) const = default;
};

// The first blank line in `bytes` that ends at or after byte `from`: whichever of "\r\n\r\n"
// and "\n\n" begins first. A reader searches from a little before its new bytes, so that a
// request trickling in costs linear time.
std::optional<HeaderEnd> find_header_end(std::string_view bytes, std::size_t from = 0);

// A Content-Length value (blanks already trimmed): optional '+', or '-' followed only by
// zeros; '_' allowed between digits but not first or last; at most 2^64 - 1. nullopt when
// the value is not usable.
std::optional<std::uint64_t> parse_content_length(std::string_view value);

// The value of the first line of `header_block` whose name starts with "content-length"
// (ASCII case folded) and that has a ':'; nullopt when there is no such line or its value is
// not usable. Lines are split at "\n" with one trailing "\r" removed; the request line is
// scanned like any other.
std::optional<std::uint64_t> find_content_length(std::string_view header_block);

// The bytes that requests still arriving hold together, bounded by "request_memory_mb". A
// request that needs more room than is left waits until others release theirs. Used by the
// event loop's thread only.
class RequestMemory {
 public:
  explicit RequestMemory(std::size_t limit) : limit_(limit) {}
  RequestMemory(const RequestMemory&) = delete;
  RequestMemory& operator=(const RequestMemory&) = delete;

  // Takes `bytes` if they fit under the limit; false (nothing taken) otherwise.
  bool take(std::size_t bytes);
  void give(std::size_t bytes);
  // True once bytes were given back since the last call: a waiting request may fit now.
  bool released_since_asked();

  std::size_t used() const { return used_; }
  std::size_t limit() const { return limit_; }
  // A new limit: bytes held past it stay held, and nothing more is taken until they are back under it.
  void set_limit(std::size_t limit) { limit_ = limit; }

 private:
  std::size_t limit_;
  std::size_t used_ = 0;
  bool released_ = false;
};

// Where a request stands after read_available.
enum class ReadState : std::uint8_t {
  waiting,      // the socket has nothing more now; the request goes on
  head,         // the header block just ended and the body is still due: decide whether the
                // client may send it (credentials) before calling again, which reads it
  complete,     // see RequestReader
  too_large,    // no blank line within kMaxHeaderBytes, or a Content-Length over the body limit
  unfinished,   // the client closed (or the read failed) before its body reached its
                // Content-Length
  over_budget,  // the request needs more room than its RequestMemory has left; call again
                // once some is released
};

struct RequestLimits {
  std::size_t header = kMaxHeaderBytes;
  std::size_t body = kMaxRequestBody;
};

// A request as it arrives on a connection that never blocks: bytes are taken as the socket
// has them, into a buffer that grows with the request (fourfold at a time, from 4 KiB; from
// 128 KiB on, in mappings the arenas keep for reuse) but never past the header limit before
// the blank line, nor past the announced body after it.
// The request is complete once the header block is and the bytes after it reach its
// Content-Length (at once when there is no usable one; then the body is what came with the
// header block), or when the client closed its side or a read failed before the header block
// ended (then there is no header end and nothing to answer). The body is not cut to the
// Content-Length: bytes past it that came in the same read stay in it.
class RequestReader {
 public:
  explicit RequestReader(RequestLimits limits = {}) : limits_(limits) {}
  RequestReader(const RequestReader&) = delete;
  RequestReader& operator=(const RequestReader&) = delete;
  ~RequestReader();

  // From now on the buffer's bytes count against `memory`, until stop_charging or the
  // reader's end. REQUIRES: no buffer yet.
  void charge_to(RequestMemory* memory) { memory_ = memory; }
  // Gives the buffer's bytes back to the RequestMemory; the buffer itself stays.
  void stop_charging();

  // Reads whatever `fd` holds now, without waiting.
  // Errors: OutOfMemory (the buffer could not grow; nothing more can be read).
  Result<ReadState> read_available(int fd);

  std::size_t filled() const { return filled_; }
  std::string_view received() const { return {buffer_, filled_}; }  // every byte taken
  const std::optional<HeaderEnd>& header_end() const { return header_end_; }
  // REQUIRES: header_end().
  std::string_view header_block() const { return {buffer_, header_end_->index}; }
  std::string_view body() const;  // empty without a header end
  // The usable Content-Length of a complete header block, if it has one.
  const std::optional<std::uint64_t>& content_length() const { return content_length_; }
  std::size_t capacity() const { return capacity_; }

 private:
  enum class Room : std::uint8_t { ready, at_limit, over_budget, out_of_memory };
  // Room for at least one more byte.
  Room make_room();
  bool grow_buffer(std::size_t grown);
  void release_buffer();
  bool framed() const;
  ReadState ended() const;  // what the request is once no more bytes can come

  RequestLimits limits_;
  RequestMemory* memory_ = nullptr;
  char* buffer_ = nullptr;
  std::size_t capacity_ = 0;      // the bytes the buffer may hold (and is charged for)
  std::size_t block_length_ = 0;  // of a large buffer, the arena block's real length; 0 on the heap
  std::size_t filled_ = 0;
  std::size_t scanned_ = 0;  // where the search for the blank line goes on
  std::optional<HeaderEnd> header_end_;
  std::optional<std::uint64_t> content_length_;
};

}  // namespace skerrow
