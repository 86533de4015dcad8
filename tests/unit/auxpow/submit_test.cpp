// Reading a pool's submitauxblock and laying out the proof.
#include <gtest/gtest.h>

#include "auxpow/submit.h"
#include "support.h"

namespace skerrow {
namespace {

TEST(ExtractParamString, FirstStringAfterTheParamsKey) {
  EXPECT_EQ(extract_param_string(R"({"method":"submitauxblock","params":["a:b:c:d"]})"), "a:b:c:d");
  EXPECT_EQ(extract_param_string("{\"params\" :\t[ \"x\\\"y\"]}"), "x\\");  // no escape processing
  EXPECT_EQ(extract_param_string(R"({"params":[""]})"), "");
  EXPECT_EQ(extract_param_string(R"({"params":[5,"a"]})"), std::nullopt);
  EXPECT_EQ(extract_param_string(R"({"params":{"a":"b"}})"), std::nullopt);
  EXPECT_EQ(extract_param_string(R"({"params":["unterminated)"), std::nullopt);
  EXPECT_EQ(extract_param_string(R"({"params":[)"), std::nullopt);
  EXPECT_EQ(extract_param_string(R"({"method":"submitauxblock"})"), std::nullopt);
  EXPECT_EQ(extract_param_string("{\"params\":\n[\"a\"]}"), std::nullopt);  // line feeds are not skipped
}

TEST(SplitSubmitFields, FourFieldsAndTheRestIgnored) {
  auto f = split_submit_fields("chain:hash:cb:hdr");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->chain, "chain");
  EXPECT_EQ(f->aux_hash, "hash");
  EXPECT_EQ(f->coinbase_hex, "cb");
  EXPECT_EQ(f->header_hex, "hdr");
  f = split_submit_fields("a:b:c:d:e:f");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->header_hex, "d");
  f = split_submit_fields(":::");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->chain, "");
  EXPECT_EQ(f->header_hex, "");
  EXPECT_FALSE(split_submit_fields("a:b:c"));
  EXPECT_FALSE(split_submit_fields(""));
}

TEST(FindCommitment, NeedsRoomForRootSizeAndNonceAfterTheMagic) {
  const std::uint8_t magic[4] = {0xfa, 0xbe, 0x6d, 0x6d};
  auto with_magic_at = [&](std::size_t length, std::size_t at) {
    std::vector<std::uint8_t> cb(length, 0x11);
    std::copy(magic, magic + 4, cb.begin() + static_cast<std::ptrdiff_t>(at));
    return cb;
  };
  EXPECT_EQ(find_commitment(with_magic_at(100, 56)), 56u);  // starts 44 bytes before the end
  EXPECT_EQ(find_commitment(with_magic_at(100, 57)), std::nullopt);  // 43 bytes before the end
  EXPECT_EQ(find_commitment(with_magic_at(43, 0)), std::nullopt);
  EXPECT_EQ(find_commitment(with_magic_at(44, 0)), 0u);
  auto twice = with_magic_at(120, 50);
  std::copy(magic, magic + 4, twice.begin() + 10);
  EXPECT_EQ(find_commitment(twice), 10u);
  EXPECT_EQ(find_commitment(std::vector<std::uint8_t>(200, 0xfa)), std::nullopt);
}

TEST(WriteProof, LayoutOfEveryField) {
  const std::vector<std::uint8_t> coinbase{1, 2, 3, 4, 5};
  const std::vector<Hash32> cb{test::filler(1), test::filler(2), test::filler(3)};
  const std::vector<Hash32> aux{test::filler(4), test::filler(5)};
  std::array<std::uint8_t, 80> header;
  for (std::size_t i = 0; i < 80; ++i) header[i] = static_cast<std::uint8_t>(200 - i);

  const std::size_t size = proof_size(coinbase.size(), cb.size(), aux.size());
  ASSERT_EQ(size, 5u + 122 + 32 * 5);
  std::vector<std::uint8_t> proof(size, 0xee);
  write_proof(coinbase, cb, aux, 0x00030102, header, proof);

  std::size_t at = 0;
  auto take = [&](std::size_t n) {
    std::vector<std::uint8_t> v(proof.begin() + static_cast<std::ptrdiff_t>(at),
                                proof.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
    return v;
  };
  auto bytes = [](const Hash32& h) { return std::vector<std::uint8_t>(h.begin(), h.end()); };
  EXPECT_EQ(take(5), coinbase);
  EXPECT_EQ(take(32), std::vector<std::uint8_t>(32, 0));
  EXPECT_EQ(take(1), std::vector<std::uint8_t>{3});
  for (const Hash32& h : cb) EXPECT_EQ(take(32), bytes(h));
  EXPECT_EQ(take(4), (std::vector<std::uint8_t>{0, 0, 0, 0}));
  EXPECT_EQ(take(1), std::vector<std::uint8_t>{2});
  for (const Hash32& h : aux) EXPECT_EQ(take(32), bytes(h));
  EXPECT_EQ(take(4), (std::vector<std::uint8_t>{0x02, 0x01, 0x03, 0x00}));
  EXPECT_EQ(take(80), std::vector<std::uint8_t>(header.begin(), header.end()));
  EXPECT_EQ(at, size);

  // Tree of one: no aux entries and side mask 0.
  std::vector<std::uint8_t> small(proof_size(coinbase.size(), 0, 0));
  write_proof(coinbase, {}, {}, 0, header, small);
  EXPECT_EQ(small.size(), 5u + 122);
  EXPECT_EQ(small[5 + 32], 0);
  EXPECT_EQ(small[5 + 33 + 4], 0);
}

TEST(AuxHashText, LowersHexTextsAndEscapesOthers) {
  const struct {
    std::string_view in, out;
  } cases[] = {{"00ABcdEF", "00abcdef"}, {"XYZ-ABC", "XYZ-ABC"}, {"ab\\", "ab\\\\"}, {"a\"\n", "a\\\"\\n"}};
  for (const auto& c : cases) {
    std::pmr::string out("[");
    ASSERT_TRUE(append_aux_hash(c.in, out));
    EXPECT_EQ(std::string_view(out), "[" + std::string(c.out)) << c.in;
  }
}

}  // namespace
}  // namespace skerrow
