#include <chrono>
#include <new>

#include "auxpow/coinbase.h"
#include "auxpow/rewrite.h"
#include "auxpow/schedule.h"
#include "auxpow/snapshot.h"
#include "auxpow/work.h"
#include "proxy/aux_handlers.h"
#include "proxy/parent.h"
#include "http/response.h"
#include "json/skim.h"
#include "log/log.h"
#include "rpc/client.h"

namespace skerrow {
namespace {

enum class BranchOutcome { usable, too_many };

// Reads the template's transaction ids and folds them into the coinbase branch. A reply
// without a usable transaction list leaves the branch empty: the template is still served.
BranchOutcome read_coinbase_branch(const TemplateOutline& outline, PageArena& arena, BranchMemo& memo,
                                   CoinbaseBranch& branch) {
  auto level = template_tree_level(outline, &arena);
  if (!level || !*level) return BranchOutcome::usable;
  std::pmr::vector<Hash32>& hashes = **level;
  const std::size_t count = hashes.size() - 1;
  auto folded = memo.fold(hashes);
  if (!folded) {
    log_line(LogLevel::warning, LogScope::http,
             {"getblocktemplate: ", count, " transactions are more than a coinbase branch of ",
              kMaxCoinbaseBranch, " entries can prove, answering without aux commitment"});
    return BranchOutcome::too_many;
  }
  branch = *folded;
  log_line(LogLevel::info, LogScope::http,
           {"coinbase Merkle branch: depth=", branch.length, " from ", count, " transactions"});
  return BranchOutcome::usable;
}

Status serve_template(Reply& out, std::string_view body, PageArena& arena, ServerContext& ctx, RequestTally& tally) {
  AuxEngine& engine = ctx.aux;
  // Only fetches asked for before this request arrived are worth waiting for.
  const StaleFetches stale = pending_stale_fetches(engine);
  const auto wait_until = std::chrono::steady_clock::now() + std::chrono::milliseconds(engine.aux_wait_ms.load());

  log_line(LogLevel::info, LogScope::http, {"getblocktemplate: forwarding ", body.size(), " bytes to parent"});
  auto reply = call_parent(body, arena, ctx, tally);
  if (!reply) return fail(reply.error());
  log_line(LogLevel::info, LogScope::http, {"getblocktemplate: got ", reply->size(), " bytes from parent"});

  // The reply stays in the arena until the answer is sent, so the outline's txids need no copy.
  // Work is handed out only on a reply read as a strict parse reads it: on any other, a
  // commitment placed by guess would go with a snapshot that proves nothing.
  auto outline = skim_template(*reply, &arena);
  if (!outline) {
    if (outline.error() == ErrorCode::OutOfMemory) return fail(outline.error());
    log_line(LogLevel::warning, LogScope::http,
             {"getblocktemplate: parent's reply is not valid JSON, sent without aux work"});
    return out.set(200, *reply);
  }
  if (!find_commitment_place(*outline).found) {
    // No snapshot either: a share on this work commits to nothing.
    log_line(LogLevel::warning, LogScope::http,
             {"getblocktemplate: no place for the aux commitment in the parent's reply"});
    return out.set(200, *reply);
  }
  CoinbaseBranch branch;
  if (read_coinbase_branch(*outline, arena, ctx.branch_memo, branch) == BranchOutcome::too_many) {
    // No snapshot either: nothing committed, so nothing can be submitted against it.
    return out.set(200, *reply);
  }

  // The parent call ran meanwhile; what is left of the wait usually costs nothing.
  if (engine.aux_wait_ms > 0) wait_for_fetches(engine, stale, wait_until);
  // One consistent version of the aux state, committed to before anything is sent.
  AuxWork work;
  {
    FutexLock guard(engine.lock);
    take_aux_work(engine, work);
  }
  // Kept before the answer leaves, so no share on it can arrive before its snapshot. A store
  // that could not write its file still keeps the snapshot in memory: the pool gets its work.
  if (auto saved = save_snapshot(engine, work, branch, store_now()); !saved) {
    if (saved.error() == ErrorCode::OutOfMemory) return saved;
    log_line(LogLevel::warning, LogScope::auxpow, {"state file write failed: ", saved.error()});
  }
  metrics::snapshot_stored();
  if (!work.any_valid()) return out.set(200, *reply);

  // Sent from the parent's reply and the few bytes added, without copying the template. The
  // splice lives in the arena, as the reply does, until the answer is written; it is never
  // destroyed, which is safe because all it holds is arena memory.
  void* place = arena.try_allocate(sizeof(TemplateSplice), alignof(TemplateSplice));
  if (place == nullptr) return fail(ErrorCode::OutOfMemory);
  TemplateSplice& answer = *new (place) TemplateSplice(&arena);
  if (auto s = splice_template(*reply, work, *outline, answer); !s) return s;
  return out.set(200, answer.pieces());
}

}  // namespace

Status handle_getblocktemplate(Reply& out, std::string_view body, PageArena& arena, ServerContext& ctx,
                               RequestTally& tally) {
  // Without aux chains (a reload may add some) the template is the parent's.
  if (ctx.aux.listed.load(std::memory_order_relaxed) == 0) return passthrough(out, body, arena, ctx, tally);
  return catch_oom([&]() -> Status {
    return serve_template(out, body, arena, ctx, tally);
  });
}

}  // namespace skerrow
