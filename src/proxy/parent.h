// The parent daemon's calls, in one place: the timed call that every request to the parent
// makes, and the passthrough that answers the pool with the parent's reply unchanged.
#pragma once

#include <string_view>

#include "error/error.h"
#include "http/response.h"
#include "platform/arena.h"
#include "proxy/server_context.h"
#include "server/request_tally.h"

namespace skerrow {

// Calls the parent daemon with `body` within the daemon time limit and counts the call for
// the metrics; a failure sets tally.upstream_failed. The reply is kept in `arena` until the
// arena is released, not just until the caller returns: the answer is written from it later.
// Errors: the daemon client's.
Result<std::string_view> call_parent(std::string_view body, PageArena& arena, ServerContext& ctx,
                                     RequestTally& tally);

// Forwards the body to the parent daemon and answers its reply with status 200, logging the
// proxying and got lines (the sent line follows once the reply is out). A failed parent call sets tally.upstream_failed.
Status passthrough(Reply& out, std::string_view body, PageArena& arena, ServerContext& ctx,
                   RequestTally& tally);

}  // namespace skerrow
