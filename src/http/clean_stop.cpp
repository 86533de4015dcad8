#include "http/clean_stop.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "log/log.h"
#include "platform/futex.h"
#include "platform/io.h"
#include "platform/signals.h"

namespace skerrow {
namespace {

// How often the wait for the workers looks at the count of unfinished jobs. The workers do
// not wake the loop: a stop happens once, and a few milliseconds more do not matter there.
constexpr std::uint64_t kDrainCheckMs = 10;

FutexMutex hooks_lock;

std::vector<std::move_only_function<void()>>& hooks() {
  static std::vector<std::move_only_function<void()>> list;  // guarded by hooks_lock
  return list;
}

void log_hangup_ignored() {
  log_line(LogLevel::info, LogScope::skerrow, {"SIGHUP ignored (no reload)"});
}

// Waits until every accepted job is finished or `timeout_ms` passed; returns how many are
// left. A second stop signal ends the process here.
std::size_t finish_accepted(const StopPlan& plan) {
  using std::chrono::steady_clock;
  const auto deadline =
      steady_clock::now() + std::chrono::milliseconds(std::min(plan.timeout_ms, kMaxTimerMs));
  for (;;) {
    const std::size_t left = plan.queue->unfinished();
    const auto now = steady_clock::now();
    if (left == 0 || now >= deadline) return left;
    const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
    const std::uint64_t wait_ms = std::min<std::uint64_t>(static_cast<std::uint64_t>(remaining), kDrainCheckMs);
    auto events = plan.loop->wait_for(wait_ms);
    if (!events) {
      // The signals cannot be read for now; the count and the deadline still can.
      std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
      continue;
    }
    for (const LoopEvent& event : *events) {
      // The listener is closed and the aux refresh no longer matters: only signals count.
      if (event.tag != plan.signal_tag) continue;
      const int again = static_cast<int>(event.data);
      if (again == SIGHUP) {
        log_hangup_ignored();
        continue;
      }
      log_line(LogLevel::warning, LogScope::skerrow,
               {signal_name(again), " during the stop: exiting at once, ", plan.queue->unfinished(),
                " requests cut off"});
      std::_Exit(128 + again);
    }
  }
}

[[noreturn]] void stop(int signal, const StopPlan& plan) {
  // Only this thread accepts, so the count logged is every connection the stop will wait for.
  log_line(LogLevel::info, LogScope::skerrow,
           {"stopping: ", signal_name(signal), ", finishing ", plan.queue->unfinished(), " requests"});
  // Closed rather than paused: a pool that connects from now on is refused at once and can
  // turn to another proxy, instead of waiting in the backlog of one that will not answer.
  close_fd(plan.listen_fd);
  const std::size_t cut_off = finish_accepted(plan);
  run_clean_stop_hooks();
  if (cut_off == 0) {
    log_line(LogLevel::info, LogScope::skerrow, {"stopped"});
  } else {
    log_line(LogLevel::info, LogScope::skerrow, {"stopped, ", cut_off, " requests cut off"});
  }
  // No static destructors and atexit handlers: workers, refreshers and library threads are
  // still running and would find their objects torn down under them.
  std::_Exit(0);
}

}  // namespace

Status on_clean_stop(std::move_only_function<void()> hook) {
  std::lock_guard guard(hooks_lock);
  return catch_oom([&]() -> Status {
    hooks().push_back(std::move(hook));
    return {};
  });
}

void run_clean_stop_hooks() {
  std::vector<std::move_only_function<void()>> taken;
  {
    std::lock_guard guard(hooks_lock);
    taken.swap(hooks());
  }
  for (auto hook = taken.rbegin(); hook != taken.rend(); ++hook) (*hook)();
}

void handle_control_signal(int signal, const StopPlan& plan) {
  if (signal == SIGHUP) {
    log_hangup_ignored();
    return;
  }
  stop(signal, plan);
}

}  // namespace skerrow
