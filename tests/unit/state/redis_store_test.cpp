// What the Redis store writes must read back as the same snapshot on another proxy, and what
// another program left under the prefix must never be taken for one.
#include "state/redis_store.h"

#include <gtest/gtest.h>

#include <string>

#include "auxpow/store_support.h"

namespace skerrow {
namespace {

using test::branch;
using test::tree_part;

TEST(RedisEncoding, TreePartsAndMembersReadBackAsWritten) {
  struct Case {
    std::size_t chains;
    std::size_t branch_length;
  };
  for (const Case c : {Case{0, 0}, Case{1, 1}, Case{2, 12}, Case{kMaxAuxChains, kMaxCoinbaseBranch}}) {
    AuxTreePart tree = tree_part(7, c.chains);
    tree.tree_size = 0x01020304;  // every byte of the little-endian fields matters
    if (!tree.chains.empty()) tree.chains.back().slot = 0xfffffffe;
    const std::vector<Hash32> cb_branch = branch(9, c.branch_length);

    auto read_tree = decode_tree_part(encode_tree_part(tree));
    ASSERT_TRUE(read_tree) << c.chains;
    EXPECT_EQ(*read_tree, tree) << c.chains;
    const std::uint64_t key = tree_part_key(tree) ^ 0x8000000000000001u;  // both ends of the word
    auto member = decode_snapshot_member(encode_snapshot_member(key, cb_branch));
    ASSERT_TRUE(member) << c.branch_length;
    EXPECT_EQ(member->tree_key, key);
    test::expect_snapshot(make_snapshot(*read_tree, member->cb_branch), tree, cb_branch);
  }
}

TEST(RedisEncoding, RefusesWhatItDidNotWrite) {
  const std::string tree = encode_tree_part(tree_part(3, 2));
  std::string too_many = encode_tree_part(tree_part(3, 0));
  too_many[36] = static_cast<char>(kMaxAuxChains + 1);
  std::string in_tree_two = tree;
  in_tree_two[40 + 4] = 2;
  for (const std::string& bytes : {std::string(), tree.substr(0, 39), tree.substr(0, tree.size() - 1), tree + "x",
                                   too_many, in_tree_two}) {
    auto read = decode_tree_part(bytes);
    ASSERT_FALSE(read) << bytes.size();
    EXPECT_EQ(read.error(), ErrorCode::CorruptedData);
  }
  const std::string member = encode_snapshot_member(1, branch(1, 2));
  for (const std::string& bytes : {std::string("1234567"), member.substr(0, member.size() - 1),
                                   encode_snapshot_member(1, {}) + std::string(32 * (kMaxCoinbaseBranch + 1), 'h')}) {
    auto read = decode_snapshot_member(bytes);
    ASSERT_FALSE(read) << bytes.size();
    EXPECT_EQ(read.error(), ErrorCode::CorruptedData);
  }
}

}  // namespace
}  // namespace skerrow
