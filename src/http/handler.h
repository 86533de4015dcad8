// Serving one connection's request: read it, check its credentials, dispatch its body.
#pragma once

#include "error/error.h"
#include "http/request.h"
#include "http/request_tally.h"
#include "http/server_context.h"
#include "platform/arena.h"

namespace skerrow {

// Serves one connection: reads the request into a buffer from `arena` (within `deadline`, as
// read_request does) and answers it.
// Returns EndOfStream when not a byte arrived (nobody to answer, or a client that sent nothing
// before its deadline), success without writing
// when no complete header block arrived, the 401 reply's result (after its pause) when
// credentials are required and missing or wrong, the 400 "empty body" reply's result for an
// empty body, and otherwise the result of dispatching the body. The caller answers every error
// except EndOfStream with the failure reply. `tally` receives the request's kind and, for a
// success, its outcome (client_error when no complete header block arrived).
// REQUIRES: `fd` is a blocking socket owned by the caller.
Status handle_request(PageArena& arena, int fd, ServerContext& ctx, ClientDeadline deadline,
                      RequestTally& tally);

}  // namespace skerrow
