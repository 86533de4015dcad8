// The two merged-mining methods: the front end's side of them. Each reads what the AuxPoW
// engine needs, calls the daemons without holding the aux-state lock, and sets the answer the
// engine computed. On an error the worker answers with its failure reply instead.
#pragma once

#include <string_view>

#include "error/error.h"
#include "server/request_tally.h"
#include "http/response.h"
#include "proxy/server_context.h"
#include "platform/arena.h"

namespace skerrow {

// The parent's template with the aux commitment and fields spliced in. Waits at most
// aux_wait_ms for aux work known to be stale when the request arrived (start-up, a found aux
// block, an aux notification); never for a routine refresh. Without aux chains: passthrough.
// A failed parent call sets tally.upstream_failed.
Status handle_getblocktemplate(Reply& out, std::string_view body, PageArena& arena, ServerContext& ctx,
                               RequestTally& tally);

// Builds the proof, posts it to the chain's aux daemon and relays its answer.
Status handle_submitauxblock(Reply& out, std::string_view body, PageArena& arena, ServerContext& ctx,
                             RequestTally& tally);

}  // namespace skerrow
