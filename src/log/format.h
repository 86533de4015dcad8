// Number formatting into caller-provided stack space (no allocation).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace skerrow {

// The digits of lowercase hexadecimal, by value: every hex text the proxy writes uses them.
inline constexpr char kHexDigits[] = "0123456789abcdef";

// Room enough for any value format_fixed or format_decimal writes.
inline constexpr std::size_t kNumberTextSize = 400;

// Unsigned decimal, no sign, no fill. Returns a view into `out`.
std::string_view format_decimal(std::uint64_t value, std::span<char, kNumberTextSize> out);
std::string_view format_signed(std::int64_t value, std::span<char, kNumberTextSize> out);

// Fixed-point text with exactly `digits` fractional digits: the shortest digit string that
// reads back as the same double, cut to `digits` fractional digits and rounded up when the
// first digit dropped is 5 or more; never an exponent. Positive infinity is "inf", negative
// infinity "-inf", NaN "nan". REQUIRES: 0 <= digits <= 20.
std::string_view format_fixed(double value, int digits, std::span<char, kNumberTextSize> out);

}  // namespace skerrow
