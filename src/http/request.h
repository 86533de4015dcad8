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

// Size of the request buffer: a request is read up to this many bytes and cut there.
inline constexpr std::size_t kRequestBufferBytes = 262144;

struct HeaderEnd {
  std::size_t index = 0;      // first byte of the separator
  std::size_t separator = 0;  // 4 for "\r\n\r\n", 2 for "\n\n"
  std::size_t body_start() const { return index + separator; }
  bool operator==(const HeaderEnd&) const = default;
};

// The first blank line in `bytes`: whichever of "\r\n\r\n" and "\n\n" begins first.
std::optional<HeaderEnd> find_header_end(std::string_view bytes);

// A Content-Length value (blanks already trimmed): optional '+', or '-' followed only by
// zeros; '_' allowed between digits but not first or last; at most 2^64 - 1. nullopt when
// the value is not usable.
std::optional<std::uint64_t> parse_content_length(std::string_view value);

// The value of the first line of `header_block` whose name starts with "content-length"
// (ASCII case folded) and that has a ':'; nullopt when there is no such line or its value is
// not usable. Lines are split at "\n" with one trailing "\r" removed; the request line is
// scanned like any other.
std::optional<std::uint64_t> find_content_length(std::string_view header_block);

// A request as it arrives on a connection that never blocks: bytes are taken as the socket
// has them, into a buffer that grows with the request up to kRequestBufferBytes. The request
// is complete once the header block is and the bytes after it reach its Content-Length (at
// once when there is no usable one), or when the client closed its side, a read failed or the
// buffer is full: what arrived is then used. The body is not cut to the Content-Length.
class RequestReader {
 public:
  // `cap`: where the request is cut (a smaller one only for tests).
  explicit RequestReader(std::size_t cap = kRequestBufferBytes) : cap_(cap) {}
  RequestReader(const RequestReader&) = delete;
  RequestReader& operator=(const RequestReader&) = delete;
  ~RequestReader();

  // Reads whatever `fd` holds now, without waiting; true once the request is complete.
  // Errors: OutOfMemory (the buffer could not grow; nothing more can be read).
  Result<bool> read_available(int fd);

  std::size_t filled() const { return filled_; }
  std::string_view received() const { return {buffer_, filled_}; }  // every byte taken
  const std::optional<HeaderEnd>& header_end() const { return header_end_; }
  // REQUIRES: header_end().
  std::string_view header_block() const { return {buffer_, header_end_->index}; }
  std::string_view body() const;  // empty without a header end
  std::size_t capacity() const { return capacity_; }

 private:
  // Room for at least one more byte; false when the buffer is at its cap or memory ran out.
  bool make_room(bool& out_of_memory);
  bool framed() const;

  std::size_t cap_;
  char* buffer_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t filled_ = 0;
  std::size_t scanned_ = 0;  // where the search for the blank line goes on
  std::optional<HeaderEnd> header_end_;
  std::optional<std::uint64_t> content_length_;
};

}  // namespace skerrow
