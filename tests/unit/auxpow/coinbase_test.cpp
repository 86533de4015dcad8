// The coinbase merkle branch of a parent template and the txid of a submitted coinbase.
#include <gtest/gtest.h>

#include <memory_resource>

#include "auxpow/coinbase.h"
#include "auxpow/tx.h"
#include "json/reader.h"
#include "support.h"

namespace skerrow {
namespace {

// For c transactions the branch must lead from any coinbase txid to the block's merkle root,
// computed plainly over the coinbase followed by the transactions.
TEST(CoinbaseBranch, LeadsFromTheCoinbaseToThePlainMerkleRoot) {
  for (std::size_t c : {0u, 1u, 2u, 3u, 1000u}) {
    std::vector<Hash32> txids;
    for (std::size_t i = 0; i < c; ++i) txids.push_back(test::filler(static_cast<std::uint32_t>(i + 1)));
    std::vector<Hash32> level{Hash32{}};
    level.insert(level.end(), txids.begin(), txids.end());
    const CoinbaseBranch branch = fold_coinbase_branch(level).value();

    std::size_t depth = 0;
    while ((std::size_t{1} << depth) < c + 1) ++depth;
    EXPECT_EQ(branch.length, depth) << c;

    const Hash32 coinbase = test::filler(4242);
    std::vector<Hash32> block{coinbase};
    block.insert(block.end(), txids.begin(), txids.end());
    EXPECT_EQ(root_from_coinbase(coinbase, {branch.hashes.data(), branch.length}),
              test::plain_merkle_root(block))
        << c;
  }
}

TEST(CoinbaseBranch, TwoAndThreeTransactions) {
  const Hash32 a = test::filler(1), b = test::filler(2), c = test::filler(3);
  std::vector<Hash32> three{Hash32{}, a, b, c};
  CoinbaseBranch br = fold_coinbase_branch(three).value();
  ASSERT_EQ(br.length, 2u);
  EXPECT_EQ(br.hashes[0], a);
  EXPECT_EQ(br.hashes[1], hash_pair(b, c));

  std::vector<Hash32> two{Hash32{}, a, b};
  br = fold_coinbase_branch(two).value();
  ASSERT_EQ(br.length, 2u);
  EXPECT_EQ(br.hashes[0], a);
  EXPECT_EQ(br.hashes[1], hash_pair(b, b));
}

// 2^20 - 1 transactions fill the 20 entries; one more cannot be proven and is refused
// rather than cut short.
TEST(CoinbaseBranch, TwentyEntriesAtMost) {
  std::vector<Hash32> level(kMaxBranchTransactions + 2);
  EXPECT_EQ(fold_coinbase_branch(level).error(), ErrorCode::Overflow);
  level.pop_back();
  for (std::size_t i = 0; i < level.size(); ++i) level[i][i % 32] = static_cast<std::uint8_t>(i);
  const Hash32 sibling = level[1];
  const auto branch = fold_coinbase_branch(level);
  ASSERT_TRUE(branch);
  EXPECT_EQ(branch->length, kMaxCoinbaseBranch);
  EXPECT_EQ(branch->hashes[0], sibling);
}

// Successive templates through one memo: each gets the branch of its own transactions, a
// repeated one as well as one that differs from the last in a single byte or leaf.
TEST(CoinbaseBranch, MemoGivesEachLevelItsOwnBranch) {
  std::vector<Hash32> base{Hash32{}};
  for (std::uint32_t i = 1; i <= 9; ++i) base.push_back(test::filler(i));
  std::vector<Hash32> last_byte = base;
  last_byte.back()[31] ^= 1;
  std::vector<Hash32> one_fewer(base.begin(), base.end() - 1);
  const std::vector<Hash32> too_many(kMaxBranchTransactions + 2);
  BranchMemo memo;
  const std::vector<const std::vector<Hash32>*> calls{&base, &base, &last_byte, &one_fewer,
                                                      &too_many, &base, &last_byte};
  for (std::size_t call = 0; call < calls.size(); ++call) {
    std::vector<Hash32> fresh = *calls[call];
    std::vector<Hash32> through_memo = *calls[call];
    const auto expected = fold_coinbase_branch(fresh);
    const auto got = memo.fold(through_memo);
    ASSERT_EQ(got.has_value(), expected.has_value()) << call;
    if (!expected) {
      EXPECT_EQ(got.error(), expected.error());
      continue;
    }
    ASSERT_EQ(got->length, expected->length);
    EXPECT_EQ(got->hashes, expected->hashes) << call;
  }
}

TEST(CoinbaseBranch, ReadsUsableTxidsInInternalOrderAndSkipsTheRest) {
  const std::string good1(64, 'a');
  const std::string good2 = "00" + std::string(62, 'F');
  const std::string reply = R"({"result":{"transactions":[{"txid":")" + good1 + R"("},{"txid":"zz)" +
                            std::string(62, '0') + R"("},5,{"hash":"x"},{"txid":")" + std::string(63, '0') +
                            R"("},{"txid":")" + good2 + R"("},{"txid":7}]},"error":null})";
  auto doc = parse_json(reply);
  ASSERT_TRUE(doc);
  auto level = template_tree_level(doc->root(), std::pmr::get_default_resource());
  ASSERT_TRUE(level && *level);
  ASSERT_EQ((*level)->size(), 3u);
  EXPECT_EQ((**level)[0], Hash32{});
  Hash32 first = test::hash_of(good1), second = test::hash_of(good2);
  reverse_hash(first);
  reverse_hash(second);
  EXPECT_EQ((**level)[1], first);
  EXPECT_EQ((**level)[2], second);

  for (std::string_view none : {R"({"result":{"transactions":[]}})", R"({"result":{}})", R"({"result":[]})",
                                R"([1])", R"({"result":{"transactions":{}}})"}) {
    auto d = parse_json(none);
    ASSERT_TRUE(d) << none;
    auto l = template_tree_level(d->root(), std::pmr::get_default_resource());
    ASSERT_TRUE(l);
    EXPECT_FALSE(l->has_value()) << none;
  }
}

std::vector<std::uint8_t> bytes_of(const std::string& hex) {
  std::vector<std::uint8_t> out(hex.size() / 2);
  if (!hex_decode(hex, out)) std::abort();
  return out;
}

// A one-input, two-output coinbase, written with and without its witness.
struct Coinbase {
  std::string version = "01000000";
  std::string inputs = "01" + std::string(64, '0') + "ffffffff" + "0d" + "03a08601" + "fabe6d6d" + "0102030405" +
                       "ffffffff";
  std::string outputs = "02" + std::string("00f2052a01000000") + "0151" + "0000000000000000" + "026a24";
  std::string witness = "01" + std::string("20") + std::string(64, '0');
  std::string locktime = "00000000";

  std::string legacy() const { return version + inputs + outputs + locktime; }
  std::string segwit() const { return version + "0001" + inputs + outputs + witness + locktime; }
};

TEST(TransactionTxid, StripsWitnessDataBeforeHashing) {
  const Coinbase cb;
  const auto legacy = bytes_of(cb.legacy());
  const auto segwit = bytes_of(cb.segwit());
  auto* memory = std::pmr::get_default_resource();
  const auto a = transaction_txid(legacy, memory);
  const auto b = transaction_txid(segwit, memory);
  ASSERT_TRUE(a);
  ASSERT_TRUE(b);
  EXPECT_EQ(*a, double_sha256(legacy));
  EXPECT_EQ(*b, *a);
  EXPECT_NE(*b, double_sha256(segwit));
}

TEST(TransactionTxid, RefusesMalformedTransactions) {
  const Coinbase cb;
  auto* memory = std::pmr::get_default_resource();
  const auto segwit = bytes_of(cb.segwit());
  for (std::size_t cut : {std::size_t{3}, std::size_t{5}, std::size_t{40}, segwit.size() - 1}) {
    EXPECT_EQ(transaction_txid(std::span(segwit).first(cut), memory).error(), ErrorCode::InvalidLength) << cut;
  }
  auto trailing = bytes_of(cb.legacy() + "00");
  EXPECT_EQ(transaction_txid(trailing, memory).error(), ErrorCode::InvalidLength);
  auto odd_flag = bytes_of(cb.version + "0002" + cb.inputs + cb.outputs + cb.witness + cb.locktime);
  EXPECT_EQ(transaction_txid(odd_flag, memory).error(), ErrorCode::Unsupported);
  // A script length that runs past the end must not be followed.
  auto long_script = bytes_of(cb.version + "01" + std::string(64, '0') + "ffffffff" + "fdffff");
  EXPECT_EQ(transaction_txid(long_script, memory).error(), ErrorCode::InvalidLength);
}

}  // namespace
}  // namespace skerrow
