#include "auxpow/snapshot.h"

#include <algorithm>

namespace skerrow {

void save_snapshot(AuxEngine& engine, const AuxWork& work, const CoinbaseBranch& branch) {
  AuxSnapshot& snap = engine.snapshots[engine.next_snapshot];
  snap.root = work.tree.root;
  snap.tree_size = work.tree.tree_size;
  snap.chain_count = work.chain_count;
  for (std::size_t i = 0; i < snap.chain_count; ++i) {
    const AuxWorkChain& chain = work.chains[i];
    snap.slots[i] = chain.slot;
    snap.in_tree[i] = chain.templ.valid;
    snap.hashes[i] = chain.templ.hash;
  }
  snap.cb_branch_len = std::min(branch.length, kMaxCoinbaseBranch);
  std::copy_n(branch.hashes.begin(), snap.cb_branch_len, snap.cb_branch.begin());
  snap.used = true;
  engine.next_snapshot = (engine.next_snapshot + 1) % kSnapshotCount;
}

SnapshotMatch find_snapshot(const AuxEngine& engine, const Hash32& root,
                            const std::optional<Hash32>& coinbase_txid, const Hash32& header_merkle_root) {
  SnapshotMatch match;
  // Newest first: the slot written last is the one before next_snapshot.
  for (std::size_t age = 1; age <= kSnapshotCount; ++age) {
    const AuxSnapshot& snap = engine.snapshots[(engine.next_snapshot + kSnapshotCount - age) % kSnapshotCount];
    if (!snap.used || snap.root != root) continue;
    if (match.snapshot == nullptr) match.snapshot = &snap;
    if (coinbase_txid &&
        root_from_coinbase(*coinbase_txid, {snap.cb_branch.data(), snap.cb_branch_len}) == header_merkle_root) {
      match.snapshot = &snap;
      match.branch_matches = true;
      break;
    }
  }
  return match;
}

}  // namespace skerrow
