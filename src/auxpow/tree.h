// The aux merkle tree: one leaf per aux chain, at the slot the merged-mining slot formula
// gives for the tree nonce and the chain's numeric chain id. The tree is as large as needed
// for every chain to have a slot of its own (up to kMaxTreeLeaves). The engine's tree is
// rebuilt under the aux-state lock (build_aux_tree in engine.h); none of it allocates.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "auxpow/hash.h"

namespace skerrow {

struct AuxSnapshot;

// The tree grows past the size the chain count needs only to give every chain a slot of its
// own; beyond this size colliding chains are left out instead.
inline constexpr std::size_t kMaxTreeLeaves = 1024;
inline constexpr std::size_t kMaxAuxBranch = 10;  // log2(kMaxTreeLeaves)

struct AuxTree {
  std::uint32_t base_size = 1;  // power of two not below the number of chains listed
  std::uint32_t tree_size = 1;  // base_size, or larger while chains would share a slot
  std::uint32_t tree_nonce = 0;
  Hash32 root{};  // display order
};

// The merged-mining slot formula (unsigned 32-bit arithmetic, wrapping).
// REQUIRES: tree_size > 0.
std::uint32_t aux_slot(std::uint32_t tree_nonce, std::uint32_t chainid, std::uint32_t tree_size);

struct AuxLeaf {
  std::uint32_t slot = 0;
  Hash32 hash{};  // display order
};

struct AuxBranch {
  std::size_t length = 0;                      // log2(tree size)
  std::array<Hash32, kMaxAuxBranch> hashes{};  // internal order, the leaf's sibling first
};

// The root (display order) of a tree of `tree_size` leaves holding `leaves` and zero
// elsewhere; a later leaf replaces an earlier one in the same slot and leaves at or past
// tree_size are ignored. With `branch`, also the merkle branch of leaf `branch_slot`.
// REQUIRES: tree_size a power of two, at most kMaxTreeLeaves; leaves.size() <= kMaxAuxChains.
Hash32 aux_root(std::span<const AuxLeaf> leaves, std::uint32_t tree_size, AuxBranch* branch = nullptr,
                std::uint32_t branch_slot = 0);

// The merkle branch from leaf `slot` of the snapshot's tree to its root.
AuxBranch aux_branch(const AuxSnapshot& snapshot, std::uint32_t slot);

}  // namespace skerrow
