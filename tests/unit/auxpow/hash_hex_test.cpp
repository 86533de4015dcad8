// Bytes <-> hex text and the SHA-256d merkle step.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <random>

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

// Every byte value at every place of a 64-digit text: the hash decoder takes exactly the texts
// the general one takes, to the same bytes.
TEST(Hex, HashDecoderTakesWhatTheGeneralOneTakes) {
  std::mt19937 rng(64);
  const std::string digits = "0123456789abcdefABCDEF";
  std::size_t taken = 0;
  for (std::size_t place = 0; place < 64; ++place) {
    std::string text(64, '0');
    for (char& c : text) c = digits[rng() % digits.size()];
    for (int byte = 0; byte < 256; ++byte) {
      text[place] = static_cast<char>(byte);
      Hash32 fast{}, slow{};
      const bool ok = hex_decode_hash(text, fast);
      ASSERT_EQ(ok, hex_decode(text, slow).has_value()) << place << " " << byte;
      if (ok) {
        ASSERT_EQ(fast, slow) << text;
        ++taken;
      }
    }
  }
  EXPECT_EQ(taken, 64u * 22u);
  Hash32 out{};
  for (std::size_t size : {0u, 2u, 62u, 63u, 65u, 66u, 128u}) EXPECT_FALSE(hex_decode_hash(std::string(size, 'a'), out));
}

// Each engine this CPU has, on random pairs, one at a time and by the level (odd and even
// counts, in place or not), against SHA-256 applied twice by libcrypto's one-shot function.
TEST(Hash, EveryEngineGivesLibcryptosDigests) {
  std::vector<Sha256Engine> engines{Sha256Engine::libcrypto};
  if (sha256_engine() == Sha256Engine::sha_extensions) engines.push_back(Sha256Engine::sha_extensions);
  RecordProperty("engines", static_cast<int>(engines.size()));
  std::mt19937 rng(256);
  for (Sha256Engine engine : engines) {
    for (std::size_t count = 0; count < 40; ++count) {
      std::vector<Hash32> pairs(2 * count);
      for (Hash32& h : pairs) {
        for (std::uint8_t& b : h) b = static_cast<std::uint8_t>(rng());
      }
      std::vector<Hash32> want(count);
      for (std::size_t j = 0; j < count; ++j) {
        std::uint8_t first[32];
        SHA256(pairs[2 * j].data(), 64, first);
        SHA256(first, 32, want[j].data());
      }
      std::vector<Hash32> out(count);
      hash_pairs(pairs, out, engine);
      EXPECT_EQ(out, want) << static_cast<int>(engine) << " " << count;
      hash_pairs(pairs, std::span<Hash32>(pairs.data(), count), engine);
      EXPECT_EQ(std::vector<Hash32>(pairs.begin(), pairs.begin() + static_cast<std::ptrdiff_t>(count)), want);
    }
  }
  Hash32 left = test::filler(1), right = test::filler(2);
  std::uint8_t joined[64], first[32];
  std::copy(left.begin(), left.end(), joined);
  std::copy(right.begin(), right.end(), joined + 32);
  Hash32 want;
  SHA256(joined, 64, first);
  SHA256(first, 32, want.data());
  EXPECT_EQ(hash_pair(left, right), want);
}

TEST(Hash, ReverseSwapsByteOrder) {
  Hash32 h = test::filler(7);
  const Hash32 original = h;
  reverse_hash(h);
  Hash32 want = original;
  std::reverse(want.begin(), want.end());
  EXPECT_EQ(h, want);  // every byte, the middle of the words too
  EXPECT_NE(h, original);
  reverse_hash(h);
  EXPECT_EQ(h, original);
}

}  // namespace
}  // namespace skerrow
