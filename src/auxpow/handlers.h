// The two JSON-RPC methods the AuxPoW engine answers itself. Each takes the aux-state lock,
// sends its own response, and releases the lock on every path. On an error nothing has been
// sent and the worker answers with its failure reply.
#pragma once

#include <string_view>

#include "http/server_context.h"
#include "log/error.h"
#include "platform/arena.h"

namespace skerrow {

Status handle_getblocktemplate(int fd, std::string_view body, PageArena& arena, ServerContext& ctx);
Status handle_submitauxblock(int fd, std::string_view body, PageArena& arena, ServerContext& ctx);

}  // namespace skerrow
