// The workers that serve the queued connections, one at a time each, from start to close.
#pragma once

#include <cstddef>

#include "error/error.h"
#include "http/job_queue.h"
#include "http/server_context.h"

namespace skerrow {

// Serves one popped Job: handles the request with a fresh request arena under the client time
// limit (see client_deadline), answers any error except EndOfStream with a logged 502 reply,
// releases the arena and closes the descriptor.
void serve_job(Job job, ServerContext& ctx);

// Starts `count` workers that pop and serve Jobs forever (16 MiB stacks, 4096-byte guards;
// joinable, never joined). Returns the first start failure: OutOfMemory, SystemResources or Unexpected;
// workers started before it keep running.
// REQUIRES: `queue` and its context outlive the process's use of them (they are never freed).
Status start_workers(JobQueue& queue, std::size_t count);

}  // namespace skerrow
