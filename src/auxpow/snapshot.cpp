#include "auxpow/snapshot.h"

#include <chrono>
#include <new>

namespace skerrow {

StoreTime store_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

Result<AuxTreePart> tree_part_of(const AuxWork& work) {
  return catch_oom([&]() -> Result<AuxTreePart> {
    AuxTreePart tree;
    tree.root = work.tree.root;
    tree.tree_size = work.tree.tree_size;
    tree.chains.resize(work.chain_count);
    for (std::size_t i = 0; i < work.chain_count; ++i) {
      const AuxWorkChain& chain = work.chains[i];
      tree.chains[i] = AuxTreeChain{chain.slot, chain.templ.valid, chain.templ.hash};
    }
    return tree;
  });
}

Status save_snapshot(AuxEngine& engine, const AuxWork& work, const CoinbaseBranch& branch, StoreTime now) {
  auto tree = tree_part_of(work);
  if (!tree) return fail(tree.error());
  return engine.store->put(*tree, {branch.hashes.data(), std::min(branch.length, kMaxCoinbaseBranch)}, now);
}

Result<std::optional<FoundSnapshot>> find_snapshot(const AuxEngine& engine, const Hash32& root,
                                                   const std::optional<Hash32>& coinbase_txid,
                                                   const Hash32& header_merkle_root, StoreTime now) {
  return engine.store->find(root, coinbase_txid, header_merkle_root, now);
}

}  // namespace skerrow
