// Choosing what to do with a request body: the two AuxPoW methods go to their handlers,
// everything else goes to the parent daemon unchanged.
#pragma once

#include <string_view>

#include "error/error.h"
#include "server/request_tally.h"
#include "http/response.h"
#include "proxy/server_context.h"
#include "platform/arena.h"

namespace skerrow {

// Refuses a method that the allow-list (when configured) does not admit; otherwise sends the
// body to the method's handler or passes it through. Sets tally.kind (refused for the
// allow-list's refusal, with outcome not_allowed).
Status dispatch_request(Reply& out, std::string_view body, PageArena& arena, ServerContext& ctx,
                        RequestTally& tally);

}  // namespace skerrow
