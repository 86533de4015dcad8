#include "auxpow/tree.h"

namespace skerrow {
namespace {

// Hashes `n` nodes (internal order, n a power of two) pairwise up to the root, in place.
Hash32 fold_level(std::array<Hash32, kMaxTreeLeaves>& nodes, std::uint32_t n) {
  for (; n > 1; n /= 2) {
    for (std::uint32_t j = 0; j < n / 2; ++j) nodes[j] = hash_pair(nodes[2 * j], nodes[2 * j + 1]);
  }
  return nodes[0];
}

}  // namespace

std::uint32_t aux_slot(std::uint32_t tree_nonce, std::uint32_t chainid, std::uint32_t tree_size) {
  std::uint32_t r = tree_nonce * 1103515245u + 12345u;
  r += chainid;
  r = r * 1103515245u + 12345u;
  return r % tree_size;
}

void fill_leaves(const AuxEngine& engine, std::array<Hash32, kMaxTreeLeaves>& leaves) {
  leaves.fill(Hash32{});
  for (const AuxChainState& state : engine.states) {
    if (state.templ.valid && state.slot < engine.tree.tree_size && state.slot < kMaxTreeLeaves) {
      leaves[state.slot] = state.templ.hash;
    }
  }
}

void build_aux_tree(AuxEngine& engine) {
  AuxTree& tree = engine.tree;
  if (engine.states.empty() || tree.tree_size == 0 || tree.tree_size > kMaxTreeLeaves) {
    for (AuxChainState& state : engine.states) state.slot = 0;
    tree.root = Hash32{};
    return;
  }
  for (AuxChainState& state : engine.states) {
    state.slot = aux_slot(tree.tree_nonce, state.templ.chainid, tree.tree_size);
  }
  std::array<Hash32, kMaxTreeLeaves> nodes;
  fill_leaves(engine, nodes);
  for (Hash32& leaf : nodes) reverse_hash(leaf);
  Hash32 root = fold_level(nodes, tree.tree_size);
  reverse_hash(root);
  tree.root = root;
}

AuxBranch aux_branch(const AuxSnapshot& snapshot, std::uint32_t slot) {
  AuxBranch branch;
  std::uint32_t n = snapshot.tree_size;
  if (n < 2 || n > kMaxTreeLeaves) return branch;
  std::array<Hash32, kMaxTreeLeaves> nodes;
  for (std::uint32_t i = 0; i < n; ++i) {
    nodes[i] = snapshot.leaves[i];
    reverse_hash(nodes[i]);
  }
  std::uint32_t index = slot % n;
  for (; n >= 2; n /= 2, index >>= 1) {
    branch.hashes[branch.length++] = nodes[index ^ 1u];
    for (std::uint32_t j = 0; j < n / 2; ++j) nodes[j] = hash_pair(nodes[2 * j], nodes[2 * j + 1]);
  }
  return branch;
}

}  // namespace skerrow
