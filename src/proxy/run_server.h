// The proxy's start: the listening socket, the shared context with its aux engine, the server
// with the proxy's request handler, the aux refresher and the optional ZMQ relay.
#pragma once

#include <memory>
#include <string_view>

#include "auxpow/snapshot_store.h"
#include "config/config.h"
#include "error/error.h"

namespace skerrow {

// Starts the proxy and runs the event loop on the calling thread. Never returns once the loop
// runs: the process ends in the loop's clean stop (server/clean_stop.h) or is killed. A start-up
// failure is returned after releasing what had been set up.
// `store`, when given, keeps the answered templates' snapshots (the state file); otherwise
// they are kept in memory. `config_path` is the file SIGHUP reads again; both live as long as
// the process.
ErrorCode run_server(const Config& config, std::string_view config_path,
                     std::shared_ptr<SnapshotStore> store = nullptr);

}  // namespace skerrow
