// The token rules of RFC 8259, shared by the reader (which builds a tree) and the skim (which
// builds none), so that both accept and refuse exactly the same texts. Each check starts at
// the first byte of its token, leaves `p` just past it on success and returns the error
// parse_json reports for it otherwise.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "error/error.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace skerrow::json_grammar {

inline const char* skip_blanks(const char* p, const char* end) {
  // Compact JSON has no blanks: one test says so for any byte above the space.
  while (p < end && static_cast<unsigned char>(*p) <= ' ' && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')) {
    ++p;
  }
  return p;
}

// At a backslash inside a string: one escape (a surrogate pair counts as one).
ErrorCode check_escape(const char*& p, const char* end);

// At a byte of 0x80 or above inside a string: one UTF-8 sequence (RFC 3629, which excludes
// overlong forms, surrogates and code points beyond U+10FFFF).
ErrorCode check_utf8(const char*& p, const char* end);

// Writes the body of a string already checked, `p` .. `end`, decoded into `out` (room for
// end - p bytes); returns the decoded length.
std::size_t decode_escaped(const char* p, const char* end, char* out);

// At '-' or a digit. `digits_end` is where the integer part stops; `integral` is false when a
// fraction or an exponent follows.
struct NumberShape {
  const char* digits_end = nullptr;
  bool integral = true;
};
ErrorCode check_number(const char*& p, const char* end, NumberShape& shape);

// At the first letter of `word` (true, false, null).
ErrorCode check_literal(const char*& p, const char* end, std::string_view word);

namespace detail {

inline constexpr std::uint64_t kOnes = 0x0101010101010101ull;
inline constexpr std::uint64_t kHighs = 0x8080808080808080ull;

// True when one of the eight bytes in `w` may need a closer look inside a string: a quote, a
// backslash, a control byte or the start of a multi-byte sequence (a false alarm only costs
// a byte-wise step).
inline bool has_special_byte(std::uint64_t w) {
  auto zero_byte = [](std::uint64_t x) { return (x - kOnes) & ~x & kHighs; };
  const std::uint64_t control = (w - kOnes * 0x20) & ~w & kHighs;
  return ((zero_byte(w ^ (kOnes * '"')) | zero_byte(w ^ (kOnes * '\\')) | control | w) & kHighs) != 0;
}

#if defined(__SSE2__)
// Bit i set for each byte i of `v` that is a quote, a backslash, below 0x20 or 0x80 and above
// (a signed compare below 0x20 catches both).
inline unsigned special_mask(__m128i v) {
  const __m128i special =
      _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))),
                   _mm_cmplt_epi8(v, _mm_set1_epi8(0x20)));
  return static_cast<unsigned>(_mm_movemask_epi8(special));
}
#endif

#if defined(__x86_64__) && defined(__SSE2__) && !defined(__AVX2__)
#define SKERROW_JSON_AVX2_AT_RUN_TIME 1
// Whether this CPU and system run AVX2 instructions; found before main.
extern const bool kAvx2;
// skip_plain's 64-byte steps in two 32-byte compares (built for AVX2 whatever the build's
// target): the first special byte, or a point fewer than 64 bytes before `end`.
// REQUIRES: kAvx2.
const char* skip_plain_avx2(const char* p, const char* end);
#endif

// The first byte from `p` on that is not plain printable ASCII, or a point fewer than eight
// bytes before `end` from which the caller steps byte by byte. Long strings (the transaction
// data of a block template) are nearly all of a daemon's reply, so they pass 64 bytes a step,
// on AVX2 where the CPU has it (half the instructions per step).
inline const char* skip_plain(const char* p, const char* end) {
#if defined(SKERROW_JSON_AVX2_AT_RUN_TIME)
  if (kAvx2) {
    p = skip_plain_avx2(p, end);
    if (end - p >= 64) return p;  // it stopped at a special byte; fewer bytes left go on below
  }
#endif
#if defined(__SSE2__)
  while (end - p >= 64) {
    const auto* v = reinterpret_cast<const __m128i*>(p);
    const std::uint64_t mask = std::uint64_t{special_mask(_mm_loadu_si128(v))} |
                               std::uint64_t{special_mask(_mm_loadu_si128(v + 1))} << 16 |
                               std::uint64_t{special_mask(_mm_loadu_si128(v + 2))} << 32 |
                               std::uint64_t{special_mask(_mm_loadu_si128(v + 3))} << 48;
    if (mask != 0) return p + __builtin_ctzll(mask);
    p += 64;
  }
  while (end - p >= 16) {
    if (const unsigned mask = special_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); mask != 0) {
      return p + __builtin_ctz(mask);
    }
    p += 16;
  }
#endif
  while (end - p >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if (has_special_byte(w)) break;
    p += 8;
  }
  return p;
}

}  // namespace detail

// At the opening quote: one string. `escaped` tells whether its body holds a backslash (and
// so differs from its decoded text).
inline ErrorCode check_string(const char*& p, const char* end, bool& escaped) {
  ++p;
  escaped = false;
#if defined(__SSE2__)
  // Keys and most short values end within their first sixteen bytes: one step, no loop.
  if (end - p >= 16) {
    if (const unsigned mask = detail::special_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        mask != 0) {
      p += __builtin_ctz(mask);
      if (*p == '"') {
        ++p;
        return ErrorCode::None;
      }
    } else {
      p += 16;
    }
  }
#endif
  for (;;) {
    p = detail::skip_plain(p, end);
    if (p == end) return ErrorCode::UnexpectedEndOfInput;
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"') {
      ++p;
      return ErrorCode::None;
    }
    if (c >= 0x20 && c < 0x80 && c != '\\') {
      ++p;
    } else if (c == '\\') {
      escaped = true;
      if (ErrorCode e = check_escape(p, end); e != ErrorCode::None) return e;
    } else if (c < 0x20) {
      return ErrorCode::SyntaxError;
    } else if (ErrorCode e = check_utf8(p, end); e != ErrorCode::None) {
      return e;
    }
  }
}

}  // namespace skerrow::json_grammar
