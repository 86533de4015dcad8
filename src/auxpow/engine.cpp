#include "auxpow/engine.h"

#include <new>

#include "auxpow/snapshot_store.h"
#include "log/log.h"

namespace skerrow {

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
    engine.states.reserve(count);
  } catch (const std::bad_alloc&) {
    log_line(LogLevel::error, LogScope::auxpow, {"failed to allocate aux chain state"});
    engine.tree.base_size = engine.tree.tree_size = 0;
    return;
  }
  for (const AuxChainConfig& chain : config.aux_chains) {
    AuxChainState& state = engine.states.emplace_back();
    state.chain_id = chain.chain_id;
    state.daemon = chain.daemon;
    state.use_createauxblock = chain.use_createauxblock;
    state.payout_address = chain.payout_address;
  }
  std::uint32_t size = 1;
  while (size < count) size *= 2;
  engine.tree.base_size = engine.tree.tree_size = size;
}

}  // namespace skerrow
