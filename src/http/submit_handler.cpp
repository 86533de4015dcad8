#include <new>

#include "auxpow/submission.h"
#include "http/aux_handlers.h"
#include "http/response.h"
#include "rpc/client.h"

namespace skerrow {

Status handle_submitauxblock(int fd, std::string_view body, PageArena& arena, ServerContext& ctx) {
  try {
    auto plan = plan_submission(body, ctx.aux, &arena);
    if (!plan) return fail(plan.error());
    if (!plan->answer.empty()) return send_response(fd, 200, plan->answer);
    // A chain's endpoint is fixed after start-up: read without the lock. A hung daemon holds
    // this worker alone, until the daemon time limit.
    const ChainEndpoint& daemon = ctx.aux.states[plan->chain].daemon;
    auto reply = call_json(daemon, &arena, plan->request, ctx.aux.daemon_timeout_ms);
    auto answer = finish_submission(ctx.aux, *plan, reply, &arena);
    if (!answer) return fail(answer.error());
    return send_response(fd, 200, *answer);
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
}

}  // namespace skerrow
