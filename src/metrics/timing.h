// The clock reads the metrics need, and none without them.
#pragma once

#include <chrono>

#include "metrics/metrics.h"

namespace skerrow {

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
