#include "server/clean_stop.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <new>
#include <utility>
#include <vector>

#include "log/log.h"
#include "platform/futex.h"
#include "platform/io.h"
#include "platform/event_loop.h"
#include "platform/service_manager.h"
#include "platform/signals.h"
#include "platform/thread_annotations.h"

namespace skerrow {
namespace {

FutexMutex hooks_lock;

std::vector<std::move_only_function<void()>>& hooks() REQUIRES(hooks_lock) {
  static std::vector<std::move_only_function<void()>> list;
  return list;
}

void log_hangup_ignored(bool stopping) {
  if (stopping) {
    log_line(LogLevel::info, LogScope::skerrow, {"SIGHUP ignored during the stop"});
  } else {
    log_line(LogLevel::info, LogScope::skerrow, {"SIGHUP ignored (no reload)"});
  }
}

}  // namespace

Status on_clean_stop(std::move_only_function<void()> hook) {
  FutexLock guard(hooks_lock);
  auto& list = hooks();
  return catch_oom([&]() -> Status {
    list.push_back(std::move(hook));
    return {};
  });
}

void run_clean_stop_hooks() {
  std::vector<std::move_only_function<void()>> taken;
  {
    FutexLock guard(hooks_lock);
    taken.swap(hooks());
  }
  for (auto hook = taken.rbegin(); hook != taken.rend(); ++hook) (*hook)();
}

void handle_control_signal(int signal, StopState& state, int listen_fd, std::size_t open,
                           std::uint64_t timeout_ms) {
  if (signal == SIGHUP) {
    log_hangup_ignored(state.stopping);
    return;
  }
  if (state.stopping) {
    log_line(LogLevel::warning, LogScope::skerrow,
             {signal_name(signal), " during the stop: exiting at once, ", open, " requests cut off"});
    std::_Exit(128 + signal);
  }
  // Closed rather than paused: a pool that connects from now on is refused at once and can
  // turn to another proxy, instead of waiting in the backlog of one that will not answer.
  // Closed before the line, so that whoever reads it finds the port refusing.
  close_fd(listen_fd);
  // Only this thread accepts, so the count logged is every connection the stop will wait for.
  log_line(LogLevel::info, LogScope::skerrow,
           {"stopping: ", signal_name(signal), ", finishing ", open, " requests"});
  service::stopping();
  state.stopping = true;
  state.deadline = Deadline::at(std::chrono::steady_clock::now() +
                                std::chrono::milliseconds(std::min(timeout_ms, kMaxTimerMs)));
}

void finish_stop_when_done(const StopState& state, std::size_t open, std::size_t outlasting) {
  if (!state.stopping) return;
  if (open > 0 && (!state.deadline.passed() || outlasting > 0)) return;
  // Without a cut (nothing was open when the time ran out) everything open now is cut off.
  const std::size_t cut_off = state.cut ? state.cut_off : open;
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

}  // namespace skerrow
