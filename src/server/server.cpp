// The event loop that feeds the workers.
#include "server/server.h"

#include <algorithm>
#include <chrono>
#include <new>
#include <optional>
#include <span>
#include <thread>
#include <utility>

#include "log/log.h"
#include "platform/event_loop.h"
#include "platform/io.h"
#include "platform/service_manager.h"
#include "platform/signals.h"
#include "server/clean_stop.h"
#include "server/front_end.h"
#include "server/job_queue.h"
#include "server/worker.h"

namespace skerrow {

namespace {

constexpr std::uint64_t kListenTag = 0;
constexpr std::uint64_t kTickTag = 1;
constexpr std::uint64_t kAcceptResumeTag = 2;
constexpr std::uint64_t kSignalTag = 3;
constexpr std::uint64_t kWorkersTag = 4;  // workers handed connections back
constexpr std::uint64_t kHeartbeatTag = 5;  // the service manager's watchdog ping and status
static_assert(kHeartbeatTag < kFirstConnectionTag);

// How often a service manager without a watchdog is told the proxy's status.
constexpr std::uint64_t kStatusIntervalMs = 5000;

// How long the listening socket is left alone after accepting failed for want of
// descriptors or memory. Level-triggered, it would otherwise be reported again at once and
// the loop would spin, logging at full speed, until something is freed.
constexpr std::uint64_t kAcceptPauseMs = 100;

// Descriptors the process needs besides its clients: the listener, the loop and its sources,
// each worker's daemon connection, the aux refreshers', the relay's sockets, the state file.
constexpr std::size_t kOwnDescriptors = 64;

}  // namespace

// Everything the server keeps for the rest of the process. Never freed: workers hold
// pointers into it.
class Server {
 public:
  Server(EventLoop&& event_loop, int listen, ServerSettings server_settings, RequestHandler request_handler)
      : loop(std::move(event_loop)),
        front(FrontEnd::Settings{server_settings.client_timeout_ms, server_settings.access,
                                 server_settings.max_connections, server_settings.request_memory},
              loop, queue),
        listen_fd(listen),
        settings(std::move(server_settings)),
        handler(std::move(request_handler)) {}

  EventLoop loop;
  JobQueue queue;
  FrontEnd front;
  int listen_fd;
  ServerSettings settings;
  RequestHandler handler;
};

namespace {

// Failures that leave the backlog as it was until the process or the system frees something.
bool exhausts_resources(ErrorCode code) {
  return code == ErrorCode::ProcessFdQuotaExceeded || code == ErrorCode::SystemFdQuotaExceeded ||
         code == ErrorCode::SystemResources;
}

// Stops watching the listener until the resume timer fires. Should either step fail, the
// loop sleeps instead: the listener could not be served meanwhile anyway.
void pause_accepting(EventLoop& loop, int listen_fd) {
  if (loop.arm_timer(kAcceptResumeTag, kAcceptPauseMs) && loop.pause_readable(listen_fd)) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptPauseMs));
}

// The loop's next wait: until the earliest connection deadline or the end of a stop.
Result<std::span<const LoopEvent>> wait_for_events(EventLoop& loop, const FrontEnd& front,
                                                   const StopState& stop) {
  const auto now = std::chrono::steady_clock::now();
  int ms = front.wait_ms(now);
  if (stop.stopping && !stop.cut) {
    const int stop_ms = stop.deadline.poll_ms(now);
    if (ms < 0 || stop_ms < ms) ms = stop_ms;
  }
  if (ms < 0) return loop.wait();
  return loop.wait_for(static_cast<std::uint64_t>(ms));
}

// Raises the soft descriptor limit so that "max_connections" clients fit beside what the
// process needs for itself; says so when the hard limit does not allow it.
void make_room_for_connections(std::size_t max_connections) {
  const std::size_t wanted = max_connections + kOwnDescriptors;
  const std::size_t limit = raise_descriptor_limit(wanted);
  if (limit < wanted) {
    log_line(LogLevel::warning, LogScope::http,
             {"descriptor limit ", limit, " is below max_connections (", max_connections, ") plus ",
              kOwnDescriptors, " for the proxy itself"});
  }
}

// Registers what the event loop watches: the listener, the accept pause's timer, the control
// signals, the workers' wake-up and, when there is one, the tick.
Status watch_events(EventLoop& loop, int listen_fd, const ServerSettings& settings) {
  if (auto added = loop.add_readable(listen_fd, kListenTag); !added) return added;
  if (auto added = loop.add_oneshot_timer(kAcceptResumeTag); !added) return added;
  if (auto added = loop.add_signals(kControlSignals, kSignalTag); !added) return added;
  if (auto added = loop.add_wakeup(kWorkersTag); !added) return added;
  if (settings.tick) {
    // One-shot, armed again after each tick: a reload can change the period.
    if (auto added = loop.add_oneshot_timer(kTickTag); !added) return added;
    if (settings.tick_ms > 0) {
      if (auto armed = loop.arm_timer(kTickTag, settings.tick_ms); !armed) return armed;
    }
  }
  if (service::managed()) {
    // The ping comes from the loop itself: a loop that stops turning stops pinging.
    const std::uint64_t watchdog_ms = service::watchdog_interval_ms();
    const std::uint64_t ms = watchdog_ms > 0 ? std::min(watchdog_ms, kStatusIntervalMs) : kStatusIntervalMs;
    if (auto added = loop.add_timer(ms, kHeartbeatTag); !added) return added;
  }
  return {};
}

// A SIGHUP: the configuration read again, and the server's part of it applied.
void apply_reload(Server& server) {
  const std::optional<ServerLimits> limits = server.settings.reload();
  if (!limits) return;
  ServerSettings& settings = server.settings;
  if (limits->max_connections > settings.max_connections) make_room_for_connections(limits->max_connections);
  server.front.apply(FrontEnd::Settings{limits->client_timeout_ms, limits->access, limits->max_connections,
                                        limits->request_memory});
  settings.client_timeout_ms = limits->client_timeout_ms;
  settings.access = limits->access;
  settings.max_connections = limits->max_connections;
  settings.request_memory = limits->request_memory;
  settings.stop_timeout_ms = limits->stop_timeout_ms;
  if (settings.tick && limits->tick_ms != settings.tick_ms) {
    settings.tick_ms = limits->tick_ms;
    if (settings.tick_ms > 0) (void)server.loop.arm_timer(kTickTag, settings.tick_ms);
  }
}

}  // namespace

void block_control_signals() { block_signals(kControlSignals); }

Result<Server*> start_server(int listen_fd, ServerSettings settings, RequestHandler handler) {
  // On a failure before the server record exists the loop closes itself and its timers.
  auto loop = EventLoop::create();
  if (!loop) return fail(loop.error());
  if (auto watched = watch_events(*loop, listen_fd, settings); !watched) return fail(watched.error());
  const std::size_t workers = settings.workers;
  Server* server = nullptr;
  try {
    server = new Server(std::move(*loop), listen_fd, std::move(settings), std::move(handler));
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
  make_room_for_connections(server->settings.max_connections);
  if (auto started = start_workers(server->queue, server->front, server->handler, workers); !started) {
    return fail(started.error());
  }
  log_line(LogLevel::info, LogScope::http, {"worker pool: ", workers, " threads started"});
  return server;
}

void run_server_loop(Server& server) {
  EventLoop& loop = server.loop;
  FrontEnd& front = server.front;
  const int listen_fd = server.listen_fd;
  StopState stop;
  for (;;) {
    auto events = wait_for_events(loop, front, stop);
    if (!events) {
      log_line(LogLevel::warning, LogScope::http, {"kevent failed: ", events.error()});
      continue;
    }
    for (const LoopEvent& event : *events) {
      switch (event.tag) {
        case kListenTag:
          if (stop.stopping) break;  // closed; a report from before the close is stale
          if (auto failed = front.accept_pending(listen_fd); failed && exhausts_resources(*failed)) {
            pause_accepting(loop, listen_fd);
          }
          break;
        case kTickTag:
          if (server.settings.tick_ms == 0) break;  // turned off by a reload since it was armed
          server.settings.tick();
          (void)loop.arm_timer(kTickTag, server.settings.tick_ms);
          break;
        case kAcceptResumeTag:
          if (stop.stopping) break;
          // Should resuming fail, the next exhaustion cannot pause either, so keep trying
          // on the next tick of the same timer rather than leaving the listener off.
          if (!loop.resume_readable(listen_fd)) (void)loop.arm_timer(kAcceptResumeTag, kAcceptPauseMs);
          break;
        case kSignalTag:
          if (event.data == SIGHUP && !stop.stopping && server.settings.reload) {
            apply_reload(server);
            break;
          }
          handle_control_signal(static_cast<int>(event.data), stop, listen_fd, front.open(),
                                server.settings.stop_timeout_ms);
          break;
        case kWorkersTag:
          front.take_finished();
          break;
        case kHeartbeatTag:
          service::watchdog_ping();
          if (server.settings.describe && !stop.stopping) service::status(server.settings.describe(front.open()));
          break;
        default:
          if (event.tag >= kFirstConnectionTag) front.connection_ready(event.tag, event.data);
          break;
      }
    }
    front.expire(std::chrono::steady_clock::now());
    front.resume_paused();
    if (stop.stopping && !stop.cut && stop.deadline.passed()) {
      // Requests that outlast a stop get their answer; their own limits still bound them.
      stop.cut_off = front.cut_off_for_stop();
      stop.cut = true;
    }
    finish_stop_when_done(stop, front.open(), stop.cut ? front.outlasting() : 0);
  }
}

}  // namespace skerrow
