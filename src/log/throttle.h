// Keeps a kind of log line that can come in floods (one per refused client, per failed accept,
// per failed refresh) to at most one a second. The lines left out are counted, and the next
// line of the kind says how many there were; the metrics keep every event regardless.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace skerrow {

class LogThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  // An event of the kind happened at `now`: the number of lines left out since the last one
  // written when a line is to be written now, nothing when this one is left out too. Not
  // safe for concurrent use: each throttle belongs to one thread or lives under a lock.
  std::optional<std::uint64_t> admit(Clock::time_point now) {
    if (written_ && now - last_ < std::chrono::seconds(1)) {
      ++left_out_;
      return std::nullopt;
    }
    written_ = true;
    last_ = now;
    const std::uint64_t left_out = left_out_;
    left_out_ = 0;
    return left_out;
  }

 private:
  bool written_ = false;
  Clock::time_point last_{};
  std::uint64_t left_out_ = 0;
};

}  // namespace skerrow
