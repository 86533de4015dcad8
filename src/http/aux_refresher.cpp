#include "http/aux_refresher.h"

#include <new>

#include "auxpow/refresh.h"
#include "auxpow/schedule.h"
#include "platform/arena.h"
#include "platform/thread.h"
#include "rpc/client.h"

namespace skerrow {
namespace {

// A chain's request body, endpoint and address are fixed after start-up, so they are read
// without the lock.
Result<JsonDocument> fetch_template(const AuxChainState& state, PageArena& arena, std::uint64_t timeout_ms) {
  try {
    auto body = aux_template_request(state, &arena);
    if (!body) return fail(body.error());
    return call_json(state.daemon, &arena, *body, timeout_ms);
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
}

[[noreturn]] void refresh_chain(AuxEngine& engine, std::size_t chain) {
  for (;;) {
    const std::uint64_t request = next_aux_fetch(engine, chain);
    PageArena arena;  // declared first: the reply living in it goes before it
    const Result<JsonDocument> reply = fetch_template(engine.states[chain], arena, engine.daemon_timeout_ms);
    finish_aux_fetch(engine, chain, request, reply);
  }
}

}  // namespace

Status start_aux_refresher(AuxEngine& engine) {
  for (std::size_t chain = 0; chain < engine.states.size(); ++chain) {
    auto started = start_thread([&engine, chain] { refresh_chain(engine, chain); });
    if (!started) return fail(started.error());
  }
  return {};
}

}  // namespace skerrow
