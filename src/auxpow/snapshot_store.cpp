#include "auxpow/snapshot_store.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include "auxpow/coinbase.h"
#include "auxpow/hash.h"
#include "auxpow/hex.h"
#include "log/log.h"

namespace skerrow {
namespace {

// A pool that outruns the cap does so on every put; one line a minute says it without
// drowning the log.
constexpr StoreTime kFullWarningInterval = 60;

// Branches a find tries while it holds the lock, a few hundred microseconds at most.
constexpr std::size_t kTriedUnderLock = 32;

void put_le32(std::uint32_t v, std::uint8_t* out) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

std::uint64_t first_word(const Hash32& h) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | h[static_cast<std::size_t>(i)];
  return v;
}

bool same_branch(const std::vector<Hash32>& stored, std::span<const Hash32> branch) {
  return std::equal(stored.begin(), stored.end(), branch.begin(), branch.end());
}

}  // namespace

std::string parent_block_hash_hex(std::span<const std::uint8_t, 80> header) {
  Hash32 hash = double_sha256(header);
  reverse_hash(hash);
  std::string text(64, '0');
  hex_encode(hash, text);
  return text;
}

AuxSnapshot make_snapshot(const AuxTreePart& tree, std::span<const Hash32> cb_branch) {
  AuxSnapshot snap;
  snap.used = true;
  snap.root = tree.root;
  snap.tree_size = tree.tree_size;
  snap.chain_count = std::min(tree.chains.size(), kMaxAuxChains);
  for (std::size_t i = 0; i < snap.chain_count; ++i) {
    snap.slots[i] = tree.chains[i].slot;
    snap.in_tree[i] = tree.chains[i].in_tree;
    snap.hashes[i] = tree.chains[i].hash;
  }
  snap.cb_branch_len = std::min(cb_branch.size(), kMaxCoinbaseBranch);
  std::copy_n(cb_branch.begin(), snap.cb_branch_len, snap.cb_branch.begin());
  return snap;
}

std::uint64_t tree_part_key(const AuxTreePart& tree) {
  std::uint8_t bytes[32 + 4 + 4 + kMaxAuxChains * 37];
  std::uint8_t* p = bytes;
  std::memcpy(p, tree.root.data(), 32);
  p += 32;
  put_le32(tree.tree_size, p);
  p += 4;
  const std::size_t count = std::min(tree.chains.size(), kMaxAuxChains);
  put_le32(static_cast<std::uint32_t>(count), p);
  p += 4;
  for (std::size_t i = 0; i < count; ++i) {
    put_le32(tree.chains[i].slot, p);
    p[4] = tree.chains[i].in_tree ? 1 : 0;
    std::memcpy(p + 5, tree.chains[i].hash.data(), 32);
    p += 37;
  }
  return first_word(double_sha256({bytes, static_cast<std::size_t>(p - bytes)}));
}

std::uint64_t snapshot_key(std::uint64_t tree_key, std::span<const Hash32> cb_branch) {
  std::uint8_t bytes[8 + kMaxCoinbaseBranch * 32];
  const std::size_t count = std::min(cb_branch.size(), kMaxCoinbaseBranch);
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(tree_key >> (8 * i));
  for (std::size_t i = 0; i < count; ++i) std::memcpy(bytes + 8 + 32 * i, cb_branch[i].data(), 32);
  return first_word(double_sha256({bytes, 8 + 32 * count}));
}

std::size_t MemorySnapshotStore::RootHash::operator()(const Hash32& h) const {
  return static_cast<std::size_t>(first_word(h));  // a root is a hash already
}

MemorySnapshotStore::MemorySnapshotStore(std::uint64_t retention_s, std::size_t cap)
    : retention_s_(retention_s), cap_(cap) {}

MemorySnapshotStore::~MemorySnapshotStore() = default;

Status MemorySnapshotStore::put(const AuxTreePart& tree, std::span<const Hash32> cb_branch, StoreTime now) {
  auto effect = insert(tree, cb_branch, now);
  if (!effect) return fail(effect.error());
  return {};
}

Result<PutEffect> MemorySnapshotStore::insert(const AuxTreePart& tree, std::span<const Hash32> cb_branch,
                                              StoreTime now) {
  cb_branch = cb_branch.first(std::min(cb_branch.size(), kMaxCoinbaseBranch));
  FutexLock guard(lock_);
  drop_expired(now);

  PutEffect effect;
  const RootMap::iterator root_it = roots_.find(tree.root);
  std::shared_ptr<TreePart> part = root_it != roots_.end() ? held_part(root_it->second, tree) : nullptr;
  effect.tree_key = part ? part->key : tree_part_key(tree);
  effect.snapshot_key = snapshot_key(effect.tree_key, cb_branch);
  effect.new_tree_part = !part;

  if (part && refresh(root_it->second, *part, effect.snapshot_key, cb_branch, now)) {
    effect.refreshed = true;
    return effect;
  }
  if (auto added = add_entry(root_it, tree, std::move(part), cb_branch, effect, now); !added) {
    return fail(added.error());
  }
  trim_to_cap(now);
  return effect;
}

std::shared_ptr<MemorySnapshotStore::TreePart> MemorySnapshotStore::held_part(const RootIndex& index,
                                                                             const AuxTreePart& tree) const {
  std::shared_ptr<TreePart> part;
  for (const auto& p : index.parts) {
    if (p->tree == tree) part = p;
  }
  return part;
}

bool MemorySnapshotStore::refresh(RootIndex& index, const TreePart& part, std::uint64_t key,
                                  std::span<const Hash32> cb_branch, StoreTime now) {
  auto same = by_key_.find(key);
  if (same == by_key_.end() || same->second->part != &part ||
      !same_branch(same->second->stored->cb_branch, cb_branch)) {
    return false;
  }
  // Re-keying the nodes in place moves the entry to the newest end without allocating.
  Entry& entry = *same->second;
  const std::uint64_t seq = next_seq_++;
  auto node = entries_.extract(entry.seq);
  node.key() = seq;
  entries_.insert(std::move(node));
  auto root_node = index.entries.extract(entry.seq);
  root_node.key() = seq;
  index.entries.insert(std::move(root_node));
  entry.seq = seq;
  entry.time = now;
  return true;
}

Status MemorySnapshotStore::add_entry(RootMap::iterator root_it, const AuxTreePart& tree,
                                      std::shared_ptr<TreePart> part, std::span<const Hash32> cb_branch,
                                      const PutEffect& effect, StoreTime now) {
  // Every allocation happens before the store changes, or is undone, so that running out of
  // memory leaves the store as it was.
  bool root_added = false;
  bool part_added = false;
  std::map<std::uint64_t, Entry>::iterator entry_it = entries_.end();
  try {
    if (!part) part = std::make_shared<TreePart>(TreePart{tree, effect.tree_key, 0});
    auto stored = std::make_shared<const Stored>(Stored{part, {cb_branch.begin(), cb_branch.end()}});
    if (root_it == roots_.end()) {
      root_it = roots_.try_emplace(tree.root).first;
      root_added = true;
    }
    RootIndex& index = root_it->second;
    if (effect.new_tree_part) {
      index.parts.push_back(part);
      part_added = true;
    }
    const std::uint64_t seq = next_seq_++;
    entry_it = entries_.try_emplace(seq, Entry{now, effect.snapshot_key, seq, part.get(), std::move(stored)}).first;
    Entry* entry = &entry_it->second;
    index.entries.emplace(seq, entry);
    try {
      by_key_.try_emplace(effect.snapshot_key, entry);  // a colliding key keeps the older entry
    } catch (...) {
      index.entries.erase(seq);
      throw;
    }
  } catch (const std::bad_alloc&) {
    if (entry_it != entries_.end()) entries_.erase(entry_it);
    if (part_added) root_it->second.parts.pop_back();
    if (root_added) roots_.erase(root_it);
    return fail(ErrorCode::OutOfMemory);
  }
  ++part->users;
  if (part_added) ++tree_parts_;
  return {};
}

void MemorySnapshotStore::trim_to_cap(StoreTime now) {
  if (entries_.size() <= cap_) return;
  // Either way: threads put with clocks read a moment apart, and a clock set back by an hour
  // must not silence the warning for that hour.
  if (!last_full_warning_ || std::abs(now - *last_full_warning_) >= kFullWarningInterval) {
    log_line(LogLevel::warning, LogScope::auxpow, {"snapshot store full (", cap_, "), dropping the oldest"});
    last_full_warning_ = now;
  }
  while (entries_.size() > cap_) remove(entries_.begin());
}

Result<std::optional<FoundSnapshot>> MemorySnapshotStore::find(const Hash32& root,
                                                               const std::optional<Hash32>& coinbase_txid,
                                                               const Hash32& header_merkle_root, StoreTime now) const {
  auto found = [](const Stored& stored, bool matches) {
    return FoundSnapshot{make_snapshot(stored.part->tree, stored.cb_branch), matches};
  };
  auto leads_to_header = [&](const Stored& stored) {
    return root_from_coinbase(*coinbase_txid, stored.cb_branch) == header_merkle_root;
  };
  return catch_oom([&]() -> Result<std::optional<FoundSnapshot>> {
    std::shared_ptr<const Stored> newest;
    std::vector<std::shared_ptr<const Stored>> older;
    {
      FutexLock guard(lock_);
      const auto root_it = roots_.find(root);
      if (root_it == roots_.end()) return std::nullopt;
      // Expired snapshots wait for the next put to be dropped; until then they are skipped.
      // Put times do not go backwards, so the live ones are the newest.
      const StoreTime oldest_live = now - static_cast<StoreTime>(retention_s_.load(std::memory_order_relaxed));
      std::vector<Entry*> live;
      for (auto e = root_it->second.entries.rbegin(); e != root_it->second.entries.rend(); ++e) {
        if (e->second->time < oldest_live) break;
        live.push_back(e->second);
      }
      if (live.empty()) return std::nullopt;
      auto it = live.begin();
      if (!coinbase_txid) return found(*(*it)->stored, false);
      // Work is nearly always submitted soon after its template: the newest are tried here, and
      // only a root shared by more snapshots (aux templates that did not change for minutes)
      // leaves the rest to be tried after the lock is released.
      for (std::size_t tried = 0; it != live.end() && tried < kTriedUnderLock; ++it, ++tried) {
        if (leads_to_header(*(*it)->stored)) return found(*(*it)->stored, true);
      }
      if (it == live.end()) return found(*live.front()->stored, false);
      newest = live.front()->stored;
      older.reserve(static_cast<std::size_t>(live.end() - it));
      for (; it != live.end(); ++it) older.push_back((*it)->stored);
    }
    for (const auto& stored : older) {
      if (leads_to_header(*stored)) return found(*stored, true);
    }
    return found(*newest, false);
  });
}

Status MemorySnapshotStore::prune(StoreTime now) {
  FutexLock guard(lock_);
  drop_expired(now);
  return {};
}

std::size_t MemorySnapshotStore::count() const {
  FutexLock guard(lock_);
  return entries_.size();
}

std::size_t MemorySnapshotStore::tree_part_count() const {
  FutexLock guard(lock_);
  return tree_parts_;
}

void MemorySnapshotStore::drop_expired(StoreTime now) {
  const auto retention = static_cast<StoreTime>(retention_s_.load(std::memory_order_relaxed));
  while (!entries_.empty() && now - entries_.begin()->second.time > retention) remove(entries_.begin());
}

void MemorySnapshotStore::remove(std::map<std::uint64_t, Entry>::iterator entry_it) {
  Entry& entry = entry_it->second;
  TreePart* part = entry.part;
  const auto root_it = roots_.find(part->tree.root);
  RootIndex& index = root_it->second;
  index.entries.erase(entry.seq);
  if (auto k = by_key_.find(entry.key); k != by_key_.end() && k->second == &entry) by_key_.erase(k);
  if (--part->users == 0) {
    // A find still trying its branches keeps the part alive through its references.
    std::erase_if(index.parts, [part](const std::shared_ptr<TreePart>& p) { return p.get() == part; });
    --tree_parts_;
  }
  if (index.entries.empty()) roots_.erase(root_it);
  entries_.erase(entry_it);
}

}  // namespace skerrow
