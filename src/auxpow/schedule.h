// When aux templates are fetched. Every fetch happens off the request path, on the chain's
// own refresher thread; requests only ask for fetches and, for work known to be stale, wait
// a little for them. Everything here holds the aux-state lock only to read or write memory.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "auxpow/engine.h"
#include "error/error.h"
#include "json/reader.h"
#include "platform/thread_annotations.h"

namespace skerrow {

enum class FetchReason {
  routine,  // the refresh timer: the current work is still good
  stale,    // start-up, an accepted aux block, an aux notification: the work is stale or missing
};

// Asks for a fresh template of chain `chain` (an index into engine.states), or of every
// chain. Requests that arrive while the chain's fetch is in flight are served by one more
// fetch after it. REQUIRES: chain < engine.states.size().
void want_aux_fetch(AuxEngine& engine, std::size_t chain, FetchReason reason) EXCLUDES(engine.lock);
void want_all_aux_fetches(AuxEngine& engine, FetchReason reason) EXCLUDES(engine.lock);

// The stale-work requests made so far, per chain: what a getblocktemplate arriving now waits
// for (and nothing asked later). A request that an earlier wait already gave up on is left
// out.
struct StaleFetches {
  std::size_t count = 0;
  std::array<std::uint64_t, kMaxAuxChains> request{};
};
StaleFetches pending_stale_fetches(AuxEngine& engine) EXCLUDES(engine.lock);

// Waits, without holding the lock meanwhile, until every fetch in `pending` has finished
// (successfully or not) or until `deadline`, whichever comes first. Requests still not done
// at the deadline are not waited for again.
void wait_for_fetches(AuxEngine& engine, const StaleFetches& pending,
                      std::chrono::steady_clock::time_point deadline) EXCLUDES(engine.lock);

// For the chain's refresher: sleeps until a fetch is wanted, marks it started and returns
// its request number.
std::uint64_t next_aux_fetch(AuxEngine& engine, std::size_t chain) EXCLUDES(engine.lock);

// For the chain's refresher: takes the reply (or the call's failure) into the chain's
// template with its log line, rebuilds the tree, marks `request` done and wakes the waiting
// requests.
void finish_aux_fetch(AuxEngine& engine, std::size_t chain, std::uint64_t request,
                      const Result<JsonDocument>& reply) EXCLUDES(engine.lock);

}  // namespace skerrow
