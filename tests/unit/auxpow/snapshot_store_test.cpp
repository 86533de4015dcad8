// The snapshot store in memory: retention, sharing, lookup order and the cap.
#include <gtest/gtest.h>

#include <thread>

#include "auxpow/snapshot_store.h"
#include "store_support.h"

namespace skerrow {
namespace {

using test::branch;
using test::tree_part;

// `now` 0: before anything could have expired.
std::optional<FoundSnapshot> find_newest(const SnapshotStore& store, const Hash32& root, StoreTime now = 0) {
  auto found = store.find(root, std::nullopt, Hash32{}, now);
  EXPECT_TRUE(found);
  return found ? *found : std::nullopt;
}

TEST(MemorySnapshotStore, KeepsEverySnapshotForTheRetentionWhateverTheirNumber) {
  MemorySnapshotStore store(60);
  for (std::uint32_t i = 0; i < 500; ++i) ASSERT_TRUE(store.put(tree_part(i), branch(i), 1000));
  ASSERT_TRUE(store.put(tree_part(500), branch(500), 1030));
  EXPECT_EQ(store.count(), 501u);
  ASSERT_TRUE(store.prune(1060));  // exactly the retention old: still provable
  ASSERT_TRUE(find_newest(store, test::filler(0)));
  ASSERT_TRUE(store.prune(1061));
  EXPECT_EQ(store.count(), 1u);
  EXPECT_FALSE(find_newest(store, test::filler(0)));
  EXPECT_FALSE(find_newest(store, test::filler(499)));
  EXPECT_EQ(store.tree_part_count(), 1u);
  // Expired is not found even before anything prunes it.
  ASSERT_TRUE(store.put(tree_part(502), branch(502), 1070));
  EXPECT_TRUE(find_newest(store, test::filler(502), 1130));
  EXPECT_FALSE(find_newest(store, test::filler(502), 1131));
  EXPECT_FALSE(store.find(test::filler(502), test::filler(1), Hash32{}, 1131).value());
  // A put drops what has expired by its own time.
  ASSERT_TRUE(store.put(tree_part(501), branch(501), 1091));
  EXPECT_EQ(store.count(), 2u);
  EXPECT_FALSE(find_newest(store, test::filler(500)));
}

TEST(MemorySnapshotStore, SharesTreePartsAndStoresIdenticalSnapshotsOnce) {
  MemorySnapshotStore store(60);
  const AuxTreePart tree = tree_part(1);
  auto first = store.insert(tree, branch(1), 100);
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->new_tree_part);
  for (std::uint32_t b = 2; b <= 4; ++b) {
    auto effect = store.insert(tree, branch(b), 100 + b);
    ASSERT_TRUE(effect);
    EXPECT_FALSE(effect->new_tree_part);
    EXPECT_FALSE(effect->refreshed);
    EXPECT_EQ(effect->tree_key, first->tree_key);
  }
  EXPECT_EQ(store.count(), 4u);
  EXPECT_EQ(store.tree_part_count(), 1u);

  // The first snapshot again: stored once, now the newest, and its retention starts anew.
  auto again = store.insert(tree, branch(1), 150);
  ASSERT_TRUE(again);
  EXPECT_TRUE(again->refreshed);
  EXPECT_EQ(again->snapshot_key, first->snapshot_key);
  EXPECT_EQ(store.count(), 4u);
  auto newest = find_newest(store, tree.root);
  ASSERT_TRUE(newest);
  test::expect_snapshot(newest->snapshot, tree, branch(1));
  ASSERT_TRUE(store.prune(200));
  EXPECT_EQ(store.count(), 1u);
  ASSERT_TRUE(find_newest(store, tree.root));

  // Same root, other content (a chain outside the tree moved slot): a part of its own, and
  // the proof gets the slots of the snapshot it matched.
  AuxTreePart moved = tree;
  moved.chains[1].slot = 3;
  ASSERT_TRUE(store.put(moved, branch(9), 201));
  EXPECT_EQ(store.tree_part_count(), 2u);
  newest = find_newest(store, tree.root);
  ASSERT_TRUE(newest);
  EXPECT_EQ(newest->snapshot.slots[1], 3u);
  auto older = store.find(tree.root, test::filler(7), test::header_root(test::filler(7), branch(1)), 0);
  ASSERT_TRUE(older && *older);
  test::expect_snapshot((*older)->snapshot, tree, branch(1));
}

TEST(MemorySnapshotStore, FindsTheNewestWhoseCoinbaseBranchLeadsToTheHeader) {
  MemorySnapshotStore store(600);
  const AuxTreePart tree = tree_part(3);
  const Hash32 txid = test::filler(77);
  // More than a find tries under its lock, so that the oldest are tried after it.
  for (std::uint32_t b = 0; b < 40; ++b) ASSERT_TRUE(store.put(tree, branch(b, b % 20 + 1), 100));
  ASSERT_TRUE(store.put(tree_part(4), branch(9), 100));  // another root in between
  ASSERT_TRUE(store.put(tree, branch(1, 2), 101));  // the same branch again: now the newest

  struct Case {
    const char* what;
    std::optional<Hash32> txid;
    Hash32 header_root;
    std::vector<Hash32> expected;
    bool matches;
  };
  const Case cases[] = {
      {"oldest matches", txid, test::header_root(txid, branch(0, 1)), branch(0, 1), true},
      {"middle matches", txid, test::header_root(txid, branch(3, 4)), branch(3, 4), true},
      {"refreshed matches", txid, test::header_root(txid, branch(1, 2)), branch(1, 2), true},
      {"none matches: newest", txid, test::filler(5), branch(1, 2), false},
      {"txid unknown: newest", std::nullopt, test::header_root(txid, branch(0, 1)), branch(1, 2), false},
  };
  for (const Case& c : cases) {
    auto found = store.find(tree.root, c.txid, c.header_root, 0);
    ASSERT_TRUE(found && *found) << c.what;
    EXPECT_EQ((*found)->branch_matches, c.matches) << c.what;
    test::expect_snapshot((*found)->snapshot, tree, c.expected);
  }
  auto missing = store.find(test::filler(99), txid, Hash32{}, 0);
  ASSERT_TRUE(missing);
  EXPECT_FALSE(*missing);
}

TEST(MemorySnapshotStore, PastTheCapDropsTheOldestWithOneWarningAMinute) {
  MemorySnapshotStore store(600, 4);
  test::CapturedStderr captured;
  for (std::uint32_t i = 0; i < 6; ++i) ASSERT_TRUE(store.put(tree_part(i), branch(i), 100 + i));
  EXPECT_EQ(store.count(), 4u);
  EXPECT_FALSE(find_newest(store, test::filler(0)));
  EXPECT_FALSE(find_newest(store, test::filler(1)));
  EXPECT_TRUE(find_newest(store, test::filler(2)));
  ASSERT_TRUE(store.put(tree_part(6), branch(6), 164));  // 60 s after the first drop
  captured.restore();
  const std::string line = "warning(auxpow): snapshot store full (4), dropping the oldest\n";
  EXPECT_EQ(captured.text(), line + line);
  EXPECT_EQ(store.tree_part_count(), 4u);
}

// Meant for the ThreadSanitizer run: puts, finds and prunes from several threads at once.
TEST(MemorySnapshotStore, ServesThreadsAtOnce) {
  MemorySnapshotStore store(600, 1000);
  test::CapturedStderr captured;  // the cap's warning
  std::vector<std::thread> threads;
  for (std::uint32_t t = 0; t < 4; ++t) {
    threads.emplace_back([&store, t] {
      for (std::uint32_t i = 0; i < 300; ++i) {
        const std::uint32_t seed = t * 1000 + i % 5;  // 60 a root: finds go on past the lock
        ASSERT_TRUE(store.put(tree_part(seed), branch(i), 100 + i / 100));
        auto found = store.find(test::filler(seed), test::filler(1), Hash32{}, 0);
        ASSERT_TRUE(found && *found);
        if (i % 100 == 0) {
          ASSERT_TRUE(store.prune(100));
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  captured.restore();
  EXPECT_EQ(captured.text(), "warning(auxpow): snapshot store full (1000), dropping the oldest\n");
  EXPECT_EQ(store.count(), 1000u);
  EXPECT_EQ(store.tree_part_count(), 20u);
}

}  // namespace
}  // namespace skerrow
