// The server: one event loop that owns every client connection, from accept to close, and the
// workers that answer complete requests with the handler the program gives it. It reads
// requests and writes replies; what a request means is the handler's business.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "error/error.h"
#include "http/access.h"
#include "server/request_handler.h"

namespace skerrow {

// What a reloaded configuration may change in the server itself.
struct ServerLimits {
  std::uint64_t client_timeout_ms = 0;
  const ClientAccess* access = nullptr;  // lives as long as the process
  std::size_t max_connections = 1;
  std::size_t request_memory = 0;
  std::uint64_t stop_timeout_ms = 0;
  std::uint64_t tick_ms = 0;
};

struct ServerSettings {
  std::uint64_t client_timeout_ms = 0;  // each phase's bound on a client (0: none)
  const ClientAccess* access = nullptr;  // the credentials asked for; lives as long as the process
  std::size_t max_connections = 1;
  std::size_t request_memory = 0;        // bytes that requests still arriving may hold together
  std::size_t workers = 1;
  std::uint64_t stop_timeout_ms = 0;     // a clean stop's bound on the connections still open
  // Called on the loop's thread every `tick_ms` (0: not now; a reload may set it). Must not block.
  std::uint64_t tick_ms = 0;
  std::function<void()> tick;
  // Called on the loop's thread at SIGHUP, outside a stop: reads the configuration again,
  // applies what the program keeps, and returns the server's part, which holds for what comes
  // next; nothing when the file could not be used (everything stays as it was). Without it
  // SIGHUP is only logged.
  std::function<std::optional<ServerLimits>()> reload;
  // Under a service manager: the one-line status it shows, given the open connections. Called
  // on the loop's thread every few seconds. Must not block.
  std::function<std::string(std::size_t open)> describe;
};

class Server;

// Blocks the signals the event loop reads (SIGTERM, SIGINT, SIGHUP) in the calling thread.
// Call it before the first thread of the process starts, so that every thread inherits the
// mask; until the loop runs, those signals wait.
void block_control_signals();

// Builds the event loop around the listening socket `listen_fd` and starts the workers, which
// answer with `handler`; logs "worker pool: <n> threads started". Nothing is accepted until
// run_server_loop. The server is never freed: workers hold pointers into it. Errors: the
// event loop's, OutOfMemory, and a worker's start failure (workers started before it keep
// running, idle).
Result<Server*> start_server(int listen_fd, ServerSettings settings, RequestHandler handler);

// Runs the event loop on the calling thread. Never returns: the process ends in the loop's
// clean stop (server/clean_stop.h) or is killed.
[[noreturn]] void run_server_loop(Server& server);

}  // namespace skerrow
