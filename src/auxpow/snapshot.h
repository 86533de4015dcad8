// What every rewritten getblocktemplate answer committed to (aux root, tree, coinbase branch),
// kept in the engine's snapshot store so that a later submitauxblock can prove against exactly
// that, for as long as "work_retention_s" says. The store has a lock of its own: nothing here
// needs the aux-state lock.
#pragma once

#include <optional>

#include "auxpow/coinbase.h"
#include "auxpow/engine.h"
#include "auxpow/snapshot_store.h"
#include "auxpow/work.h"

namespace skerrow {

// The store's clock: seconds since the Unix epoch, so that times keep their meaning across
// restarts.
StoreTime store_now();

// The tree part of what `work` commits to. Errors: OutOfMemory.
Result<AuxTreePart> tree_part_of(const AuxWork& work);

// Stores what `work` commits to with `branch`, at `now`. Call it before the answer is sent.
// Errors: OutOfMemory, and the store's write errors (the snapshot is then still kept in
// memory).
Status save_snapshot(AuxEngine& engine, const AuxWork& work, const CoinbaseBranch& branch, StoreTime now);

// Among the stored snapshots whose aux root is `root`, the newest whose coinbase branch leads
// from `coinbase_txid` to `header_merkle_root`; when none does (or the txid is unknown), the
// newest with that root, with branch_matches false. nullopt: no snapshot carries the root.
// Snapshots older than the retention at `now` are not found.
Result<std::optional<FoundSnapshot>> find_snapshot(const AuxEngine& engine, const Hash32& root,
                                                   const std::optional<Hash32>& coinbase_txid,
                                                   const Hash32& header_merkle_root, StoreTime now);

}  // namespace skerrow
