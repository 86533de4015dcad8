// Writing one HTTP response: status line and three fixed headers, the body, and the newline
// the body is owed when it does not end in one.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "error/error.h"

namespace skerrow {

// Writes "HTTP/1.1 <status> <OK|Bad Request>" with Content-Type, Content-Length and
// "Connection: close", then the body, then "\n" if the body is empty or does not end in one.
// One write call per piece when the socket takes it whole; a piece cut short is continued,
// so success means every byte was queued. When the socket has a send time-out (SO_SNDTIMEO)
// it bounds the whole response, from the first byte to the last, not each call. A failure
// before any byte was queued is returned by its write table name; once some bytes are out,
// any failure (running out of the time-out included) is ResponseCutOff: the client holds a
// cut-off response, and the connection can carry nothing more.
Status send_response(int fd, std::uint16_t status, std::string_view body);

// The same response for a body made of `pieces` placed one after the other, so that a
// spliced body is sent straight from where its pieces lie. Header, pieces and newline go out
// in one gather call when the socket takes them whole. REQUIRES: at most 16 pieces.
Status send_response(int fd, std::uint16_t status, std::span<const std::string_view> pieces);

}  // namespace skerrow
