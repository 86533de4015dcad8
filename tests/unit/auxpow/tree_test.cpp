// Slots, the aux merkle root, aux branches and the snapshots that keep a tree's size and slots.
#include <gtest/gtest.h>

#include "auxpow/snapshot.h"
#include "auxpow/snapshot_store.h"
#include "auxpow/work.h"
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

Hash32 internal(Hash32 h) {
  reverse_hash(h);
  return h;
}

// The root computed over every leaf of the tree, zero where no valid chain sits.
// A snapshot commits to the engine's state as a template would take it.
const AuxWork& work_of(const AuxEngine& engine) {
  static AuxWork work;
  take_aux_work(engine, work);
  return work;
}

Hash32 plain_root_of(const AuxEngine& engine) {
  std::vector<Hash32> leaves(engine.tree.tree_size);
  for (const AuxChainState& s : engine.states) {
    if (s.templ.valid) leaves.at(s.slot) = internal(s.templ.hash);
  }
  Hash32 root = test::plain_merkle_root(leaves);
  reverse_hash(root);
  return root;
}

TEST(BuildAuxTree, OneChainRootIsItsHash) {
  AuxEngine engine;
  const Hash32 h = test::filler(1);
  add_chain(engine, "a", 77, h);
  build_aux_tree(engine);
  EXPECT_EQ(engine.tree.tree_size, 1u);
  EXPECT_EQ(engine.states[0].slot, 0u);
  EXPECT_EQ(engine.tree.root, h);
}

TEST(BuildAuxTree, NoValidChainHashesZeroLeaves) {
  AuxEngine engine;
  add_chain(engine, "a", 1, test::filler(1), false);
  add_chain(engine, "b", 1, test::filler(2), false);  // invalid chains never force growth
  engine.tree.base_size = 2;
  build_aux_tree(engine);
  EXPECT_EQ(engine.tree.tree_size, 2u);
  Hash32 expected = hash_pair(Hash32{}, Hash32{});
  reverse_hash(expected);
  EXPECT_EQ(engine.tree.root, expected);
}

TEST(BuildAuxTree, DistinctSlotsKeepTheBaseSize) {
  AuxEngine engine;
  add_chain(engine, "a", 2, test::filler(10));
  add_chain(engine, "b", 1, test::filler(11));
  add_chain(engine, "c", 4, test::filler(12), false);
  add_chain(engine, "d", 4, test::filler(13));
  engine.tree.base_size = 4;
  build_aux_tree(engine);
  EXPECT_EQ(engine.tree.tree_size, 4u);
  EXPECT_EQ(engine.states[0].slot, 0u);
  EXPECT_EQ(engine.states[1].slot, 3u);
  EXPECT_EQ(engine.states[3].slot, 2u);
  EXPECT_EQ(engine.tree.root, plain_root_of(engine));
}

TEST(BuildAuxTree, GrowsUntilEveryValidChainHasItsOwnSlot) {
  struct Case {
    std::uint32_t a, b, size, slot_a, slot_b;
  };
  for (const Case& c : {Case{1, 3, 4, 3, 1}, Case{2, 98, 64, 24, 56}}) {
    AuxEngine engine;
    add_chain(engine, "a", c.a, test::filler(c.a));
    add_chain(engine, "b", c.b, test::filler(c.b));
    engine.tree.base_size = 2;
    build_aux_tree(engine);
    EXPECT_EQ(engine.tree.tree_size, c.size);
    EXPECT_EQ(engine.states[0].slot, c.slot_a);
    EXPECT_EQ(engine.states[1].slot, c.slot_b);
    EXPECT_TRUE(engine.states[0].templ.valid && engine.states[1].templ.valid);
    EXPECT_EQ(engine.tree.root, plain_root_of(engine));

    // The next build starts from the base size again.
    engine.states[1].templ.valid = false;
    build_aux_tree(engine);
    EXPECT_EQ(engine.tree.tree_size, 2u);
  }
}

TEST(BuildAuxTree, ChainsCollidingInTheLargestTreeAreLeftOut) {
  AuxEngine engine;
  add_chain(engine, "x", 5, test::filler(1));
  add_chain(engine, "keep", 1, test::filler(2));
  add_chain(engine, "y", 5 + 1024, test::filler(3));
  engine.tree.base_size = 4;
  test::CapturedStderr cap;
  build_aux_tree(engine);
  cap.restore();
  EXPECT_FALSE(engine.states[0].templ.valid);
  EXPECT_TRUE(engine.states[1].templ.valid);
  EXPECT_FALSE(engine.states[2].templ.valid);
  EXPECT_EQ(engine.tree.tree_size, 4u);
  EXPECT_EQ(engine.tree.root, plain_root_of(engine));
  EXPECT_EQ(cap.text(),
            "warning(auxpow): aux chain x (chain id 5) collides with y (chain id 1029) in every tree up to 1024 "
            "leaves, left out of this round\n"
            "warning(auxpow): aux chain y (chain id 1029) collides with x (chain id 5) in every tree up to 1024 "
            "leaves, left out of this round\n");
}

AuxSnapshot snapshot_of(std::uint32_t size, const std::vector<std::uint32_t>& slots) {
  AuxSnapshot snap;
  snap.tree_size = size;
  snap.chain_count = slots.size();
  for (std::size_t i = 0; i < slots.size(); ++i) {
    snap.slots[i] = slots[i];
    snap.in_tree[i] = true;
    snap.hashes[i] = test::filler(static_cast<std::uint32_t>(100 + i));
  }
  return snap;
}

// Every slot's branch, walked from its leaf by the slot's bits, must reach the root of an
// independently computed full tree, and its first entry must be the leaf's neighbour.
TEST(AuxBranch, LeadsFromEverySlotToTheRoot) {
  for (std::uint32_t size : {1u, 2u, 4u, 32u, 1024u}) {
    std::vector<std::uint32_t> slots;
    for (std::uint32_t s = 0; s < size && slots.size() < kMaxAuxChains; s += (size > 32 ? 37 : 1)) {
      if (s % 3 != 2 || size == 1) slots.push_back(s);
    }
    const AuxSnapshot snap = snapshot_of(size, slots);
    std::vector<Hash32> full(size);
    for (std::size_t i = 0; i < slots.size(); ++i) full[slots[i]] = internal(snap.hashes[i]);
    const Hash32 root = test::plain_merkle_root(full);

    std::vector<AuxLeaf> leaves;
    for (std::size_t i = 0; i < slots.size(); ++i) leaves.push_back({slots[i], snap.hashes[i]});
    EXPECT_EQ(internal(aux_root(leaves, size)), root) << size;

    for (std::uint32_t slot = 0; slot < size; ++slot) {
      const AuxBranch branch = aux_branch(snap, slot);
      ASSERT_EQ(1u << branch.length, size) << size;
      if (size > 1) {
        EXPECT_EQ(branch.hashes[0], full[slot ^ 1]);
      }
      EXPECT_EQ(test::walk_branch(full[slot], slot, {branch.hashes.data(), branch.length}), root)
          << "size " << size << " slot " << slot;
    }
  }
}

TEST(AuxBranch, SizeFourSlotTwo) {
  const AuxSnapshot snap = snapshot_of(4, {0, 1, 2, 3});
  std::vector<Hash32> in;
  for (std::size_t i = 0; i < 4; ++i) in.push_back(internal(snap.hashes[i]));
  const AuxBranch b = aux_branch(snap, 2);
  ASSERT_EQ(b.length, 2u);
  EXPECT_EQ(b.hashes[0], in[3]);
  EXPECT_EQ(b.hashes[1], hash_pair(in[0], in[1]));
}

TEST(AuxRoot, LaterLeafWinsASharedSlotAndOutOfRangeLeavesAreIgnored) {
  const std::vector<AuxLeaf> leaves{{1, test::filler(1)}, {1, test::filler(2)}, {2, test::filler(3)}};
  Hash32 expected = hash_pair(Hash32{}, internal(test::filler(2)));
  reverse_hash(expected);
  EXPECT_EQ(aux_root(leaves, 2), expected);
}

// What a template committed to is proven against later, whatever the tree became since.
TEST(Snapshots, KeepTheSizeAndSlotsTheirRootWasBuiltWith) {
  AuxEngine engine;
  engine.store = std::make_shared<MemorySnapshotStore>(600);
  add_chain(engine, "a", 1, test::filler(1));
  add_chain(engine, "b", 3, test::filler(2), false);
  engine.tree.base_size = 2;
  build_aux_tree(engine);
  ASSERT_TRUE(save_snapshot(engine, work_of(engine), CoinbaseBranch{}, 1000));
  const Hash32 small_root = engine.tree.root;

  engine.states[1].templ.valid = true;  // now ids 1 and 3 need a tree of 4
  build_aux_tree(engine);
  ASSERT_TRUE(save_snapshot(engine, work_of(engine), CoinbaseBranch{}, 1001));
  ASSERT_EQ(engine.tree.tree_size, 4u);

  auto found = find_snapshot(engine, small_root, std::nullopt, Hash32{}, 1001);
  ASSERT_TRUE(found && *found);
  const AuxSnapshot& old = (*found)->snapshot;
  ASSERT_NE(engine.states[0].slot, old.slots[0]);
  EXPECT_EQ(old.tree_size, 2u);
  EXPECT_FALSE(old.in_tree[1]);
  const AuxBranch branch = aux_branch(old, old.slots[0]);
  ASSERT_EQ(branch.length, 1u);
  EXPECT_EQ(internal(test::walk_branch(internal(test::filler(1)), old.slots[0], {branch.hashes.data(), 1})),
            small_root);
}

}  // namespace
}  // namespace skerrow
