#include "auxpow/hex.h"

#include <array>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

#if defined(__SSE2__)
namespace {

// Lanes of `v` from `lo` to `hi` (bytes, unsigned): the range moved to the bottom of the
// signed one, so one signed compare tells.
__m128i in_range(__m128i v, char lo, char hi) {
  const auto shift = static_cast<char>(lo ^ 0x80);
  const auto top = static_cast<char>((hi - lo) ^ 0x80);
  return _mm_cmpgt_epi8(_mm_add_epi8(_mm_set1_epi8(top), _mm_set1_epi8(1)),
                        _mm_sub_epi8(v, _mm_set1_epi8(shift)));
}

// Sixteen digits to eight bytes; `bad` gets the lanes that are no digit.
__m128i decode16(__m128i v, __m128i& bad) {
  const __m128i lower = _mm_or_si128(v, _mm_set1_epi8(0x20));
  const __m128i digit = in_range(v, '0', '9');
  const __m128i letter = in_range(lower, 'a', 'f');
  bad = _mm_or_si128(bad, _mm_andnot_si128(_mm_or_si128(digit, letter), _mm_set1_epi8(-1)));
  const __m128i value = _mm_or_si128(_mm_and_si128(digit, _mm_sub_epi8(v, _mm_set1_epi8('0'))),
                                     _mm_and_si128(letter, _mm_sub_epi8(lower, _mm_set1_epi8('a' - 10))));
  // Each 16-bit lane holds the high digit's value in its low byte, the low digit's above.
  return _mm_or_si128(_mm_and_si128(_mm_slli_epi16(value, 4), _mm_set1_epi16(0x00f0)), _mm_srli_epi16(value, 8));
}

}  // namespace

bool hex_decode_hash(std::string_view text, std::span<std::uint8_t, 32> out) {
  if (text.size() != 64) return false;
  const auto* in = reinterpret_cast<const __m128i*>(text.data());
  __m128i bad = _mm_setzero_si128();
  const __m128i a = decode16(_mm_loadu_si128(in), bad);
  const __m128i b = decode16(_mm_loadu_si128(in + 1), bad);
  const __m128i c = decode16(_mm_loadu_si128(in + 2), bad);
  const __m128i d = decode16(_mm_loadu_si128(in + 3), bad);
  if (_mm_movemask_epi8(bad) != 0) return false;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out.data()), _mm_packus_epi16(a, b));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out.data() + 16), _mm_packus_epi16(c, d));
  return true;
}
#else
bool hex_decode_hash(std::string_view text, std::span<std::uint8_t, 32> out) {
  return text.size() == 64 && hex_decode(text, out).has_value();
}
#endif

bool is_hex_text(std::string_view text) {
  for (char c : text) {
    if (nibble(c) < 0) return false;
  }
  return true;
}

}  // namespace skerrow
