// What the operating system reports about this process: CPU time, memory, descriptors and
// the start time, for the process_* metrics.
#pragma once

#include <optional>

namespace skerrow {

// Every field is what the system told at the time of the call; a field the system does not
// report (or that could not be read) is absent rather than zero, so nobody charts a fake 0.
struct ProcessStats {
  std::optional<double> cpu_seconds;         // user + system time so far
  std::optional<double> resident_bytes;
  std::optional<double> virtual_bytes;
  std::optional<double> open_fds;
  std::optional<double> max_fds;             // the soft RLIMIT_NOFILE
  std::optional<double> start_time_seconds;  // since the Unix epoch
};

// Reads the figures afresh (Linux: /proc/self/stat, /proc/stat and /proc/self/fd; elsewhere
// getrusage and getrlimit only). Never fails: what cannot be read stays absent. Safe on any
// thread; meant for scrape time, not for a request's path.
ProcessStats read_process_stats();

}  // namespace skerrow
