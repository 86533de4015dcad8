// The clean stop: SIGTERM or SIGINT closes the listener, lets the front end answer every
// connection already accepted (bounded by "stop_timeout_ms"), runs the stop hooks and exits 0.
// A second SIGTERM or SIGINT meanwhile exits at once; SIGHUP during the stop is logged and ignored.
#pragma once

#include <array>
#include <csignal>
#include <cstdint>
#include <functional>

#include "error/error.h"
#include "platform/deadline.h"

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

// Where a stop stands. The event loop keeps serving every open connection meanwhile, so that
// requests already read are answered and replies already begun are written out.
struct StopState {
  bool stopping = false;
  Deadline deadline;       // when whatever is still open is cut off
  bool cut = false;        // the deadline passed and the front end cut off what it could
  std::size_t cut_off = 0;  // connections cut off then
};

// Handles one of kControlSignals read by the event loop. SIGHUP (one the server does not reload
// for: during a stop, or without a reload) is logged. The first SIGTERM
// or SIGINT logs "stopping: <signal>, finishing <open> requests", closes the listener and
// starts the wait of "stop_timeout_ms" (`timeout_ms`); a second one meanwhile exits at once
// with status 128 plus its number. REQUIRES: called on the event loop's thread, the only one
// that accepts.
void handle_control_signal(int signal, StopState& state, int listen_fd, std::size_t open,
                           std::uint64_t timeout_ms);

// Once stopping and nothing is open any more, or the time ran out and no open request
// outlasts a stop (`outlasting`): runs the hooks, logs "stopped" (or "stopped, <n> requests
// cut off") and exits 0. Otherwise returns.
void finish_stop_when_done(const StopState& state, std::size_t open, std::size_t outlasting);

}  // namespace skerrow
