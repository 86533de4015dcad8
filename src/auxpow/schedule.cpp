#include "auxpow/schedule.h"

#include <algorithm>

#include "auxpow/refresh.h"
#include "auxpow/tree.h"

namespace skerrow {
namespace {

// REQUIRES: the aux-state lock is held.
void want_locked(AuxChainState& state, FetchReason reason) {
  ++state.wanted;
  if (reason == FetchReason::stale) state.stale = state.wanted;
}

}  // namespace

void want_aux_fetch(AuxEngine& engine, std::size_t chain, std::uint64_t generation, FetchReason reason) {
  {
    FutexLock guard(engine.lock);
    if (chain >= engine.states.size() || engine.states[chain].generation != generation) return;
    want_locked(engine.states[chain], reason);
  }
  engine.fetch_wanted.notify_all();
}

void want_named_aux_fetch(AuxEngine& engine, std::string_view chain_id, FetchReason reason) {
  {
    FutexLock guard(engine.lock);
    auto named = std::find_if(engine.states.begin(), engine.states.end(),
                              [&](const AuxChainState& s) { return s.listed && s.chain_id == chain_id; });
    if (named == engine.states.end()) return;
    want_locked(*named, reason);
  }
  engine.fetch_wanted.notify_all();
}

void want_all_aux_fetches(AuxEngine& engine, FetchReason reason) {
  {
    FutexLock guard(engine.lock);
    for (AuxChainState& state : engine.states) {
      if (state.listed) want_locked(state, reason);
    }
  }
  engine.fetch_wanted.notify_all();
}

StaleFetches pending_stale_fetches(AuxEngine& engine) {
  StaleFetches pending;
  FutexLock guard(engine.lock);
  pending.count = std::min(engine.states.size(), kMaxAuxChains);
  for (std::size_t i = 0; i < pending.count; ++i) {
    const AuxChainState& state = engine.states[i];
    const bool worth_waiting = state.stale > state.done && state.stale > state.waited_out;
    pending.request[i] = worth_waiting ? state.stale : 0;
  }
  return pending;
}

void wait_for_fetches(AuxEngine& engine, const StaleFetches& pending,
                      std::chrono::steady_clock::time_point deadline) {
  FutexLock guard(engine.lock);
  const std::size_t count = std::min(pending.count, engine.states.size());
  const bool all_done = engine.fetch_done.wait_until(guard, deadline, [&] {
    for (std::size_t i = 0; i < count; ++i) {
      if (engine.states[i].done < pending.request[i]) return false;
    }
    return true;
  });
  if (all_done) return;
  for (std::size_t i = 0; i < count; ++i) {
    AuxChainState& state = engine.states[i];
    if (state.done < pending.request[i]) state.waited_out = std::max(state.waited_out, pending.request[i]);
  }
}

AuxFetch next_aux_fetch(AuxEngine& engine, std::size_t chain) {
  FutexLock guard(engine.lock);
  AuxChainState& state = engine.states[chain];
  engine.fetch_wanted.wait(guard, [&] { return state.listed && state.wanted > state.started; });
  state.started = state.wanted;
  return AuxFetch{state.started,       state.generation,         state.chain_id,
                  state.daemon,        state.use_createauxblock, state.payout_address};
}

bool finish_aux_fetch(AuxEngine& engine, std::size_t chain, const AuxFetch& fetch,
                      const Result<JsonDocument>& reply) {
  {
    FutexLock guard(engine.lock);
    AuxChainState& state = engine.states[chain];
    if (state.generation != fetch.generation) return false;
    apply_aux_reply(state, reply);
    build_aux_tree(engine);
    state.done = std::max(state.done, fetch.request);
  }
  engine.fetch_done.notify_all();
  return true;
}

}  // namespace skerrow
