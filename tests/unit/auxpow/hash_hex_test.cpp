// Bytes <-> hex text and the SHA-256d merkle step.
#include <gtest/gtest.h>

#include "auxpow/hash.h"
#include "auxpow/hex.h"
#include "support.h"

namespace skerrow {
namespace {

TEST(Hex, EncodesLowercaseInTextOrder) {
  const std::uint8_t bytes[] = {0x00, 0xAB, 0xFF};
  char out[6];
  hex_encode(bytes, out);
  EXPECT_EQ(std::string_view(out, 6), "00abff");
  hex_encode({}, std::span<char>{});  // nothing to write, nothing written
}

TEST(Hex, DecodesEitherCaseAndReportsErrorsInOrder) {
  std::array<std::uint8_t, 3> a{}, b{};
  ASSERT_TRUE(hex_decode("00abff", a));
  ASSERT_TRUE(hex_decode("00ABFF", b));
  EXPECT_EQ(a, (std::array<std::uint8_t, 3>{0x00, 0xab, 0xff}));
  EXPECT_EQ(a, b);

  std::array<std::uint8_t, 32> area{};
  EXPECT_EQ(hex_decode("0g", area).error(), ErrorCode::InvalidCharacter);
  EXPECT_EQ(hex_decode("abc", area).error(), ErrorCode::InvalidLength);
  EXPECT_EQ(hex_decode(std::string(66, '0'), area).error(), ErrorCode::NoSpaceLeft);
  // Odd length is checked before room, room before digits.
  EXPECT_EQ(hex_decode(std::string(67, 'z'), area).error(), ErrorCode::InvalidLength);
  EXPECT_EQ(hex_decode(std::string(66, 'z'), area).error(), ErrorCode::NoSpaceLeft);
  EXPECT_TRUE(hex_decode("", area));
}

TEST(Hex, BadDigitKeepsBytesBeforeItAndLeavesTheRest) {
  std::array<std::uint8_t, 4> area{9, 9, 9, 9};
  EXPECT_EQ(hex_decode("0102zz04", area).error(), ErrorCode::InvalidCharacter);
  EXPECT_EQ(area, (std::array<std::uint8_t, 4>{1, 2, 9, 9}));
  ASSERT_TRUE(hex_decode("ff", area));
  EXPECT_EQ(area, (std::array<std::uint8_t, 4>{0xff, 2, 9, 9}));
}

TEST(Hex, EveryByteIsADigitOnlyIfItIsOne) {
  for (int c = 0; c < 256; ++c) {
    const bool digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    for (int side = 0; side < 2; ++side) {
      char text[2] = {'7', '7'};
      text[side] = static_cast<char>(c);
      std::uint8_t out[1] = {0};
      const Status st = hex_decode({text, 2}, out);
      EXPECT_EQ(st.has_value(), digit) << c;
      if (digit) {
        const int v = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        EXPECT_EQ(out[0], side == 0 ? (v << 4 | 7) : (7 << 4 | v)) << c;
      }
    }
  }
}

TEST(Hash, PairIsDoubleSha256OfTheConcatenation) {
  Hash32 left{}, right{};
  for (std::size_t i = 0; i < 32; ++i) {
    left[i] = static_cast<std::uint8_t>(i);
    right[i] = static_cast<std::uint8_t>(32 + i);
  }
  // SHA-256d of 64 zero bytes and of the bytes 0..63, from an outside implementation.
  EXPECT_EQ(test::hex_of(hash_pair(Hash32{}, Hash32{})),
            "e2f61c3f71d1defd3fa999dfa36953755c690689799962b48bebd836974e8cf9");
  EXPECT_EQ(test::hex_of(hash_pair(left, right)),
            "01c9f464780a1b6af4eb400fe2f2896cfb2169f5a65701439e4c2c4e213903ef");
  EXPECT_NE(hash_pair(left, right), hash_pair(right, left));

  std::uint8_t joined[64];
  std::copy(left.begin(), left.end(), joined);
  std::copy(right.begin(), right.end(), joined + 32);
  EXPECT_EQ(double_sha256(joined), hash_pair(left, right));
}

TEST(Hash, ReverseSwapsByteOrder) {
  Hash32 h = test::filler(7);
  const Hash32 original = h;
  reverse_hash(h);
  EXPECT_EQ(h[0], original[31]);
  EXPECT_EQ(h[31], original[0]);
  EXPECT_NE(h, original);
  reverse_hash(h);
  EXPECT_EQ(h, original);
}

}  // namespace
}  // namespace skerrow
