#include "proxy/dispatch.h"

#include <new>

#include "http/access.h"
#include "proxy/aux_handlers.h"
#include "http/response.h"
#include "log/log.h"
#include "proxy/parent.h"

namespace skerrow {
Status dispatch_request(Reply& out, std::string_view body, PageArena& arena, ServerContext& ctx,
                        RequestTally& tally) {
  std::optional<std::string_view> method = find_method(body);
  // Checked before any branch: the AuxPoW methods are listed or refused like all others.
  const ClientAccess& access = *ctx.access.load(std::memory_order_acquire);
  if (access.allowed_methods) {
    auto check = check_method(body, method, *access.allowed_methods, &arena);
    if (!check) return fail(check.error());
    if (!check->allowed) {
      tally.outcome = metrics::RequestOutcome::not_allowed;
      return refuse_method(out, check->refused);
    }
  }
  if (method == "getblocktemplate") {
    tally.kind = metrics::RequestKind::getblocktemplate;
    Status answered = handle_getblocktemplate(out, body, arena, ctx, tally);
    if (answered) ctx.templates_served.fetch_add(1, std::memory_order_relaxed);
    return answered;
  }
  if (method == "submitauxblock") {
    tally.kind = metrics::RequestKind::submitauxblock;
    return handle_submitauxblock(out, body, arena, ctx, tally);
  }
  tally.kind = metrics::RequestKind::passthrough;
  return passthrough(out, body, arena, ctx, tally);
}

}  // namespace skerrow
