#include "proxy/parent.h"

#include <new>

#include "http/access.h"
#include "log/log.h"
#include "proxy/daemon_call.h"

namespace skerrow {

namespace {

// With backups: a found block goes to every node at once; anything else to the first node in
// line, moving on as far as the method allows.
Result<std::pmr::string> call_parent_pool(DaemonPool& pool, std::string_view body, PageArena& arena,
                                          std::uint64_t timeout_ms) {
  const std::optional<std::string_view> method = find_method(body);
  const bool repeatable = repeatable_parent_call(body, method);
  if (repeatable && method == "submitblock") return pool.fan_out(&arena, body, timeout_ms);
  CallRules rules;
  rules.repeatable = repeatable;
  rules.template_call = method == "getblocktemplate";
  return pool.call(&arena, body, timeout_ms, rules);
}

}  // namespace

Result<std::string_view> call_parent(std::string_view body, PageArena& arena, ServerContext& ctx,
                                     RequestTally& tally) {
  auto reply = ctx.pools.parent != nullptr
                   ? call_parent_pool(*ctx.pools.parent, body, arena, ctx.daemon_timeout_ms)
                   : timed_call(metrics::kParentDaemon, ctx.parent, &arena, body, ctx.daemon_timeout_ms);
  if (!reply) {
    tally.upstream_failed = true;
    return fail(reply.error());
  }
  // Moved into a string that is never destroyed: its buffer goes back only with the arena.
  // Destroyed here, a large one would go back to the shared mapping cache at once, and another
  // request could write over it while this reply is still being sent.
  void* place = arena.try_allocate(sizeof(std::pmr::string), alignof(std::pmr::string));
  if (place == nullptr) return fail(ErrorCode::OutOfMemory);
  const auto* kept = new (place) std::pmr::string(std::move(*reply));
  return std::string_view(*kept);
}

Status passthrough(Reply& out, std::string_view body, PageArena& arena, ServerContext& ctx,
                   RequestTally& tally) {
  return catch_oom([&]() -> Status {
    log_line(LogLevel::info, LogScope::http,
             {"proxying ", body.size(), "-byte request to parent daemon"});
    auto reply = call_parent(body, arena, ctx, tally);
    if (!reply) return fail(reply.error());
    log_line(LogLevel::info, LogScope::http,
             {"got ", reply->size(), "-byte response from parent, sending to client"});
    // The parent's own HTTP status is not known here; its body is the answer either way.
    out.announce_sent = true;
    return out.set(200, *reply);
  });
}

}  // namespace skerrow
