// Slots, the aux merkle root, aux branches and the snapshot ring.
#include <gtest/gtest.h>

#include "auxpow/snapshot.h"
#include "auxpow/tree.h"
#include "support.h"

namespace skerrow {
namespace {

void add_chain(AuxEngine& engine, std::string_view name, std::uint32_t chainid, const Hash32& hash,
               bool valid = true) {
  AuxChainState& s = engine.states.emplace_back();
  s.chain_id = name;
  s.templ.chainid = chainid;
  s.templ.hash = hash;
  s.templ.valid = valid;
}

TEST(AuxSlot, MatchesTheMergedMiningFormula) {
  EXPECT_EQ(aux_slot(0, 1, 2), 1u);
  EXPECT_EQ(aux_slot(0, 1, 4), 3u);
  EXPECT_EQ(aux_slot(0, 1, 32), 11u);
  for (std::uint32_t size : {2u, 4u, 8u}) {
    EXPECT_EQ(aux_slot(0, 2, size), 0u) << size;
    EXPECT_EQ(aux_slot(0, 98, size), 0u) << size;
  }
  EXPECT_EQ(aux_slot(0, 12345, 1), 0u);
  // Values from an outside computation; the multiplications must wrap at 32 bits.
  EXPECT_EQ(aux_slot(0, 0xffffffffu, 32), 17u);
  EXPECT_EQ(aux_slot(7, 0xffffffffu, 1u << 31), 1686634736u);
}

TEST(BuildAuxTree, OneChainRootIsItsHash) {
  AuxEngine engine;
  const Hash32 h = test::filler(1);
  add_chain(engine, "a", 77, h);
  engine.tree.tree_size = 1;
  build_aux_tree(engine);
  EXPECT_EQ(engine.states[0].slot, 0u);
  EXPECT_EQ(engine.tree.root, h);
}

TEST(BuildAuxTree, NoValidChainHashesZeroLeaves) {
  AuxEngine engine;
  add_chain(engine, "a", 1, test::filler(1), false);
  add_chain(engine, "b", 2, test::filler(2), false);
  engine.tree.tree_size = 2;
  build_aux_tree(engine);
  Hash32 expected = hash_pair(Hash32{}, Hash32{});
  reverse_hash(expected);
  EXPECT_EQ(engine.tree.root, expected);
}

TEST(BuildAuxTree, RootOverSlotsInInternalOrderAndLaterChainWinsASharedSlot) {
  AuxEngine engine;
  // Ids 1 and 3 share slot 1 in a tree of 2; id 2 sits in slot 0.
  add_chain(engine, "a", 2, test::filler(10));
  add_chain(engine, "b", 1, test::filler(11));
  engine.tree.tree_size = 2;
  build_aux_tree(engine);
  ASSERT_EQ(engine.states[0].slot, 0u);
  ASSERT_EQ(engine.states[1].slot, 1u);
  auto internal = [](Hash32 h) { reverse_hash(h); return h; };
  Hash32 expected = hash_pair(internal(test::filler(10)), internal(test::filler(11)));
  reverse_hash(expected);
  EXPECT_EQ(engine.tree.root, expected);

  add_chain(engine, "c", 4, test::filler(12));
  engine.tree.tree_size = 4;
  build_aux_tree(engine);
  std::vector<Hash32> leaves(4);
  for (const AuxChainState& s : engine.states) leaves[s.slot] = internal(s.templ.hash);
  Hash32 four = test::plain_merkle_root(leaves);
  reverse_hash(four);
  EXPECT_EQ(engine.tree.root, four);

  AuxEngine clash;
  add_chain(clash, "x", 2, test::filler(20));
  add_chain(clash, "y", 98, test::filler(21));
  clash.tree.tree_size = 2;
  build_aux_tree(clash);
  Hash32 only_y = hash_pair(internal(test::filler(21)), Hash32{});
  reverse_hash(only_y);
  EXPECT_EQ(clash.tree.root, only_y);
}

// Every slot's branch, walked from its leaf by the slot's bits, must reach the root of an
// independently computed tree, and its first entry must be the leaf's neighbour.
TEST(AuxBranch, LeadsFromEverySlotToTheRoot) {
  for (std::uint32_t size : {1u, 2u, 4u, 32u}) {
    AuxSnapshot snap;
    snap.tree_size = size;
    std::vector<Hash32> internal(size);
    for (std::uint32_t i = 0; i < size; ++i) {
      snap.leaves[i] = i % 3 == 2 ? Hash32{} : test::filler(100 + i);
      internal[i] = snap.leaves[i];
      reverse_hash(internal[i]);
    }
    const Hash32 root = test::plain_merkle_root(internal);
    for (std::uint32_t slot = 0; slot < size; ++slot) {
      const AuxBranch branch = aux_branch(snap, slot);
      ASSERT_EQ(1u << branch.length, size) << size;
      if (size > 1) EXPECT_EQ(branch.hashes[0], internal[slot ^ 1]);
      EXPECT_EQ(test::walk_branch(internal[slot], slot, {branch.hashes.data(), branch.length}), root)
          << "size " << size << " slot " << slot;
    }
  }
}

TEST(AuxBranch, SizeFourSlotTwo) {
  AuxSnapshot snap;
  snap.tree_size = 4;
  std::vector<Hash32> in(4);
  for (int i = 0; i < 4; ++i) {
    snap.leaves[i] = test::filler(i);
    in[i] = snap.leaves[i];
    reverse_hash(in[i]);
  }
  const AuxBranch b = aux_branch(snap, 2);
  ASSERT_EQ(b.length, 2u);
  EXPECT_EQ(b.hashes[0], in[3]);
  EXPECT_EQ(b.hashes[1], hash_pair(in[0], in[1]));
}

TEST(Snapshots, RingKeepsTheEightNewest) {
  AuxEngine engine;
  add_chain(engine, "a", 1, Hash32{});
  engine.tree.tree_size = 1;
  for (std::uint32_t i = 0; i < 9; ++i) {
    engine.states[0].templ.hash = test::filler(i);
    build_aux_tree(engine);
    save_snapshot(engine, CoinbaseBranch{});
  }
  EXPECT_EQ(engine.next_snapshot, 1u);
  EXPECT_EQ(find_snapshot(engine, test::filler(0), std::nullopt, Hash32{}).snapshot, nullptr);
  for (std::uint32_t i = 1; i < 9; ++i) {
    const SnapshotMatch m = find_snapshot(engine, test::filler(i), std::nullopt, Hash32{});
    ASSERT_NE(m.snapshot, nullptr) << i;
    EXPECT_EQ(m.snapshot->leaves[0], test::filler(i));
    EXPECT_FALSE(m.branch_matches);
  }
}

TEST(Snapshots, ChoosesTheSnapshotWhoseCoinbaseBranchMatchesTheHeader) {
  AuxEngine engine;
  add_chain(engine, "a", 1, test::filler(5));
  engine.tree.tree_size = 1;
  build_aux_tree(engine);
  // Same aux root, three different parent templates.
  const Hash32 coinbase = test::filler(900);
  Hash32 roots[3];
  for (std::uint32_t k = 0; k < 3; ++k) {
    CoinbaseBranch b;
    b.length = 1 + k;
    for (std::size_t i = 0; i < b.length; ++i) b.hashes[i] = test::filler(1000 * (k + 1) + i);
    roots[k] = root_from_coinbase(coinbase, {b.hashes.data(), b.length});
    save_snapshot(engine, b);
  }
  save_snapshot(engine, CoinbaseBranch{});  // newest, matches nothing
  for (std::uint32_t k = 0; k < 3; ++k) {
    const SnapshotMatch m = find_snapshot(engine, engine.tree.root, coinbase, roots[k]);
    ASSERT_TRUE(m.branch_matches);
    EXPECT_EQ(m.snapshot, &engine.snapshots[k]);
  }
  const SnapshotMatch none = find_snapshot(engine, engine.tree.root, coinbase, test::filler(1));
  EXPECT_FALSE(none.branch_matches);
  EXPECT_EQ(none.snapshot, &engine.snapshots[3]);

  // The newest of two matching snapshots wins, also across the ring's wrap.
  for (int i = 0; i < 6; ++i) save_snapshot(engine, CoinbaseBranch{});
  EXPECT_EQ(engine.next_snapshot, 2u);
  const SnapshotMatch newest = find_snapshot(engine, engine.tree.root, coinbase, coinbase);
  EXPECT_TRUE(newest.branch_matches);
  EXPECT_EQ(newest.snapshot, &engine.snapshots[1]);
}

}  // namespace
}  // namespace skerrow
