// Snapshots for the snapshot store tests (memory here, SQLite in tests/unit/state).
#pragma once

#include <vector>

#include "auxpow/coinbase.h"
#include "auxpow/snapshot_store.h"
#include "support.h"

namespace skerrow::test {

// A tree part of `chains` chains, one per slot, with a root and hashes of its own per seed.
inline AuxTreePart tree_part(std::uint32_t seed, std::size_t chains = 2) {
  AuxTreePart tree{.root = filler(seed), .tree_size = 4, .chains = {}};
  for (std::size_t i = 0; i < chains; ++i) {
    tree.chains.push_back({.slot = static_cast<std::uint32_t>(i), .in_tree = i % 2 == 0,
                           .hash = filler(seed * 100 + static_cast<std::uint32_t>(i) + 1)});
  }
  return tree;
}

inline std::vector<Hash32> branch(std::uint32_t seed, std::size_t length = 12) {
  std::vector<Hash32> b;
  for (std::size_t i = 0; i < length; ++i) b.push_back(filler(0x10000 + seed * 32 + static_cast<std::uint32_t>(i)));
  return b;
}

// The header merkle root a coinbase with `txid` reaches through `cb_branch`.
inline Hash32 header_root(const Hash32& txid, const std::vector<Hash32>& cb_branch) {
  return root_from_coinbase(txid, cb_branch);
}

// The snapshot as a proof sees it must be exactly what was put.
inline void expect_snapshot(const AuxSnapshot& snap, const AuxTreePart& tree, const std::vector<Hash32>& cb_branch) {
  EXPECT_TRUE(snap.used);
  EXPECT_EQ(snap.root, tree.root);
  EXPECT_EQ(snap.tree_size, tree.tree_size);
  ASSERT_EQ(snap.chain_count, tree.chains.size());
  for (std::size_t i = 0; i < tree.chains.size(); ++i) {
    EXPECT_EQ(snap.slots[i], tree.chains[i].slot) << i;
    EXPECT_EQ(snap.in_tree[i], tree.chains[i].in_tree) << i;
    EXPECT_EQ(snap.hashes[i], tree.chains[i].hash) << i;
  }
  ASSERT_EQ(snap.cb_branch_len, cb_branch.size());
  EXPECT_TRUE(std::equal(cb_branch.begin(), cb_branch.end(), snap.cb_branch.begin()));
}

}  // namespace skerrow::test
