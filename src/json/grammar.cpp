#include "json/grammar.h"

#if defined(SKERROW_JSON_AVX2_AT_RUN_TIME)
#include <immintrin.h>
#endif

namespace skerrow::json_grammar {
namespace {

using enum ErrorCode;

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

inline char* put_utf8(char* out, std::uint32_t cp) {
  if (cp < 0x80) {
    *out++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out++ = static_cast<char>(0xC0 | (cp >> 6));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (cp >> 12));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (cp >> 18));
    *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return out;
}

// Reads four hex digits of an already checked \u escape.
inline std::uint32_t hex4(const char* p) {
  return static_cast<std::uint32_t>(hex_value(p[0]) << 12 | hex_value(p[1]) << 8 | hex_value(p[2]) << 4 |
                                    hex_value(p[3]));
}

}  // namespace

ErrorCode check_escape(const char*& p, const char* end) {
  if (end - p < 2) return UnexpectedEndOfInput;
  switch (p[1]) {
    case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
      p += 2;
      return None;
    case 'u': break;
    default: return SyntaxError;
  }
  auto read_u = [&p, end](std::uint32_t& cp) -> ErrorCode {  // p at the backslash of \uXXXX
    cp = 0;
    for (int i = 2; i < 6; ++i) {
      if (p + i >= end) return UnexpectedEndOfInput;
      int h = hex_value(p[i]);
      if (h < 0) return SyntaxError;
      cp = cp << 4 | static_cast<std::uint32_t>(h);
    }
    p += 6;
    return None;
  };
  std::uint32_t cp;
  if (ErrorCode e = read_u(cp); e != None) return e;
  if (cp >= 0xDC00 && cp <= 0xDFFF) return SyntaxError;
  if (cp < 0xD800 || cp > 0xDBFF) return None;
  if (p == end) return UnexpectedEndOfInput;
  if (*p != '\\') return SyntaxError;
  if (p + 1 == end) return UnexpectedEndOfInput;
  if (p[1] != 'u') return SyntaxError;
  if (ErrorCode e = read_u(cp); e != None) return e;
  return cp >= 0xDC00 && cp <= 0xDFFF ? None : SyntaxError;
}

ErrorCode check_utf8(const char*& p, const char* end) {
  auto c = static_cast<unsigned char>(*p);
  int length;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c < 0xC2) return SyntaxError;
  if (c < 0xE0) {
    length = 2;
  } else if (c < 0xF0) {
    length = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;
  } else if (c < 0xF5) {
    length = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return SyntaxError;
  }
  for (int i = 1; i < length; ++i) {
    if (p + i >= end) return UnexpectedEndOfInput;
    auto b = static_cast<unsigned char>(p[i]);
    if (b < lo || b > hi) return SyntaxError;
    lo = 0x80;
    hi = 0xBF;
  }
  p += length;
  return None;
}

std::size_t decode_escaped(const char* p, const char* end, char* out) {
  char* start = out;
  while (p < end) {
    const void* bs = std::memchr(p, '\\', static_cast<std::size_t>(end - p));
    const char* run_end = bs ? static_cast<const char*>(bs) : end;
    std::memcpy(out, p, static_cast<std::size_t>(run_end - p));
    out += run_end - p;
    p = run_end;
    if (p == end) break;
    char e = p[1];
    p += 2;
    switch (e) {
      case 'b': *out++ = '\b'; break;
      case 'f': *out++ = '\f'; break;
      case 'n': *out++ = '\n'; break;
      case 'r': *out++ = '\r'; break;
      case 't': *out++ = '\t'; break;
      case 'u': {
        std::uint32_t cp = hex4(p);
        p += 4;
        if (cp >= 0xD800 && cp <= 0xDBFF) {
          std::uint32_t low = hex4(p + 2);
          p += 6;
          cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        out = put_utf8(out, cp);
        break;
      }
      default: *out++ = e; break;  // \" \\ \/
    }
  }
  return static_cast<std::size_t>(out - start);
}

ErrorCode check_number(const char*& p, const char* end, NumberShape& shape) {
  if (*p == '-') ++p;
  if (p == end) return SyntaxError;
  if (*p == '0') {
    ++p;
    if (p < end && is_digit(*p)) return SyntaxError;
  } else if (is_digit(*p)) {
    while (p < end && is_digit(*p)) ++p;
  } else {
    return SyntaxError;
  }
  shape.digits_end = p;
  shape.integral = true;
  if (p < end && *p == '.') {
    ++p;
    if (p == end || !is_digit(*p)) return SyntaxError;
    while (p < end && is_digit(*p)) ++p;
    shape.integral = false;
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    if (p == end || !is_digit(*p)) return SyntaxError;
    while (p < end && is_digit(*p)) ++p;
    shape.integral = false;
  }
  return None;
}

ErrorCode check_literal(const char*& p, const char* end, std::string_view word) {
  const auto avail = static_cast<std::size_t>(end - p);
  if (avail < word.size()) return std::memcmp(p, word.data(), avail) == 0 ? UnexpectedEndOfInput : SyntaxError;
  if (std::memcmp(p, word.data(), word.size()) != 0) return SyntaxError;
  p += word.size();
  return None;
}

#if defined(SKERROW_JSON_AVX2_AT_RUN_TIME)

namespace detail {
namespace {

bool avx2_usable() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") != 0;  // false where the system does not save the AVX state
}

// As special_mask, for 32 bytes.
__attribute__((target("avx2"))) inline std::uint32_t special_mask_avx2(__m256i v) {
  const __m256i special = _mm256_or_si256(
      _mm256_or_si256(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('"')), _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\\'))),
      _mm256_cmpgt_epi8(_mm256_set1_epi8(0x20), v));
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(special));
}

}  // namespace

const bool kAvx2 = avx2_usable();

__attribute__((target("avx2"))) const char* skip_plain_avx2(const char* p, const char* end) {
  while (end - p >= 64) {
    const auto* v = reinterpret_cast<const __m256i*>(p);
    const std::uint64_t mask = std::uint64_t{special_mask_avx2(_mm256_loadu_si256(v))} |
                               std::uint64_t{special_mask_avx2(_mm256_loadu_si256(v + 1))} << 32;
    if (mask != 0) return p + __builtin_ctzll(mask);
    p += 64;
  }
  return p;
}

}  // namespace detail

#endif

}  // namespace skerrow::json_grammar
