#include "auxpow/engine.h"

#include <algorithm>
#include <new>

#include "auxpow/snapshot_store.h"
#include "log/log.h"

namespace skerrow {
namespace {

void take_settings(AuxChainState& state, const AuxChainConfig& chain) {
  state.chain_id = chain.chain_id;
  state.daemon = chain.daemon;
  state.use_createauxblock = chain.use_createauxblock;
  state.payout_address = chain.payout_address;
  state.config = &chain;
}

// The entry serves another chain, or the same one by other daemons: what it held is not
// theirs. A fetch in flight is left to finish and be dropped (its generation is past); the
// next one is wanted now, as stale work, so that templates wait for it.
void restart_entry(AuxChainState& state) {
  ++state.generation;
  state.templ = AuxTemplate{};
  state.slot = 0;
  if (!state.listed) {
    // Nothing more to fetch; whoever waits for its fetch stops waiting.
    state.started = state.done = state.wanted;
    return;
  }
  ++state.wanted;
  state.stale = state.wanted;
}

// The smallest power of two not below `count` (1 for none).
std::uint32_t base_size_for(std::size_t count) {
  std::uint32_t size = 1;
  while (size < count) size *= 2;
  return size;
}

}  // namespace

void init_aux_engine(AuxEngine& engine, const Config& config) {
  // Nobody else has the engine yet; the lock is taken all the same, as the tree is written
  // under it everywhere.
  FutexLock guard(engine.lock);
  engine.states.clear();
  engine.tree = AuxTree{};
  try {
    engine.store = std::make_shared<MemorySnapshotStore>(config.work_retention_s);
  } catch (const std::bad_alloc&) {
    log_line(LogLevel::error, LogScope::auxpow, {"failed to allocate aux chain state"});
    engine.tree.base_size = engine.tree.tree_size = 0;
    return;
  }
  engine.daemon_timeout_ms = config.daemon_timeout_ms;
  engine.aux_wait_ms = config.aux_wait_ms;

  const std::size_t count = config.aux_chains.size();
  if (count > kMaxAuxChains) {
    // The loader refuses such files; an engine built another way must still never index
    // past the tree's leaves.
    log_line(LogLevel::error, LogScope::auxpow,
             {"too many aux chains: ", count, " configured, at most ", kMaxAuxChains});
    engine.tree.base_size = engine.tree.tree_size = 0;
    return;
  }
  try {
    engine.states.reserve(kMaxAuxChains);
  } catch (const std::bad_alloc&) {
    log_line(LogLevel::error, LogScope::auxpow, {"failed to allocate aux chain state"});
    engine.tree.base_size = engine.tree.tree_size = 0;
    return;
  }
  for (const AuxChainConfig& chain : config.aux_chains) {
    AuxChainState& state = engine.states.emplace_back();
    take_settings(state, chain);
    state.listed = true;
    state.position = static_cast<std::uint32_t>(engine.states.size() - 1);
  }
  engine.listed = count;
  engine.tree.base_size = engine.tree.tree_size = base_size_for(count);
}

bool same_chain_settings(const AuxChainConfig& a, const AuxChainConfig& b) {
  if (a.chain_id != b.chain_id || !same_daemon(a.daemon, b.daemon) || a.use_createauxblock != b.use_createauxblock ||
      a.payout_address != b.payout_address || a.backups.size() != b.backups.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.backups.size(); ++i) {
    if (!same_daemon(a.backups[i].daemon, b.backups[i].daemon)) return false;
  }
  return true;
}

AuxChainEdits reconcile_aux_chains(AuxEngine& engine, std::span<const AuxChainConfig> read) {
  AuxChainEdits out;
  auto note = [&](std::size_t entry, AuxChainChange change, std::string_view name, const AuxChainConfig* config) {
    out.edits[out.count++] = AuxChainEdit{entry, change, name, config};
  };
  auto listed_as = [&](std::string_view name) -> const AuxChainConfig* {
    for (const AuxChainConfig& chain : read) {
      if (chain.chain_id == name) return &chain;
    }
    return nullptr;
  };
  auto& states = engine.states;
  // Gone first, so that their entries can take the chains added.
  for (std::size_t i = 0; i < states.size(); ++i) {
    if (!states[i].listed || listed_as(states[i].chain_id) != nullptr) continue;
    note(i, AuxChainChange::removed, states[i].chain_id, nullptr);
    states[i].listed = false;
    restart_entry(states[i]);
  }
  for (std::size_t position = 0; position < read.size() && position < kMaxAuxChains; ++position) {
    const AuxChainConfig& chain = read[position];
    auto kept = std::find_if(states.begin(), states.end(),
                             [&](const AuxChainState& s) { return s.listed && s.chain_id == chain.chain_id; });
    std::size_t entry = 0;
    if (kept != states.end()) {
      entry = static_cast<std::size_t>(kept - states.begin());
      const bool same = kept->config != nullptr && same_chain_settings(*kept->config, chain);
      take_settings(*kept, chain);
      if (!same) {
        note(entry, AuxChainChange::changed, chain.chain_id, &chain);
        restart_entry(*kept);
      }
    } else {
      auto free_entry = std::find_if(states.begin(), states.end(), [](const AuxChainState& s) { return !s.listed; });
      if (free_entry == states.end()) {
        if (states.size() == states.capacity()) {
          // No room was reserved (the start-up ran short of memory): growing would move the
          // entries the refreshers use.
          log_line(LogLevel::error, LogScope::auxpow, {"failed to allocate aux chain state"});
          continue;
        }
        states.emplace_back();
        free_entry = states.end() - 1;
      }
      entry = static_cast<std::size_t>(free_entry - states.begin());
      take_settings(*free_entry, chain);
      free_entry->listed = true;
      free_entry->fetch_failures = LogThrottle{};
      restart_entry(*free_entry);
      note(entry, AuxChainChange::added, chain.chain_id, &chain);
    }
    states[entry].position = static_cast<std::uint32_t>(position);
  }
  const auto listed = static_cast<std::size_t>(
      std::count_if(states.begin(), states.end(), [](const AuxChainState& s) { return s.listed; }));
  engine.listed = listed;
  engine.tree.base_size = base_size_for(listed);
  build_aux_tree(engine);
  return out;
}

}  // namespace skerrow
