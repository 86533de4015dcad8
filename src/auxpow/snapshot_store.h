// The snapshot store: what every answered getblocktemplate committed to, kept for a retention
// time rather than a fixed number of answers, so that a submitauxblock for any work handed out
// within that time can be proved against exactly what the pool was given.
//
// A snapshot is two parts. The aux-tree part (root, tree size, each chain's slot, leaf flag and
// hash) changes only when the aux templates are refreshed, so many answers share it; the
// coinbase branch belongs to one parent template. Stores keep the tree part once per distinct
// content and the branch per snapshot; an identical snapshot put again is stored once and only
// counts as newer.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "auxpow/coinbase.h"
#include "auxpow/engine.h"
#include "error/error.h"
#include "platform/futex.h"
#include "platform/thread_annotations.h"

namespace skerrow {

// Seconds since the Unix epoch: wall-clock time, so that it keeps its meaning across restarts.
using StoreTime = std::int64_t;

// Enough for 27 templates a second over the default retention; past it the oldest go first.
inline constexpr std::size_t kDefaultSnapshotCap = 16384;

struct AuxTreeChain {
  std::uint32_t slot = 0;  // leaf index in the tree `root` was built with
  bool in_tree = false;    // the hash is a leaf of `root`
  Hash32 hash{};           // display order
  bool operator==(const AuxTreeChain&) const = default;
};

struct AuxTreePart {
  Hash32 root{};  // display order; the key a submission finds its snapshot by
  std::uint32_t tree_size = 0;
  std::vector<AuxTreeChain> chains;  // configuration order, at most kMaxAuxChains
  bool operator==(const AuxTreePart&) const = default;
};

// What one rewritten template committed to. The slots are kept per snapshot because the tree
// size (and with it every slot) may differ between refreshes, and a proof must carry the
// branch and side mask of the root the pool was given.
struct AuxSnapshot {
  bool used = false;
  Hash32 root{};  // display order; the key a submission finds the snapshot by
  std::uint32_t tree_size = 0;
  std::size_t chain_count = 0;
  std::array<std::uint32_t, kMaxAuxChains> slots{};  // per chain in configuration order
  std::array<bool, kMaxAuxChains> in_tree{};         // the chain's hash is a leaf of `root`
  std::array<Hash32, kMaxAuxChains> hashes{};        // display order
  std::size_t cb_branch_len = 0;
  std::array<Hash32, kMaxCoinbaseBranch> cb_branch{};  // internal order, deepest level first
};

// The two parts as the record a proof is built from (build_submit_proof, aux_branch). Chains
// past kMaxAuxChains and branch entries past kMaxCoinbaseBranch are not carried.
AuxSnapshot make_snapshot(const AuxTreePart& tree, std::span<const Hash32> cb_branch);

// A digest of the tree part's whole content, and of a snapshot's (tree digest and branch):
// equal contents give equal keys. Used to find identical snapshots and to name them on disk.
std::uint64_t tree_part_key(const AuxTreePart& tree);
std::uint64_t snapshot_key(std::uint64_t tree_key, std::span<const Hash32> cb_branch);

struct FoundSnapshot {
  AuxSnapshot snapshot;         // a copy: stays valid whatever the store does next
  bool branch_matches = false;  // its coinbase branch leads to the header's merkle root
};

struct SubmissionRecord {
  StoreTime time = 0;
  std::string_view chain;              // the chain_id the pool named
  std::string_view aux_hash;           // as the pool sent it
  std::string_view parent_block_hash;  // hex, display order: parent_block_hash_hex of the header
  std::size_t proof_size = 0;          // bytes of the proof sent; 0 when none was built
  // The aux daemon's "result" as it wrote it ("true" is an accepted block), its error object,
  // or "aux daemon RPC failed" when the call brought no answer.
  std::string_view result;
};

// The parent block's hash as block explorers write it: double SHA-256 of the 80-byte header,
// display order, lowercase hex.
std::string parent_block_hash_hex(std::span<const std::uint8_t, 80> header);

// Every implementation is safe to call from any thread.
class SnapshotStore {
 public:
  virtual ~SnapshotStore() = default;

  // Stores the snapshot of one answered template at `now`; call it before the answer is sent.
  // An identical snapshot already stored only moves to `now`. Errors: OutOfMemory, and those
  // of the implementation's storage.
  virtual Status put(const AuxTreePart& tree, std::span<const Hash32> cb_branch, StoreTime now) = 0;

  // Among the stored snapshots whose aux root is `root`, the newest whose coinbase branch
  // leads from `coinbase_txid` to `header_merkle_root`; when none does (or the txid is
  // unknown), the newest with that root, with branch_matches false. nullopt: no snapshot
  // carries the root. Snapshots put more than the retention before `now` are not found, whether
  // or not a put has pruned them yet.
  virtual Result<std::optional<FoundSnapshot>> find(const Hash32& root, const std::optional<Hash32>& coinbase_txid,
                                                    const Hash32& header_merkle_root, StoreTime now) const = 0;

  // Drops every snapshot put more than the retention before `now`.
  virtual Status prune(StoreTime now) = 0;

  virtual std::size_t count() const = 0;

  // A new retention (a reloaded "work_retention_s"), for every find and prune from now on:
  // snapshots put within it before are found again, older ones are dropped at the next prune.
  virtual void set_retention(std::uint64_t retention_s) = 0;

  // Keeps a record of one aux block submission that reached an aux daemon, where the store
  // has a place for it (the state file); a store in memory keeps none. Errors: those of the
  // implementation's storage.
  virtual Status record_submission(const SubmissionRecord&) { return {}; }
};

// What one put did, for a store that mirrors the memory store elsewhere.
struct PutEffect {
  std::uint64_t tree_key = 0;
  std::uint64_t snapshot_key = 0;
  bool new_tree_part = false;  // no stored snapshot had this tree part before
  bool refreshed = false;      // an identical snapshot was stored and only moved to `now`
};

// The snapshots in memory. Holds at most `cap` snapshots: a put past it drops the oldest and
// logs "warning(auxpow): snapshot store full (<cap>), dropping the oldest", at most once a
// minute of store time. Expiry goes in put order, so put times are expected not to go
// backwards (a snapshot put with an earlier time than the one before it lives on until every
// snapshot put before it has expired).
class MemorySnapshotStore final : public SnapshotStore {
 public:
  // REQUIRES: cap > 0.
  MemorySnapshotStore(std::uint64_t retention_s, std::size_t cap = kDefaultSnapshotCap);
  ~MemorySnapshotStore() override;
  MemorySnapshotStore(const MemorySnapshotStore&) = delete;
  MemorySnapshotStore& operator=(const MemorySnapshotStore&) = delete;

  Status put(const AuxTreePart& tree, std::span<const Hash32> cb_branch, StoreTime now) override;
  Result<std::optional<FoundSnapshot>> find(const Hash32& root, const std::optional<Hash32>& coinbase_txid,
                                            const Hash32& header_merkle_root, StoreTime now) const override;
  Status prune(StoreTime now) override;
  std::size_t count() const override;
  void set_retention(std::uint64_t retention_s) override { retention_s_.store(retention_s, std::memory_order_relaxed); }

  // put, telling what it did. Errors: OutOfMemory (the store is left as it was).
  Result<PutEffect> insert(const AuxTreePart& tree, std::span<const Hash32> cb_branch, StoreTime now);

  // Distinct tree parts held (each shared by every snapshot with that content).
  std::size_t tree_part_count() const;

 private:
  struct TreePart {
    AuxTreePart tree;  // never changed once made
    std::uint64_t key = 0;
    std::size_t users = 0;  // entries referring to it; changed under the lock only
  };
  // What a find needs of one snapshot, never changed once made: a find that must try
  // thousands of branches copies these references and lets puts go on meanwhile.
  struct Stored {
    std::shared_ptr<const TreePart> part;
    std::vector<Hash32> cb_branch;
  };
  struct Entry {
    StoreTime time = 0;
    std::uint64_t key = 0;  // snapshot_key
    std::uint64_t seq = 0;  // its key in entries_
    TreePart* part = nullptr;  // stored->part, for its count
    std::shared_ptr<const Stored> stored;
  };
  struct RootIndex {
    std::vector<std::shared_ptr<TreePart>> parts;  // nearly always one
    std::map<std::uint64_t, Entry*> entries;       // by put order, as in entries_
  };
  struct RootHash {
    std::size_t operator()(const Hash32& h) const;
  };

  using RootMap = std::unordered_map<Hash32, RootIndex, RootHash>;

  // The steps of insert, with the lock held.
  // The part of `index` with this content, or null.
  std::shared_ptr<TreePart> held_part(const RootIndex& index, const AuxTreePart& tree) const REQUIRES(lock_);
  // When a snapshot with this key, part and branch is held: makes it the newest, as if put
  // `now`, and returns true.
  bool refresh(RootIndex& index, const TreePart& part, std::uint64_t key, std::span<const Hash32> cb_branch,
               StoreTime now) REQUIRES(lock_);
  // Adds the entry, with a new part when `part` is null and a new root index when `root_it` is
  // end. Errors: OutOfMemory (the store is left as it was).
  Status add_entry(RootMap::iterator root_it, const AuxTreePart& tree, std::shared_ptr<TreePart> part,
                   std::span<const Hash32> cb_branch, const PutEffect& effect, StoreTime now) REQUIRES(lock_);
  // Past the cap, drops the oldest entries, with a warning at most once a minute.
  void trim_to_cap(StoreTime now) REQUIRES(lock_);
  void drop_expired(StoreTime now) REQUIRES(lock_);
  void remove(std::map<std::uint64_t, Entry>::iterator entry) REQUIRES(lock_);

  std::atomic<std::uint64_t> retention_s_;
  const std::size_t cap_;
  mutable FutexMutex lock_;  // guards every field below, nothing else
  std::uint64_t next_seq_ GUARDED_BY(lock_) = 1;
  std::map<std::uint64_t, Entry> entries_ GUARDED_BY(lock_);  // by put order: oldest first
  std::unordered_map<std::uint64_t, Entry*> by_key_ GUARDED_BY(lock_);
  RootMap roots_ GUARDED_BY(lock_);
  std::size_t tree_parts_ GUARDED_BY(lock_) = 0;
  std::optional<StoreTime> last_full_warning_ GUARDED_BY(lock_);
};

}  // namespace skerrow
