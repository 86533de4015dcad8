// Aux chain state: the latest template of every aux chain, the aux merkle tree built from
// them, the ring of snapshots kept per answered getblocktemplate, and the aux-state lock
// that guards all of it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string_view>
#include <vector>

#include "config/config.h"
#include "platform/futex.h"
#include "rpc/address.h"

namespace skerrow {

using Hash32 = std::array<std::uint8_t, 32>;

inline constexpr std::size_t kMaxTreeLeaves = 32;
inline constexpr std::size_t kSnapshotCount = 8;
inline constexpr std::size_t kMaxCoinbaseBranch = 20;

struct AuxTemplate {
  Hash32 hash{};                 // display order
  std::array<char, 64> hash_hex{};
  std::uint32_t chainid = 0;
  Hash32 target{};               // text order (least significant byte first)
  std::array<char, 64> target_hex{};
  double diff = 0.0;
  bool valid = false;
};

struct AuxChainState {
  std::string_view chain_id;
  ChainEndpoint daemon;
  bool use_createauxblock = false;
  AuxTemplate templ;
  std::uint32_t slot = 0;
};

struct AuxTree {
  std::uint32_t tree_size = 1;
  std::uint32_t tree_nonce = 0;
  Hash32 root{};  // display order
};

struct AuxSnapshot {
  bool used = false;
  Hash32 root{};
  std::uint32_t tree_size = 0;
  std::array<Hash32, kMaxTreeLeaves> leaves{};  // display order
  std::size_t cb_branch_len = 0;
  std::array<Hash32, kMaxCoinbaseBranch> cb_branch{};  // internal order, deepest first
};

struct AuxEngine {
  std::vector<AuxChainState> states;
  AuxTree tree;
  std::array<AuxSnapshot, kSnapshotCount> snapshots{};
  std::size_t next_snapshot = 0;
  FutexMutex lock;                          // the aux-state lock
  std::atomic<bool> refresh_needed{true};   // may be set from any thread without the lock
  std::uint64_t daemon_timeout_ms = 0;
};

// Fills `engine` from the configuration in configuration order. When the state array cannot
// be allocated, logs "error(auxpow): failed to allocate aux chain state" and leaves the engine
// with no aux chains (tree size 0).
void init_aux_engine(AuxEngine& engine, const Config& config);

}  // namespace skerrow
