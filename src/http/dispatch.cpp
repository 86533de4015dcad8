#include "http/dispatch.h"

#include <new>

#include "http/access.h"
#include "http/aux_handlers.h"
#include "http/response.h"
#include "log/log.h"
#include "rpc/client.h"

namespace skerrow {
namespace {

constexpr std::string_view kMethodKey = "\"method\"";

bool skipped_after_key(char c) { return c == ' ' || c == '\t' || c == ':'; }

}  // namespace

std::optional<std::string_view> find_method(std::string_view body) {
  std::size_t key = body.find(kMethodKey);
  if (key == std::string_view::npos) return std::nullopt;
  std::size_t i = key + kMethodKey.size();
  while (i < body.size() && skipped_after_key(body[i])) ++i;
  if (i >= body.size() || body[i] != '"') return std::nullopt;
  std::size_t close = body.find('"', i + 1);
  if (close == std::string_view::npos) return std::nullopt;
  return body.substr(i + 1, close - i - 1);
}

Status dispatch_request(Reply& out, std::string_view body, PageArena& arena, ServerContext& ctx,
                        RequestTally& tally) {
  std::optional<std::string_view> method = find_method(body);
  // Checked before any branch: the AuxPoW methods are listed or refused like all others.
  if (ctx.access.allowed_methods) {
    auto check = check_method(body, method, *ctx.access.allowed_methods, &arena);
    if (!check) return fail(check.error());
    if (!check->allowed) {
      tally.outcome = metrics::RequestOutcome::not_allowed;
      return refuse_method(out, check->refused);
    }
  }
  if (method == "getblocktemplate") {
    tally.kind = metrics::RequestKind::getblocktemplate;
    return handle_getblocktemplate(out, body, arena, ctx, tally);
  }
  if (method == "submitauxblock") {
    tally.kind = metrics::RequestKind::submitauxblock;
    return handle_submitauxblock(out, body, arena, ctx);
  }
  tally.kind = metrics::RequestKind::passthrough;
  return passthrough(out, body, arena, ctx, tally);
}

Result<std::string_view> call_parent(std::string_view body, PageArena& arena, ServerContext& ctx,
                                     RequestTally& tally) {
  const DaemonCallTimer timer;
  auto reply = call(ctx.parent, &arena, body, ctx.daemon_timeout_ms);
  metrics::daemon_call(metrics::kParentDaemon, reply ? ErrorCode::None : reply.error(), timer.seconds());
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
