// Choosing what to do with a request body: the two AuxPoW methods go to their handlers,
// everything else goes to the parent daemon unchanged.
#pragma once

#include <optional>
#include <string_view>

#include "error/error.h"
#include "http/request_tally.h"
#include "http/response.h"
#include "http/server_context.h"
#include "platform/arena.h"

namespace skerrow {

// The text between the quotes after the first "\"method\"" key (tabs, spaces and ':' skipped
// in between), or nullopt. No JSON parsing, no escape processing.
std::optional<std::string_view> find_method(std::string_view body);

// Refuses a method that the allow-list (when configured) does not admit; otherwise sends the
// body to the method's handler or passes it through. Sets tally.kind (refused for the
// allow-list's refusal, with outcome not_allowed).
Status dispatch_request(Reply& out, std::string_view body, PageArena& arena, ServerContext& ctx,
                        RequestTally& tally);

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
