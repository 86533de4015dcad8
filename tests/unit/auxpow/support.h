// Helpers shared by the AuxPoW engine tests: stderr capture, hashes from text, a
// straightforward merkle root to check the engine's branches against, and a two-chain engine.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "auxpow/engine.h"
#include "auxpow/snapshot_store.h"
#include "common/captured_stderr.h"
#include "auxpow/hash.h"
#include "auxpow/hex.h"

namespace skerrow::test {

using CapturedStderr = skerrow::testing::CapturedStderr;

inline Hash32 hash_of(const std::string& hex) {
  Hash32 h{};
  if (!hex_decode(hex, h)) std::abort();
  return h;
}

inline std::string hex_of(std::span<const std::uint8_t> bytes) {
  std::string s(bytes.size() * 2, '?');
  hex_encode(bytes, s);
  return s;
}

// A distinct, arbitrary hash per seed.
inline Hash32 filler(std::uint32_t seed) {
  Hash32 a{}, b{};
  a[0] = static_cast<std::uint8_t>(seed);
  a[1] = static_cast<std::uint8_t>(seed >> 8);
  a[2] = static_cast<std::uint8_t>(seed >> 16);
  b[31] = 0x5a;
  return hash_pair(a, b);
}

// Block-chain style merkle root, computed recursively over copies: an odd level pairs its
// last node with itself.
inline Hash32 plain_merkle_root(std::vector<Hash32> level) {
  while (level.size() > 1) {
    std::vector<Hash32> next;
    for (std::size_t i = 0; i < level.size(); i += 2) {
      next.push_back(hash_pair(level[i], i + 1 < level.size() ? level[i + 1] : level[i]));
    }
    level = std::move(next);
  }
  return level.at(0);
}

// Walks a branch from `leaf` at `index`: the index bit of each level says which side we are on.
inline Hash32 walk_branch(Hash32 leaf, std::uint32_t index, std::span<const Hash32> branch) {
  for (const Hash32& sibling : branch) {
    leaf = (index & 1) ? hash_pair(sibling, leaf) : hash_pair(leaf, sibling);
    index >>= 1;
  }
  return leaf;
}

// Chains "a" and "b" in a tree of two, snapshots kept in memory.
struct TwoChains {
  AuxEngine engine;
  TwoChains() {
    engine.states.resize(2);
    engine.states[0].chain_id = "a";
    engine.states[1].chain_id = "b";
    engine.tree.base_size = engine.tree.tree_size = 2;
    engine.store = std::make_shared<MemorySnapshotStore>(600);
  }
};

}  // namespace skerrow::test
