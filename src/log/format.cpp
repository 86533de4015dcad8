#include "log/format.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace skerrow {

std::string_view format_decimal(std::uint64_t value, std::span<char, kNumberTextSize> out) {
  auto [end, ec] = std::to_chars(out.data(), out.data() + out.size(), value);
  (void)ec;
  return {out.data(), static_cast<std::size_t>(end - out.data())};
}

std::string_view format_signed(std::int64_t value, std::span<char, kNumberTextSize> out) {
  auto [end, ec] = std::to_chars(out.data(), out.data() + out.size(), value);
  (void)ec;
  return {out.data(), static_cast<std::size_t>(end - out.data())};
}

std::string_view format_fixed(double value, int digits, std::span<char, kNumberTextSize> out) {
  char* o = out.data();
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  if (digits < 0) digits = 0;
  if (digits > 20) digits = 20;

  bool negative = std::signbit(value);
  if (negative) value = -value;

  // Shortest round-trip digits in scientific form: d[.ddd]e[+-]XX.
  char sci[64];
  auto [end, ec] = std::to_chars(sci, sci + sizeof sci, value, std::chars_format::scientific);
  (void)ec;
  char mant[32];
  int len = 0;
  const char* p = sci;
  for (; p < end && *p != 'e'; ++p)
    if (*p != '.') mant[len++] = *p;
  int exponent = 0;
  std::from_chars(p + 1 + (p[1] == '+' ? 1 : 0), end, exponent);
  int int_digits = exponent + 1;  // digits before the decimal point in mant

  // Positions from the highest integer position down to -digits, most significant first.
  int top = int_digits > 1 ? int_digits - 1 : 0;
  int count = top + digits + 1;
  char fixed[kNumberTextSize];
  auto digit_at = [&](int position) -> int {
    int index = int_digits - 1 - position;
    return index >= 0 && index < len ? mant[index] - '0' : 0;
  };
  for (int i = 0; i < count; ++i) fixed[i] = static_cast<char>(digit_at(top - i));

  // Round half up on the first dropped digit, carrying leftwards.
  bool carry_out = false;
  if (digit_at(-digits - 1) >= 5) {
    int i = count - 1;
    while (i >= 0) {
      if (++fixed[i] < 10) break;
      fixed[i] = 0;
      --i;
    }
    carry_out = i < 0;
  }

  std::size_t n = 0;
  if (negative) o[n++] = '-';
  if (carry_out) o[n++] = '1';
  for (int i = 0; i < count; ++i) {
    if (i == top + 1) o[n++] = '.';
    o[n++] = static_cast<char>('0' + fixed[i]);
  }
  return {o, n};
}

}  // namespace skerrow
