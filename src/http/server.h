// The HTTP front end: listening socket, worker pool, optional ZMQ relay, event loop.
#pragma once

#include "config/config.h"
#include "log/error.h"

namespace skerrow {

// Starts the proxy and runs the event loop on the calling thread. Never returns once the loop
// runs; a start-up failure is returned after releasing what had been set up.
ErrorCode run_server(const Config& config);

}  // namespace skerrow
