#include "auxpow/tree.h"

#include <algorithm>

#include "auxpow/engine.h"
#include "auxpow/snapshot_store.h"
#include "log/log.h"
#include "platform/thread_annotations.h"

namespace skerrow {
namespace {

struct Node {
  std::uint32_t index;
  Hash32 hash;  // internal order
};

// True when no two valid chains share a slot in a tree of `size` leaves.
bool slots_distinct(const AuxEngine& engine, std::uint32_t size) REQUIRES(engine.lock) {
  const auto& states = engine.states;
  for (std::size_t i = 0; i < states.size(); ++i) {
    if (!states[i].templ.valid) continue;
    const std::uint32_t a = aux_slot(engine.tree.tree_nonce, states[i].templ.chainid, size);
    for (std::size_t j = i + 1; j < states.size(); ++j) {
      if (states[j].templ.valid && aux_slot(engine.tree.tree_nonce, states[j].templ.chainid, size) == a) {
        return false;
      }
    }
  }
  return true;
}

// Chains whose slots coincide in the largest tree coincide in every smaller one (the sizes
// are powers of two), so no tree size separates them.
void leave_out_inseparable(AuxEngine& engine) REQUIRES(engine.lock) {
  auto& states = engine.states;
  const std::uint32_t nonce = engine.tree.tree_nonce;
  std::array<std::size_t, kMaxAuxChains> partner;
  partner.fill(kMaxAuxChains);
  for (std::size_t i = 0; i < states.size(); ++i) {
    if (!states[i].templ.valid) continue;
    const std::uint32_t a = aux_slot(nonce, states[i].templ.chainid, kMaxTreeLeaves);
    for (std::size_t j = 0; j < states.size(); ++j) {
      if (j != i && states[j].templ.valid && aux_slot(nonce, states[j].templ.chainid, kMaxTreeLeaves) == a) {
        partner[i] = j;
        break;
      }
    }
  }
  for (std::size_t i = 0; i < states.size(); ++i) {
    if (partner[i] == kMaxAuxChains) continue;
    const AuxChainState& other = states[partner[i]];
    log_line(LogLevel::warning, LogScope::auxpow,
             {"aux chain ", states[i].chain_id, " (chain id ", states[i].templ.chainid, ") collides with ",
              other.chain_id, " (chain id ", other.templ.chainid, ") in every tree up to ", kMaxTreeLeaves,
              " leaves, left out of this round"});
    states[i].templ.valid = false;
  }
}

}  // namespace

std::uint32_t aux_slot(std::uint32_t tree_nonce, std::uint32_t chainid, std::uint32_t tree_size) {
  std::uint32_t r = tree_nonce * 1103515245u + 12345u;
  r += chainid;
  r = r * 1103515245u + 12345u;
  return r % tree_size;
}

Hash32 aux_root(std::span<const AuxLeaf> leaves, std::uint32_t tree_size, AuxBranch* branch,
                std::uint32_t branch_slot) {
  // Only the chains' leaves are stored; every other subtree is all zero leaves, whose hash
  // depends on its height alone. That keeps a 1,024-leaf tree at a few dozen hashes.
  std::array<Node, kMaxAuxChains> nodes;
  std::size_t count = 0;
  for (const AuxLeaf& leaf : leaves.first(std::min(leaves.size(), kMaxAuxChains))) {
    if (leaf.slot >= tree_size) continue;
    Hash32 h = leaf.hash;
    reverse_hash(h);
    auto same = std::find_if(nodes.begin(), nodes.begin() + count, [&](const Node& n) { return n.index == leaf.slot; });
    if (same != nodes.begin() + count) {
      same->hash = h;
    } else {
      nodes[count++] = Node{leaf.slot, h};
    }
  }
  std::sort(nodes.begin(), nodes.begin() + count, [](const Node& a, const Node& b) { return a.index < b.index; });

  if (branch != nullptr) branch->length = 0;
  Hash32 empty{};  // hash of an all-zero subtree of the current height
  std::uint32_t index = branch_slot;
  for (std::uint32_t n = tree_size; n > 1; n /= 2, index >>= 1) {
    if (branch != nullptr && branch->length < kMaxAuxBranch) {
      auto sibling = std::find_if(nodes.begin(), nodes.begin() + count,
                                  [&](const Node& node) { return node.index == (index ^ 1u); });
      branch->hashes[branch->length++] = sibling != nodes.begin() + count ? sibling->hash : empty;
    }
    std::size_t parents = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const Node& node = nodes[i];
      Hash32 parent;
      if (i + 1 < count && nodes[i + 1].index == (node.index ^ 1u)) {
        parent = hash_pair(node.hash, nodes[i + 1].hash);
        ++i;
      } else if (node.index % 2 == 0) {
        parent = hash_pair(node.hash, empty);
      } else {
        parent = hash_pair(empty, node.hash);
      }
      nodes[parents++] = Node{node.index / 2, parent};
    }
    count = parents;
    empty = hash_pair(empty, empty);
  }
  Hash32 root = count > 0 ? nodes[0].hash : empty;
  reverse_hash(root);
  return root;
}

void build_aux_tree(AuxEngine& engine) {
  AuxTree& tree = engine.tree;
  const bool any_listed =
      std::any_of(engine.states.begin(), engine.states.end(), [](const AuxChainState& s) { return s.listed; });
  if (!any_listed || tree.base_size == 0 || engine.states.size() > kMaxAuxChains) {
    for (AuxChainState& state : engine.states) state.slot = 0;
    tree.root = Hash32{};
    return;
  }
  leave_out_inseparable(engine);
  std::uint32_t size = tree.base_size;
  while (size < kMaxTreeLeaves && !slots_distinct(engine, size)) size *= 2;
  tree.tree_size = size;

  std::array<AuxLeaf, kMaxAuxChains> leaves;
  std::size_t count = 0;
  for (AuxChainState& state : engine.states) {
    state.slot = aux_slot(tree.tree_nonce, state.templ.chainid, size);
    if (state.templ.valid) leaves[count++] = AuxLeaf{state.slot, state.templ.hash};
  }
  tree.root = aux_root({leaves.data(), count}, size);
}

AuxBranch aux_branch(const AuxSnapshot& snapshot, std::uint32_t slot) {
  AuxBranch branch;
  if (snapshot.tree_size < 2 || snapshot.tree_size > kMaxTreeLeaves) return branch;
  std::array<AuxLeaf, kMaxAuxChains> leaves;
  std::size_t count = 0;
  for (std::size_t i = 0; i < std::min(snapshot.chain_count, kMaxAuxChains); ++i) {
    if (snapshot.in_tree[i]) leaves[count++] = AuxLeaf{snapshot.slots[i], snapshot.hashes[i]};
  }
  aux_root({leaves.data(), count}, snapshot.tree_size, &branch, slot % snapshot.tree_size);
  return branch;
}

}  // namespace skerrow
