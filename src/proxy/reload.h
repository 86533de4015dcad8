// The configuration read again at SIGHUP. Keys the proxy can change while it runs take effect
// for the requests that arrive after it; keys bound at the start keep their running values.
#pragma once

#include <optional>

#include "proxy/server_context.h"
#include "server/server.h"

namespace skerrow {

// Reads ctx.config_path again and compares it with the configuration in force. Logs
// "reloading configuration <path>", one line per changed key (a key applied:
// "reload: <key> changed"; a key bound at the start: "reload: <key> changed, kept until a
// restart"), and "configuration reloaded, <n> changes applied". Applied: the credentials,
// "allowed_methods", the time limits, "max_connections", "request_memory_mb" and
// "work_retention_s". A file that cannot be used is logged as at the start, with
// "configuration not reloaded, running values kept", and changes nothing (nullopt).
// REQUIRES: called on the event loop's thread, the only one that reloads.
std::optional<ServerLimits> reload_configuration(ServerContext& ctx);

// The server's part of a configuration, as start-up and reloads give it to the server.
ServerLimits server_limits(const Config& config, const ServerContext& ctx);

}  // namespace skerrow
