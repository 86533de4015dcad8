// Hexadecimal text <-> bytes. Text order is byte order: neither direction ever reverses,
// so a hash keeps whichever order (display or internal) it was in.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "error/error.h"

namespace skerrow {

// Writes two lowercase digits per byte, high nibble first.
// REQUIRES: out.size() == 2 * bytes.size().
void hex_encode(std::span<const std::uint8_t> bytes, std::span<char> out);

// Decodes `text` (either letter case) into the first text.size() / 2 bytes of `out`; the rest
// of `out` is left alone. Errors, checked in this order: InvalidLength (odd length),
// NoSpaceLeft (out too small), InvalidCharacter (the bytes before the bad digit stay written).
Status hex_decode(std::string_view text, std::span<std::uint8_t> out);

// hex_decode of a hash: true with `out` written when `text` is exactly 64 hex digits, false
// otherwise (`out` then holds anything). Sixteen digits a step where the CPU has SSE2.
bool hex_decode_hash(std::string_view text, std::span<std::uint8_t, 32> out);

// True when every character of `text` is a hexadecimal digit (the empty text included).
bool is_hex_text(std::string_view text);

}  // namespace skerrow
