// A latency histogram that any number of threads update without a lock.
//
// prometheus-cpp's own Histogram takes a mutex on every Observe; on the request path that
// would be one lock shared by every worker, so the buckets here are plain atomic counters and
// the cumulative form Prometheus wants is built only at scrape time.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include <prometheus/client_metric.h>

namespace skerrow::metrics {

// Upper bounds in seconds (inclusive, as Prometheus' "le"); +Inf follows implicitly. From a
// fast passthrough (well under a millisecond) to the default daemon time limit of 60 s.
inline constexpr std::array<double, 16> kLatencyBounds = {
    0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60};

class LatencyHistogram {
 public:
  LatencyHistogram() = default;
  LatencyHistogram(const LatencyHistogram&) = delete;
  LatencyHistogram& operator=(const LatencyHistogram&) = delete;

  // Counts one observation. A negative or NaN value counts as 0 s. Lock-free, relaxed.
  void observe(double seconds);

  // The histogram as the serializer takes it: cumulative buckets ending in +Inf, the count
  // (always equal to the +Inf bucket) and the sum. Taken while observations go on, so one
  // made during the snapshot may be in the buckets and not yet in the sum, or the reverse.
  prometheus::ClientMetric::Histogram snapshot() const;

 private:
  std::array<std::atomic<std::uint64_t>, kLatencyBounds.size() + 1> buckets_{};
  std::atomic<std::uint64_t> sum_ns_{0};  // whole nanoseconds: an integer add, no CAS loop
};

}  // namespace skerrow::metrics
