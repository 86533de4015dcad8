// The aux merkle tree: one leaf per aux chain, at the slot the merged-mining slot formula
// gives for the tree nonce and the chain's numeric chain id. All of it runs under the
// aux-state lock and allocates nothing.
#pragma once

#include <array>
#include <cstdint>

#include "auxpow/engine.h"

namespace skerrow {

// The merged-mining slot formula (unsigned 32-bit arithmetic, wrapping).
// REQUIRES: tree_size > 0.
std::uint32_t aux_slot(std::uint32_t tree_nonce, std::uint32_t chainid, std::uint32_t tree_size);

// Recomputes every chain's slot, then the tree's root (display order). With no chains the
// root is all zero. Two valid chains in one slot: the later chain takes the leaf.
void build_aux_tree(AuxEngine& engine);

struct AuxBranch {
  std::size_t length = 0;                     // log2(tree size)
  std::array<Hash32, kMaxAuxBranch> hashes{};  // internal order, the leaf's sibling first
};

// The merkle branch from leaf `slot` of the snapshot's tree to its root.
// REQUIRES: slot < snapshot.tree_size or snapshot.tree_size < 2.
AuxBranch aux_branch(const AuxSnapshot& snapshot, std::uint32_t slot);

// Writes into `leaves` (display order) the hash of each valid chain at its slot, zero
// elsewhere; the later chain in configuration order wins a shared slot.
void fill_leaves(const AuxEngine& engine, std::array<Hash32, kMaxTreeLeaves>& leaves);

}  // namespace skerrow
