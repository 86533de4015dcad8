#include "http/response.h"

#include <charconv>
#include <cstring>

#include "platform/io.h"

namespace skerrow {
namespace {

constexpr std::size_t kHeaderBuffer = 512;

// A blocking socket takes a whole piece in one call unless a signal or the client's send
// time-out cuts it short; the rest is then written too, so that a response is either sent
// whole or reported as failed, never half-sent and called a success.
Status write_piece(int fd, std::string_view piece) {
  while (!piece.empty()) {
    auto written = write_once(fd, piece);
    if (!written) return fail(written.error());
    if (*written == 0) return fail(ErrorCode::WriteFailed);
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

  if (auto st = write_piece(fd, {header, static_cast<std::size_t>(cursor - header)}); !st) {
    return st;
  }
  if (auto st = write_piece(fd, body); !st) return st;
  if (owes_newline) return write_piece(fd, "\n");
  return {};
}

}  // namespace skerrow
