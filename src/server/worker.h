// The workers: each answers one complete request at a time and hands the connection back to
// the event loop, which writes the reply.
#pragma once

#include <cstddef>

#include "error/error.h"
#include "server/connection.h"
#include "server/front_end.h"
#include "server/job_queue.h"
#include "server/request_handler.h"

namespace skerrow {

// Answers the request of `c` into its reply with `handler`, with memory from its arena. A
// failure is logged as "HTTP handler error: <error>" and answered with the 502 failure reply.
void serve_request(Connection& c, const RequestHandler& handler);

// Starts `count` workers that pop Jobs forever, serve them and hand them to `front` (16 MiB
// stacks, 4096-byte guards; joinable, never joined). Returns the first start failure:
// OutOfMemory, SystemResources or Unexpected; workers started before it keep running.
// REQUIRES: `queue`, `front` and `handler` outlive the process's use of them.
Status start_workers(JobQueue& queue, FrontEnd& front, const RequestHandler& handler, std::size_t count);

}  // namespace skerrow
