// The HTTP front end: listening socket, worker pool, optional ZMQ relay, event loop.
#pragma once

#include <memory>

#include "auxpow/snapshot_store.h"
#include "config/config.h"
#include "error/error.h"

namespace skerrow {

// Blocks the signals the event loop reads (SIGTERM, SIGINT, SIGHUP) in the calling thread.
// Call it before the first thread of the process starts, so that every thread inherits the
// mask; until the loop runs, those signals wait.
void block_control_signals();

// Starts the proxy and runs the event loop on the calling thread. Never returns once the loop
// runs: the process ends in the loop's clean stop (http/clean_stop.h) or is killed. A start-up
// failure is returned after releasing what had been set up.
// `store`, when given, keeps the answered templates' snapshots (the state file); otherwise
// they are kept in memory.
ErrorCode run_server(const Config& config, std::shared_ptr<SnapshotStore> store = nullptr);

}  // namespace skerrow
