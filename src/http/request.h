// Reading one HTTP request from a client: the header block ends at the first blank line, the
// body is whatever follows it, and Content-Length only decides how long to keep reading.
// Nothing else of the request line or the headers is interpreted.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
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

// The moment by which a client must have delivered its request; nullopt: no limit.
using ClientDeadline = std::optional<std::chrono::steady_clock::time_point>;

// The deadline of a connection accepted at `accepted` under a client time limit of
// `timeout_ms`: nullopt when the limit is 0 (none) or lies beyond what the clock can hold.
ClientDeadline client_deadline(std::chrono::steady_clock::time_point accepted,
                               std::uint64_t timeout_ms);

struct RequestRead {
  std::size_t filled = 0;                 // bytes received; 0 when nothing arrived
  std::optional<HeaderEnd> header_end;    // in the filled part
  std::string_view body;                  // view into the buffer; empty without a header end
};

// Reads from the blocking socket `fd` into `buffer` until the header block is complete and
// the bytes after it reach the Content-Length (or immediately after the header block when
// there is no usable Content-Length), the client closes its side, a read fails or times out,
// the deadline passes, or the buffer is full. Read failures are not reported: what arrived is
// used. The body is not cut to the Content-Length.
// The deadline bounds the whole reading, not each read: a client that keeps sending a byte
// now and then is cut off at it all the same. Once it has passed, bytes that had already
// arrived are still taken, without waiting for more; a request that came whole while its
// connection sat in the queue is therefore served however long it waited there.
RequestRead read_request(int fd, std::span<char> buffer, ClientDeadline deadline = std::nullopt);

}  // namespace skerrow
