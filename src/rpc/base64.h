// Standard Base64 (RFC 4648 alphabet, '=' padding), used for the Basic credentials.
#pragma once

#include <cstddef>
#include <string_view>

namespace skerrow {

// Length of the encoded text of `n` input bytes: 4 * ceil(n / 3).
constexpr std::size_t base64_length(std::size_t n) { return (n + 2) / 3 * 4; }

// Writes the encoding of `in` to `out`, which must have room for base64_length(in.size())
// bytes; no terminator is written. Returns the number of bytes written.
std::size_t base64_encode(std::string_view in, char* out);

}  // namespace skerrow
