// What became of one request, for the metrics, and the clock reads the metrics need. The
// handlers fill the tally as they decide; the worker counts it once the connection is done.
#pragma once

#include <chrono>

#include "metrics/metrics.h"

namespace skerrow {

struct RequestTally {
  // Until dispatch names the method, the front end is answering by itself.
  metrics::RequestKind kind = metrics::RequestKind::refused;
  // The outcome when the handler succeeds (a reply went out, or there was nothing to answer).
  metrics::RequestOutcome outcome = metrics::RequestOutcome::ok;
  // A failure came from the parent daemon: the same error names (BrokenPipe, a reset) are
  // the client's doing when they come from writing the reply.
  bool upstream_failed = false;
};

// Seconds since `since`, or 0 without the metrics endpoint: without it nothing reads the
// result, and the request path is spared the clock read.
inline double metrics_seconds_since(std::chrono::steady_clock::time_point since) {
  if (metrics::detail::get() == nullptr) return 0.0;
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Times one daemon call for metrics::daemon_call, under the same rule.
class DaemonCallTimer {
 public:
  DaemonCallTimer()
      : start_(metrics::detail::get() != nullptr ? std::chrono::steady_clock::now()
                                                 : std::chrono::steady_clock::time_point{}) {}
  double seconds() const { return metrics_seconds_since(start_); }

 private:
  std::chrono::steady_clock::time_point start_;
};

}  // namespace skerrow
