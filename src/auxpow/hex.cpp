#include "auxpow/hex.h"

#include <array>

#include "log/format.h"

namespace skerrow {
namespace {

// Digit values by byte, 0xff for a byte that is no digit. A lookup rather than range tests:
// in random hex the tests branch unpredictably, and template hashing decodes thousands.
constexpr std::array<std::uint8_t, 256> kNibble = [] {
  std::array<std::uint8_t, 256> t{};
  t.fill(0xff);
  for (std::size_t i = 0; i < 10; ++i) t['0' + i] = static_cast<std::uint8_t>(i);
  for (std::size_t i = 0; i < 6; ++i) {
    t['a' + i] = static_cast<std::uint8_t>(10 + i);
    t['A' + i] = static_cast<std::uint8_t>(10 + i);
  }
  return t;
}();

int nibble(char c) {
  const std::uint8_t v = kNibble[static_cast<unsigned char>(c)];
  return v == 0xff ? -1 : v;
}

}  // namespace

void hex_encode(std::span<const std::uint8_t> bytes, std::span<char> out) {
  char* p = out.data();
  for (std::uint8_t b : bytes) {
    *p++ = kHexDigits[b >> 4];
    *p++ = kHexDigits[b & 0x0f];
  }
}

Status hex_decode(std::string_view text, std::span<std::uint8_t> out) {
  if (text.size() % 2 != 0) return fail(ErrorCode::InvalidLength);
  if (text.size() / 2 > out.size()) return fail(ErrorCode::NoSpaceLeft);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const std::uint8_t hi = kNibble[static_cast<unsigned char>(text[i])];
    const std::uint8_t lo = kNibble[static_cast<unsigned char>(text[i + 1])];
    if ((hi | lo) == 0xff) return fail(ErrorCode::InvalidCharacter);
    out[i / 2] = static_cast<std::uint8_t>((hi << 4) | lo);
  }
  return {};
}

bool is_hex_text(std::string_view text) {
  for (char c : text) {
    if (nibble(c) < 0) return false;
  }
  return true;
}

}  // namespace skerrow
