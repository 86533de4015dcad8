#include "auxpow/hex.h"

namespace skerrow {
namespace {

constexpr char kDigits[] = "0123456789abcdef";

int nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

void hex_encode(std::span<const std::uint8_t> bytes, std::span<char> out) {
  char* p = out.data();
  for (std::uint8_t b : bytes) {
    *p++ = kDigits[b >> 4];
    *p++ = kDigits[b & 0x0f];
  }
}

Status hex_decode(std::string_view text, std::span<std::uint8_t> out) {
  if (text.size() % 2 != 0) return fail(ErrorCode::InvalidLength);
  if (text.size() / 2 > out.size()) return fail(ErrorCode::NoSpaceLeft);
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int hi = nibble(text[i]);
    const int lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return fail(ErrorCode::InvalidCharacter);
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
