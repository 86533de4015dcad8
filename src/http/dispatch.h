// Choosing what to do with a request body: the two AuxPoW methods go to their handlers,
// everything else goes to the parent daemon unchanged.
#pragma once

#include <optional>
#include <string_view>

#include "http/server_context.h"
#include "log/error.h"
#include "platform/arena.h"

namespace skerrow {

// The text between the quotes after the first "\"method\"" key (tabs, spaces and ':' skipped
// in between), or nullopt. No JSON parsing, no escape processing.
std::optional<std::string_view> find_method(std::string_view body);

// Refuses a method that the allow-list (when configured) does not admit; otherwise sends the
// body to the method's handler or passes it through.
Status dispatch_request(int fd, std::string_view body, PageArena& arena, ServerContext& ctx);

// Forwards the body to the parent daemon and returns its reply with status 200, logging the
// proxying, got and sent lines.
Status passthrough(int fd, std::string_view body, PageArena& arena, ServerContext& ctx);

}  // namespace skerrow
