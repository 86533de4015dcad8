// The process-wide stderr lock: re-entrant (owner thread id + depth), waiters sleep.
// Everything written to standard error is written while holding it.
#pragma once

namespace skerrow {

void lock_stderr();
void unlock_stderr();

struct StderrGuard {
  StderrGuard() { lock_stderr(); }
  ~StderrGuard() { unlock_stderr(); }
  StderrGuard(const StderrGuard&) = delete;
  StderrGuard& operator=(const StderrGuard&) = delete;
};

}  // namespace skerrow
