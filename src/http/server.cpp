// Start-up of the front end and the event loop that feeds the workers.
#include "http/server.h"

#include <chrono>
#include <new>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "auxpow/schedule.h"
#include "http/aux_refresher.h"
#include "http/clean_stop.h"
#include "http/front_end.h"
#include "http/job_queue.h"
#include "http/listener.h"
#include "http/worker.h"
#include "log/log.h"
#include "platform/event_loop.h"
#include "platform/io.h"
#include "platform/signals.h"
#include "zmq_relay/relay.h"

namespace skerrow {
namespace {

constexpr std::uint64_t kListenTag = 0;
constexpr std::uint64_t kAuxRefreshTag = 1;
constexpr std::uint64_t kAcceptResumeTag = 2;
constexpr std::uint64_t kSignalTag = 3;
constexpr std::uint64_t kWorkersTag = 4;  // workers handed connections back
static_assert(kWorkersTag < kFirstConnectionTag);

// How long the listening socket is left alone after accepting failed for want of
// descriptors or memory. Level-triggered, it would otherwise be reported again at once and
// the loop would spin, logging at full speed, until something is freed.
constexpr std::uint64_t kAcceptPauseMs = 100;

// Descriptors the process needs besides its clients: the listener, the loop and its sources,
// each worker's daemon connection, the aux refreshers', the relay's sockets, the state file.
constexpr std::size_t kOwnDescriptors = 64;

// Everything the front end keeps for the rest of the process. Never freed: workers and the
// relay thread hold pointers into it.
struct Server {
  Server(ServerContext* ctx, EventLoop&& event_loop, const Config& config)
      : loop(std::move(event_loop)),
        queue(ctx),
        front(*ctx, loop, queue, config.max_connections,
              static_cast<std::size_t>(config.request_memory_mb) << 20) {}
  EventLoop loop;
  JobQueue queue;
  FrontEnd front;
  RelayState relay;
};

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
  if (stop.stopping) {
    const int stop_ms = stop.deadline.poll_ms(now);
    if (ms < 0 || stop_ms < ms) ms = stop_ms;
  }
  if (ms < 0) return loop.wait();
  return loop.wait_for(static_cast<std::uint64_t>(ms));
}

[[noreturn]] void run_event_loop(Server& server, int listen_fd, AuxEngine& aux, const Config& config) {
  EventLoop& loop = server.loop;
  FrontEnd& front = server.front;
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
        case kAuxRefreshTag:
          // Only asks: each chain's refresher fetches on its own thread. A chain whose last
          // fetch failed is asked again here too.
          want_all_aux_fetches(aux, FetchReason::routine);
          break;
        case kAcceptResumeTag:
          if (stop.stopping) break;
          // Should resuming fail, the next exhaustion cannot pause either, so keep trying
          // on the next tick of the same timer rather than leaving the listener off.
          if (!loop.resume_readable(listen_fd)) (void)loop.arm_timer(kAcceptResumeTag, kAcceptPauseMs);
          break;
        case kSignalTag:
          handle_control_signal(static_cast<int>(event.data), stop, listen_fd, front.open(),
                                config.stop_timeout_ms);
          break;
        case kWorkersTag:
          front.take_finished();
          break;
        default:
          if (event.tag >= kFirstConnectionTag) front.connection_ready(event.tag, event.data);
          break;
      }
    }
    front.expire(std::chrono::steady_clock::now());
    front.resume_paused();
    finish_stop_when_done(stop, front.open());
  }
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

// Warns about a configuration that leaves the parent's RPC open to more clients than the
// operator probably meant.
void warn_about_exposure(const Config& config, const Listener& listener) {
  if (!listener.loopback && !config.listen_user) {
    log_line(LogLevel::warning, LogScope::http,
             {"listening on ", listener.address.host, ":", listener.address.port,
              " without listen_user: any client that reaches it uses the parent daemon's RPC "
              "with its credentials"});
  }
  // Credentials are asked for only when a user is named, so a lone password protects nothing;
  // the operator most likely meant to close the proxy and would not notice otherwise.
  if (config.listen_pass && !config.listen_user) {
    log_line(LogLevel::warning, LogScope::http,
             {"listen_pass is set without listen_user: clients are not asked for credentials"});
  }
}

// The record every thread shares, never freed; nullptr when there is no memory for it.
ServerContext* make_context(const Config& config, std::shared_ptr<SnapshotStore> store) {
  ServerContext* ctx = new (std::nothrow) ServerContext;
  if (ctx == nullptr) return nullptr;
  ctx->config = &config;
  ctx->parent = config.parent;
  ctx->daemon_timeout_ms = config.daemon_timeout_ms;
  ctx->client_timeout_ms = config.client_timeout_ms;
  ctx->access.user = config.listen_user;
  ctx->access.pass = config.listen_pass.value_or(std::string_view());
  if (config.allowed_methods) ctx->access.allowed_methods = std::span(*config.allowed_methods);
  init_aux_engine(ctx->aux, config);
  if (store) ctx->aux.store = std::move(store);
  ctx->aux.daemon_timeout_ms = config.daemon_timeout_ms;
  return ctx;
}

// Registers what the event loop watches: the listener, the accept pause's timer, the control
// signals, the workers' wake-up and, with aux chains to refresh, the refresh timer.
Status watch_events(EventLoop& loop, int listen_fd, const Config& config, const AuxEngine& aux) {
  if (auto added = loop.add_readable(listen_fd, kListenTag); !added) return added;
  if (auto added = loop.add_oneshot_timer(kAcceptResumeTag); !added) return added;
  if (auto added = loop.add_signals(kControlSignals, kSignalTag); !added) return added;
  if (auto added = loop.add_wakeup(kWorkersTag); !added) return added;
  // Without aux chains there is nothing to refresh.
  if (!aux.states.empty() && config.aux_refresh_ms > 0) {
    if (auto added = loop.add_timer(config.aux_refresh_ms, kAuxRefreshTag); !added) return added;
  }
  return {};
}

}  // namespace

void block_control_signals() { block_signals(kControlSignals); }

ErrorCode run_server(const Config& config, std::shared_ptr<SnapshotStore> store) {
  auto listener = open_listener(config.listen);
  if (!listener) return listener.error();
  const int listen_fd = listener->fd;
  warn_about_exposure(config, *listener);

  ServerContext* ctx = make_context(config, std::move(store));
  if (ctx == nullptr) {
    close_fd(listen_fd);
    return ErrorCode::OutOfMemory;
  }

  // Workers already running keep their pointers into `ctx` and `front`, so neither is freed
  // on a failure below; only what no worker can reach is released.
  auto release_on_failure = [&](ErrorCode code) {
    std::vector<AuxChainState>().swap(ctx->aux.states);  // workers idle in pop never read it
    close_fd(listen_fd);
    return code;
  };

  // On a failure before the server record exists the loop closes itself and its timers.
  auto loop = EventLoop::create();
  if (!loop) return release_on_failure(loop.error());
  if (auto watched = watch_events(*loop, listen_fd, config, ctx->aux); !watched) {
    return release_on_failure(watched.error());
  }
  Server* server = new (std::nothrow) Server(ctx, std::move(*loop), config);
  if (server == nullptr) return release_on_failure(ErrorCode::OutOfMemory);
  make_room_for_connections(config.max_connections);
  if (auto started = start_workers(server->queue, server->front, config.workers); !started) {
    return release_on_failure(started.error());
  }
  log_line(LogLevel::info, LogScope::http, {"worker pool: ", config.workers, " threads started"});

  // A new block on an aux chain makes that chain's work stale.
  static const AuxBlockListener aux_blocks{[](void* engine, std::size_t chain) {
                                             want_aux_fetch(*static_cast<AuxEngine*>(engine), chain,
                                                            FetchReason::stale);
                                           },
                                           &ctx->aux};
  if (config.zmq_pub) start_relay(server->relay, config, &aux_blocks);

  if (auto started = start_aux_refresher(ctx->aux); !started) return release_on_failure(started.error());
  // The first templates: until they arrive, a getblocktemplate waits for them briefly.
  want_all_aux_fetches(ctx->aux, FetchReason::stale);
  log_line(LogLevel::info, LogScope::http,
           {"kqueue event loop started (workers=", config.workers,
            ", aux_chains=", ctx->aux.states.size(), ")"});
  run_event_loop(*server, listen_fd, ctx->aux, config);
}

}  // namespace skerrow
