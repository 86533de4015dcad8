#include <new>

#include "auxpow/submission.h"
#include "proxy/aux_handlers.h"
#include "server/request_tally.h"
#include "http/response.h"
#include "metrics/metrics.h"
#include "proxy/daemon_call.h"
#include "proxy/daemon_pool.h"

namespace skerrow {
namespace {

void count_lookup(SnapshotSearch search) {
  switch (search) {
    case SnapshotSearch::found: metrics::snapshot_lookup(metrics::SnapshotLookup::found); break;
    case SnapshotSearch::not_found: metrics::snapshot_lookup(metrics::SnapshotLookup::not_found); break;
    case SnapshotSearch::branch_mismatch: metrics::snapshot_lookup(metrics::SnapshotLookup::branch_mismatch); break;
    case SnapshotSearch::not_searched: break;
  }
}

void count_refusal(SubmitRefused refused) {
  switch (refused) {
    case SubmitRefused::invalid_params: metrics::aux_submission_refused(metrics::SubmitRefusal::malformed); break;
    case SubmitRefused::unknown_chain: metrics::aux_submission_refused(metrics::SubmitRefusal::unknown_chain); break;
    case SubmitRefused::no_commitment: metrics::aux_submission_refused(metrics::SubmitRefusal::no_commitment); break;
    case SubmitRefused::stale:
    case SubmitRefused::no: break;
  }
}

metrics::SubmitResult submit_result(SubmitVerdict verdict) {
  switch (verdict) {
    case SubmitVerdict::accepted: return metrics::SubmitResult::accepted;
    case SubmitVerdict::rejected: return metrics::SubmitResult::rejected;
    case SubmitVerdict::failed: break;
  }
  return metrics::SubmitResult::failed;
}

// An aux node accepts only blocks it created: the proof goes to the node that issued the
// work first, and on to the others only when that one cannot be reached.
Result<JsonDocument> submit_to_issuer(DaemonPool& pool, const SubmitPlan& plan, PageArena& arena,
                                      std::uint64_t timeout_ms) {
  CallRules rules;
  rules.first = pool.issuer(plan.aux_hash);
  auto raw = pool.call(&arena, plan.request, timeout_ms, rules);
  if (!raw) return fail(raw.error());
  return parse_json(*raw, &arena);
}

}  // namespace

Status handle_submitauxblock(Reply& out, std::string_view body, PageArena& arena, ServerContext& ctx,
                             RequestTally& tally) {
  return catch_oom([&]() -> Status {
    auto plan = plan_submission(body, ctx.aux, &arena);
    if (!plan) {
      if (plan.error() == ErrorCode::InvalidAuxSubmit) metrics::aux_submission_refused(metrics::SubmitRefusal::malformed);
      return fail(plan.error());
    }
    count_lookup(plan->snapshot);
    count_refusal(plan->refused);
    if (!plan->answer.empty()) {
      if (plan->snapshot == SnapshotSearch::not_found) metrics::aux_submission(plan->chain, metrics::SubmitResult::stale);
      return out.set_copy(200, plan->answer);
    }
    // The chain's daemon as the plan found it. A hung daemon holds this worker alone, until
    // the daemon time limit.
    const ChainEndpoint& daemon = plan->daemon;
    // From here the aux daemon may take the block: a stop waits for its answer and the record.
    tally.outlasts_stop.store(true, std::memory_order_relaxed);
    DaemonPool* pool = ctx.aux_pools[plan->chain].load(std::memory_order_acquire);
    auto reply = pool != nullptr ? submit_to_issuer(*pool, *plan, arena, ctx.aux.daemon_timeout_ms)
                                 : timed_call_json(plan->chain, daemon, &arena, plan->request, ctx.aux.daemon_timeout_ms);
    SubmitVerdict verdict = SubmitVerdict::failed;
    auto answer = finish_submission(ctx.aux, *plan, reply, &arena, &verdict);
    if (!answer) return fail(answer.error());
    metrics::aux_submission(plan->chain, submit_result(verdict));
    return out.set_copy(200, *answer);
  });
}

}  // namespace skerrow
