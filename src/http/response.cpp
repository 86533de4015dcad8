#include "http/response.h"

#include <charconv>
#include <cstring>

#include "platform/nonblocking_io.h"

namespace skerrow {
namespace {

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

Status Reply::set(std::uint16_t status, std::span<const std::string_view> pieces) {
  if (pieces.size() > kMaxPieces) return fail(ErrorCode::InvalidArgument);
  std::size_t length = 0;
  char last = '\0';
  for (std::string_view piece : pieces) {
    length += piece.size();
    if (!piece.empty()) last = piece.back();
  }
  const bool owes_newline = length == 0 || last != '\n';
  // Clients act on the code; every failure status carries the same phrase.
  const std::string_view reason = status == 200 ? "OK" : "Bad Request";

  char* cursor = header_.data();
  char* const end = header_.data() + header_.size();
  bool fits = append(cursor, end, "HTTP/1.1 ") && append_number(cursor, end, status) &&
              append(cursor, end, " ") && append(cursor, end, reason) &&
              append(cursor, end, "\r\nContent-Type: application/json\r\nContent-Length: ") &&
              append_number(cursor, end, length + (owes_newline ? 1 : 0)) &&
              append(cursor, end, "\r\nConnection: close\r\n\r\n");
  if (!fits) return fail(ErrorCode::HeaderTooLong);

  // One gather call for the whole response when the socket takes it: separate writes of the
  // header, the body and the newline each cost a call, and the later ones can wait for
  // acknowledgements.
  std::size_t count = 0;
  total_ = 0;
  auto add = [&](const char* data, std::size_t size) {
    if (size == 0) return;
    iov_[count].iov_base = const_cast<char*>(data);
    iov_[count].iov_len = size;
    total_ += size;
    ++count;
  };
  add(header_.data(), static_cast<std::size_t>(cursor - header_.data()));
  for (std::string_view piece : pieces) add(piece.data(), piece.size());
  if (owes_newline) add("\n", 1);
  first_ = 0;
  count_ = count;
  started_ = false;
  return {};
}

Status Reply::set_copy(std::uint16_t status, std::string_view body) {
  return catch_oom([&]() -> Status {
    copy_.assign(body);
    return set(status, std::string_view(copy_));
  });
}

Result<bool> Reply::write_some(int fd, bool one_call) {
  std::span<iovec> left(iov_.data() + first_, count_);
  while (!left.empty()) {
    auto sent = write_nonblocking(fd, left);
    if (!sent) return fail(started_ ? ErrorCode::ResponseCutOff : sent.error());
    if (*sent == 0) break;
    started_ = true;
    if (one_call) break;
  }
  first_ = static_cast<std::size_t>(left.data() - iov_.data());
  count_ = left.size();
  return count_ == 0;
}

}  // namespace skerrow
