// The snapshot ring: what every rewritten getblocktemplate answer committed to (aux root,
// tree, coinbase branch), so that a later submitauxblock can prove against exactly that.
// The ring keeps the 8 most recent answers. All of it runs under the aux-state lock.
#pragma once

#include <optional>

#include "auxpow/coinbase.h"
#include "auxpow/engine.h"
#include "auxpow/work.h"

namespace skerrow {

// Stores what `work` commits to and `branch` in the next ring slot, overwriting the oldest.
// REQUIRES: the aux-state lock is held.
void save_snapshot(AuxEngine& engine, const AuxWork& work, const CoinbaseBranch& branch);

struct SnapshotMatch {
  const AuxSnapshot* snapshot = nullptr;  // nullptr: no snapshot carries the root
  bool branch_matches = false;            // its coinbase branch leads to the header's root
};

// Among the stored snapshots whose aux root is `root`, the newest whose coinbase branch
// leads from `coinbase_txid` to `header_merkle_root`; when none does (or the txid is
// unknown), the newest with that root, with branch_matches false. REQUIRES: the aux-state
// lock is held; the snapshot pointed to is only valid while it is.
SnapshotMatch find_snapshot(const AuxEngine& engine, const Hash32& root,
                            const std::optional<Hash32>& coinbase_txid, const Hash32& header_merkle_root);

}  // namespace skerrow
