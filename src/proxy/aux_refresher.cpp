#include "proxy/aux_refresher.h"

#include <cstdint>
#include <new>

#include "auxpow/refresh.h"
#include "auxpow/schedule.h"
#include "metrics/metrics.h"
#include "platform/arena.h"
#include "platform/thread.h"
#include "proxy/daemon_call.h"
#include "proxy/daemon_pool.h"

namespace skerrow {
namespace {

// With backups: from the first node in line, remembering which node issued the work.
Result<JsonDocument> fetch_from_pool(DaemonPool& pool, std::string_view body, PageArena& arena,
                                     std::uint64_t timeout_ms) {
  CallRules rules;
  rules.repeatable = true;
  rules.template_call = true;
  std::size_t node = 0;
  auto raw = pool.call(&arena, body, timeout_ms, rules, &node);
  if (!raw) return fail(raw.error());
  auto document = parse_json(*raw, &arena);
  if (!document) return document;
  const JsonValue* result = get_member(document->root(), "result");
  const JsonValue* hash = result != nullptr && result->is_object() ? get_member(*result, "hash") : nullptr;
  if (hash != nullptr && hash->is_string()) pool.remember_issuer(hash->as_text(), node);
  return document;
}

Result<JsonDocument> fetch_template(const AuxEngine& engine, std::size_t chain, const AuxFetch& fetch,
                                    DaemonPool* pool, PageArena& arena) {
  return catch_oom([&]() -> Result<JsonDocument> {
    auto body = aux_template_request(fetch.use_createauxblock, fetch.payout_address, &arena);
    if (!body) return fail(body.error());
    if (pool == nullptr) return timed_call_json(chain, fetch.daemon, &arena, *body, engine.daemon_timeout_ms);
    return fetch_from_pool(*pool, *body, arena, engine.daemon_timeout_ms);
  });
}

// After `chain`'s reply was applied and the tree rebuilt: that chain's template as the metrics
// see it, and every chain's slot (a rebuild may move them all, or leave colliding chains
// out). Published under the lock so that two refreshers cannot leave an older tree's slots
// last; the hooks only store atomics.
void publish_fetch(AuxEngine& engine, std::size_t chain, bool got_json) {
  if (metrics::detail::get() == nullptr) return;  // the aux-state lock is the workers' too
  FutexLock guard(engine.lock);
  for (std::size_t i = 0; i < engine.states.size(); ++i) {
    const AuxChainState& state = engine.states[i];
    if (!state.listed) continue;
    const bool in_tree = state.templ.valid;
    metrics::aux_tree_slot(i, in_tree ? static_cast<std::int64_t>(state.slot) : -1);
    if (i == chain && !got_json) {
      metrics::aux_fetch_failed(i);
    } else if (i == chain && in_tree) {
      metrics::aux_template_fetched(i, state.templ.diff);
    } else if (!in_tree) {
      // An RPC error, a bad hash or target, or a collision (which can also strike a chain
      // whose own fetch went well earlier).
      metrics::aux_template_invalid(i);
    }
  }
}

// The entry's refresher, for whichever chain the entry holds: its pool is read at every
// fetch, as a reload may have given the entry another.
[[noreturn]] void refresh_chain(AuxEngine& engine, std::size_t chain, const AuxPoolTable& pools) {
  for (;;) {
    const AuxFetch fetch = next_aux_fetch(engine, chain);
    DaemonPool* pool = pools[chain].load(std::memory_order_acquire);
    PageArena arena;  // declared first: the reply living in it goes before it
    const Result<JsonDocument> reply = fetch_template(engine, chain, fetch, pool, arena);
    if (finish_aux_fetch(engine, chain, fetch, reply)) publish_fetch(engine, chain, reply.has_value());
  }
}

}  // namespace

Status start_aux_refreshers(AuxEngine& engine, const AuxPoolTable& pools, std::size_t& started) {
  std::size_t entries = 0;
  {
    FutexLock guard(engine.lock);
    entries = engine.states.size();
  }
  for (; started < entries; ++started) {
    const std::size_t chain = started;
    auto thread = start_thread([&engine, chain, &pools] { refresh_chain(engine, chain, pools); });
    if (!thread) return fail(thread.error());
  }
  return {};
}

}  // namespace skerrow
