// The clean stop: SIGTERM or SIGINT closes the listener, lets the workers answer every
// connection already accepted (bounded by "stop_timeout_ms"), runs the stop hooks and exits 0.
// A second SIGTERM or SIGINT meanwhile exits at once; SIGHUP is logged and ignored.
#pragma once

#include <array>
#include <csignal>
#include <cstdint>
#include <functional>

#include "error/error.h"
#include "http/job_queue.h"
#include "platform/event_loop.h"

namespace skerrow {

// The signals the event loop reads. They must be blocked in every thread (block_signals in
// platform/signals.h, before the first thread starts) or one of them ends the process at once.
inline constexpr std::array<int, 3> kControlSignals = {SIGTERM, SIGINT, SIGHUP};

// Registers `hook` to run once at a clean stop: after the requests accepted before the signal
// were answered (or the time for them ran out), before the "stopped" line and the exit. Meant
// for what must be closed properly, such as a database. Hooks run on the event loop's thread,
// the last registered first, and must not throw. When the time ran out, workers may still be
// serving the requests that were cut off while the hooks run, so a hook must take whatever
// lock those requests take. A second signal skips the hooks, as does every other way the
// process ends. May be called from any thread. Errors: OutOfMemory.
Status on_clean_stop(std::move_only_function<void()> hook);

// Runs every hook registered so far, the last registered first, and forgets them.
void run_clean_stop_hooks();

// What a stop acts on; all of it belongs to the front end.
struct StopPlan {
  EventLoop* loop = nullptr;
  std::uint64_t signal_tag = 0;  // the tag of the loop's kControlSignals source
  int listen_fd = -1;
  JobQueue* queue = nullptr;
  std::uint64_t timeout_ms = 0;  // "stop_timeout_ms"; 0: whatever is unfinished is cut off
};

// Handles one of kControlSignals read by the event loop: SIGHUP is logged and returns;
// SIGTERM and SIGINT stop the process as described above and never return (exit status 0, or
// 128 plus the second signal's number when one ends the wait). REQUIRES: called on the event
// loop's thread, the only one that accepts.
void handle_control_signal(int signal, const StopPlan& plan);

}  // namespace skerrow
