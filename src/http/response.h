// One HTTP response as the pool receives it: status line and three fixed headers, the body,
// and the newline the body is owed when it does not end in one. Built by whoever decides the
// answer, written out by the event loop as the client's socket takes it.
#pragma once

#include <sys/uio.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "error/error.h"

namespace skerrow {

// The body of the 502 reply: whatever failed on the way to an answer.
inline constexpr std::string_view kFailureReply =
    "{\"result\":null,\"error\":{\"code\":-1,\"message\":\"upstream connection failed\"},"
    "\"id\":null}";

class Reply {
 public:
  static constexpr std::size_t kMaxPieces = 16;

  Reply() = default;
  Reply(const Reply&) = delete;
  Reply& operator=(const Reply&) = delete;

  // Makes the response "HTTP/1.1 <status> <OK|Bad Request>" with Content-Type,
  // Content-Length and "Connection: close", whose body is `pieces` one after the other. The
  // pieces are not copied: they must stay where they are until the reply is written (the
  // request's arena, the parent's reply, static text). Replaces an earlier response that
  // was not started. Errors: InvalidArgument (more than kMaxPieces pieces).
  Status set(std::uint16_t status, std::span<const std::string_view> pieces);
  Status set(std::uint16_t status, std::string_view body) {
    return set(status, std::span<const std::string_view>(&body, 1));
  }
  // The same with `body` copied into the reply first, for answers built in temporary memory.
  // Errors: OutOfMemory.
  Status set_copy(std::uint16_t status, std::string_view body);

  bool empty() const { return count_ == 0 && !started_; }
  bool started() const { return started_; }
  bool done() const { return count_ == 0 && started_; }
  std::size_t size() const { return total_; }  // bytes of the whole response

  // Writes what the socket `fd` takes now without waiting; true once the last byte is out.
  // A failure before any byte left is returned by its write table name; once some bytes are
  // out any failure is ResponseCutOff: the client holds a cut-off response, and the
  // connection can carry nothing more. With `one_call`, makes a single send call at most.
  // REQUIRES: set was called.
  Result<bool> write_some(int fd, bool one_call = false);

  // Set by a handler that logs "response sent to client" once the reply is out.
  bool announce_sent = false;

 private:
  std::array<char, 160> header_{};
  std::string copy_;
  std::array<iovec, kMaxPieces + 2> iov_{};
  std::size_t first_ = 0;  // the first iovec not yet written
  std::size_t count_ = 0;  // iovecs left to write, from first_
  std::size_t total_ = 0;
  bool started_ = false;
};

}  // namespace skerrow
