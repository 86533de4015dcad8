// When aux templates are fetched. Every fetch happens off the request path, on the chain's
// own refresher thread; requests only ask for fetches and, for work known to be stale, wait
// a little for them. Everything here holds the aux-state lock only to read or write memory.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "auxpow/engine.h"
#include "error/error.h"
#include "json/reader.h"
#include "platform/thread_annotations.h"

namespace skerrow {

enum class FetchReason {
  routine,  // the refresh timer: the current work is still good
  stale,    // start-up, an accepted aux block, an aux notification: the work is stale or missing
};

// Asks for a fresh template of chain `chain` (an index into engine.states) while it still is
// the chain of generation `generation`, or of the chain named `chain_id`, or of every listed
// chain. Requests that arrive while the chain's fetch is in flight are served by one more
// fetch after it; a chain no longer listed is asked nothing.
void want_aux_fetch(AuxEngine& engine, std::size_t chain, std::uint64_t generation, FetchReason reason)
    EXCLUDES(engine.lock);
void want_named_aux_fetch(AuxEngine& engine, std::string_view chain_id, FetchReason reason) EXCLUDES(engine.lock);
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

// One fetch as its refresher makes it: the request number and what the entry held when the
// fetch started (settings are views into a configuration, which is never freed).
struct AuxFetch {
  std::uint64_t request = 0;
  std::uint64_t generation = 0;
  std::string_view chain_id;
  ChainEndpoint daemon;
  bool use_createauxblock = false;
  std::optional<std::string_view> payout_address;
};

// For the entry's refresher: sleeps until a fetch of its listed chain is wanted, marks it
// started and returns it.
AuxFetch next_aux_fetch(AuxEngine& engine, std::size_t chain) EXCLUDES(engine.lock);

// For the entry's refresher: takes the reply (or the call's failure) into the chain's
// template with its log line, rebuilds the tree, marks the request done and wakes the waiting
// requests. A fetch whose entry a reload has since given other settings or another chain
// (a newer generation) changes nothing: false.
bool finish_aux_fetch(AuxEngine& engine, std::size_t chain, const AuxFetch& fetch,
                      const Result<JsonDocument>& reply) EXCLUDES(engine.lock);

}  // namespace skerrow
