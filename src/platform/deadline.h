// The end of the time an operation may take, on the monotonic clock. One type for every
// bounded wait: a client's request and reply, a daemon call, a clean stop.
#pragma once

#include <chrono>
#include <climits>
#include <cstdint>

namespace skerrow {

class Deadline {
 public:
  using Clock = std::chrono::steady_clock;

  Deadline() = default;  // no bound
  static Deadline never() { return Deadline(); }

  // `timeout_ms` after `start`; no bound for 0, nor for a limit past what the clock can hold.
  static Deadline after(std::uint64_t timeout_ms, Clock::time_point start = Clock::now()) {
    Deadline d;
    if (timeout_ms == 0) return d;
    const auto room = std::chrono::floor<std::chrono::milliseconds>(Clock::time_point::max() - start);
    if (timeout_ms >= static_cast<std::uint64_t>(room.count())) return d;
    d.bounded_ = true;
    d.end_ = start + std::chrono::milliseconds(static_cast<std::int64_t>(timeout_ms));
    return d;
  }

  static Deadline at(Clock::time_point end) {
    Deadline d;
    d.bounded_ = true;
    d.end_ = end;
    return d;
  }

  bool bounded() const { return bounded_; }
  // The moment itself; the clock's maximum without a bound.
  Clock::time_point when() const { return bounded_ ? end_ : Clock::time_point::max(); }
  bool passed(Clock::time_point now = Clock::now()) const { return bounded_ && now >= end_; }

  // The time-out argument of poll and its kin: -1 without a bound, otherwise the milliseconds
  // left, rounded up so that a wait never ends just short of the deadline and spins.
  int poll_ms(Clock::time_point now = Clock::now()) const {
    if (!bounded_) return -1;
    if (now >= end_) return 0;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(end_ - now).count();
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
  }

  // The earlier of two deadlines; a bounded one is always earlier than none.
  static Deadline earliest(const Deadline& a, const Deadline& b) {
    if (!a.bounded_) return b;
    if (!b.bounded_) return a;
    return a.end_ <= b.end_ ? a : b;
  }

 private:
  bool bounded_ = false;
  Clock::time_point end_{};
};

}  // namespace skerrow
