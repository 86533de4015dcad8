#include "metrics/histogram.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace skerrow::metrics {

void LatencyHistogram::observe(double seconds) {
  if (!(seconds > 0)) seconds = 0;  // also NaN
  // lower_bound: a value equal to a bound belongs to that bound's bucket ("le").
  auto at = std::lower_bound(kLatencyBounds.begin(), kLatencyBounds.end(), seconds);
  buckets_[static_cast<std::size_t>(at - kLatencyBounds.begin())].fetch_add(
      1, std::memory_order_relaxed);
  const double ns = seconds * 1e9;
  // Beyond what llround can hold (about 292 years) the value is nonsense anyway.
  const auto whole = ns >= 9e18 ? std::uint64_t{9'000'000'000'000'000'000u}
                                : static_cast<std::uint64_t>(std::llround(ns));
  sum_ns_.fetch_add(whole, std::memory_order_relaxed);
}

prometheus::ClientMetric::Histogram LatencyHistogram::snapshot() const {
  prometheus::ClientMetric::Histogram out;
  out.bucket.reserve(buckets_.size());
  std::uint64_t cumulative = 0;
  for (std::size_t i = 0; i < buckets_.size(); ++i) {
    cumulative += buckets_[i].load(std::memory_order_relaxed);
    prometheus::ClientMetric::Bucket bucket;
    bucket.cumulative_count = cumulative;
    bucket.upper_bound = i < kLatencyBounds.size() ? kLatencyBounds[i]
                                                   : std::numeric_limits<double>::infinity();
    out.bucket.push_back(bucket);
  }
  out.sample_count = cumulative;
  out.sample_sum = static_cast<double>(sum_ns_.load(std::memory_order_relaxed)) / 1e9;
  return out;
}

}  // namespace skerrow::metrics
