// What became of one request, for the metrics. The handlers fill the tally as they decide;
// the front end counts it once the connection is done.
#pragma once

#include <atomic>

#include "metrics/metrics.h"
#include "metrics/timing.h"

namespace skerrow {

struct RequestTally {
  // Until dispatch names the method, the front end is answering by itself.
  metrics::RequestKind kind = metrics::RequestKind::refused;
  // The outcome when the handler succeeds (a reply went out, or there was nothing to answer).
  metrics::RequestOutcome outcome = metrics::RequestOutcome::ok;
  // A failure came from the parent daemon: the same error names (BrokenPipe, a reset) are
  // the client's doing when they come from writing the reply.
  bool upstream_failed = false;
  // Set by a handler, from its worker, once cutting the request off would lose what it did
  // (a block handed to a daemon): a stop then waits for its answer past its own time limit.
  // Read by the event loop while the worker still runs.
  std::atomic<bool> outlasts_stop{false};
};

}  // namespace skerrow
