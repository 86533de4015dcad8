// Start-up of the front end and the event loop that feeds the workers.
#include "http/server.h"

#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <new>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "auxpow/schedule.h"
#include "http/aux_refresher.h"
#include "http/clean_stop.h"
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

// How long the listening socket is left alone after accepting failed for want of
// descriptors or memory. Level-triggered, it would otherwise be reported again at once and
// the loop would spin, logging at full speed, until something is freed.
constexpr std::uint64_t kAcceptPauseMs = 100;

// Everything the front end keeps for the rest of the process. Never freed: workers and the
// relay thread hold pointers into it.
struct FrontEnd {
  explicit FrontEnd(ServerContext* ctx) : queue(ctx) {}
  JobQueue queue;
  RelayState relay;
};

ErrorCode accept_error(int err) {
  switch (err) {
    case EPERM: return ErrorCode::BlockedByFirewall;
    case ENOMEM:
    case ENOBUFS: return ErrorCode::SystemResources;
    case EINVAL: return ErrorCode::SocketNotListening;
    case ENFILE: return ErrorCode::SystemFdQuotaExceeded;
    case EMFILE: return ErrorCode::ProcessFdQuotaExceeded;
    case EAGAIN: return ErrorCode::WouldBlock;
    case ECONNABORTED: return ErrorCode::ConnectionAborted;
    case EPROTO: return ErrorCode::ProtocolFailure;
    default: return ErrorCode::Unexpected;
  }
}

// Failures that leave the backlog as it was until the process or the system frees something.
bool exhausts_resources(ErrorCode code) {
  return code == ErrorCode::ProcessFdQuotaExceeded || code == ErrorCode::SystemFdQuotaExceeded ||
         code == ErrorCode::SystemResources;
}

// Takes every connection waiting in the backlog. Accepted sockets are blocking (accept4
// flags 0 does not carry the listener's O_NONBLOCK over) and not close-on-exec. Returns the
// failure that ended the round, if it was not just an empty backlog.
// Closes a connection past "max_connections" at once. Says so at most once a second: a flood
// must not turn into a flood of log lines.
void refuse_connection(int fd, std::size_t limit) {
  static std::chrono::steady_clock::time_point last_warning{};
  close_fd(fd);
  const auto now = std::chrono::steady_clock::now();
  if (last_warning != std::chrono::steady_clock::time_point{} && now - last_warning < std::chrono::seconds(1)) {
    return;
  }
  last_warning = now;
  log_line(LogLevel::warning, LogScope::http,
           {"max_connections (", limit, ") reached, closing new connections"});
}

std::optional<ErrorCode> accept_pending(int listen_fd, JobQueue& queue, std::size_t max_connections) {
  for (;;) {
    int fd = ::accept4(listen_fd, nullptr, nullptr, 0);
    if (fd >= 0) {
      // Every open client connection is queued or being served until its worker finishes it.
      if (queue.unfinished() >= max_connections) {
        refuse_connection(fd, max_connections);
        continue;
      }
      // On a full queue the connection is dropped and logged there.
      queue.push(Job{fd, std::chrono::steady_clock::now()});
      continue;
    }
    if (errno == EINTR) continue;
    ErrorCode code = accept_error(errno);
    // An empty backlog is the normal end of a round; connections left behind by any other
    // failure are reported again by the next wait.
    if (code == ErrorCode::WouldBlock) return std::nullopt;
    log_line(LogLevel::warning, LogScope::http, {"accept failed: ", code});
    return code;
  }
}

// Stops watching the listener until the resume timer fires. Should either step fail, the
// loop sleeps instead: the listener could not be served meanwhile anyway.
void pause_accepting(EventLoop& loop, int listen_fd) {
  if (loop.arm_timer(kAcceptResumeTag, kAcceptPauseMs) && loop.pause_readable(listen_fd)) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(kAcceptPauseMs));
}

[[noreturn]] void run_event_loop(EventLoop& loop, int listen_fd, JobQueue& queue, AuxEngine& aux,
                                 std::uint64_t stop_timeout_ms, std::size_t max_connections) {
  const StopPlan stop{&loop, kSignalTag, listen_fd, &queue, stop_timeout_ms};
  for (;;) {
    auto events = loop.wait();
    if (!events) {
      log_line(LogLevel::warning, LogScope::http, {"kevent failed: ", events.error()});
      continue;
    }
    for (const LoopEvent& event : *events) {
      switch (event.tag) {
        case kListenTag:
          if (auto failed = accept_pending(listen_fd, queue, max_connections); failed && exhausts_resources(*failed)) {
            pause_accepting(loop, listen_fd);
          }
          break;
        case kAuxRefreshTag:
          // Only asks: each chain's refresher fetches on its own thread. A chain whose last
          // fetch failed is asked again here too.
          want_all_aux_fetches(aux, FetchReason::routine);
          break;
        case kAcceptResumeTag:
          // Should resuming fail, the next exhaustion cannot pause either, so keep trying
          // on the next tick of the same timer rather than leaving the listener off.
          if (!loop.resume_readable(listen_fd)) (void)loop.arm_timer(kAcceptResumeTag, kAcceptPauseMs);
          break;
        case kSignalTag:
          handle_control_signal(static_cast<int>(event.data), stop);
          break;
        default:
          break;
      }
    }
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
// signals and, with aux chains to refresh, the refresh timer.
Status watch_events(EventLoop& loop, int listen_fd, const Config& config, const AuxEngine& aux) {
  if (auto added = loop.add_readable(listen_fd, kListenTag); !added) return added;
  if (auto added = loop.add_oneshot_timer(kAcceptResumeTag); !added) return added;
  if (auto added = loop.add_signals(kControlSignals, kSignalTag); !added) return added;
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

  FrontEnd* front = new (std::nothrow) FrontEnd(ctx);
  if (front == nullptr) return release_on_failure(ErrorCode::OutOfMemory);
  if (auto started = start_workers(front->queue, config.workers); !started) {
    return release_on_failure(started.error());
  }
  log_line(LogLevel::info, LogScope::http, {"worker pool: ", config.workers, " threads started"});

  // A new block on an aux chain makes that chain's work stale.
  static const AuxBlockListener aux_blocks{[](void* engine, std::size_t chain) {
                                             want_aux_fetch(*static_cast<AuxEngine*>(engine), chain,
                                                            FetchReason::stale);
                                           },
                                           &ctx->aux};
  if (config.zmq_pub) start_relay(front->relay, config, &aux_blocks);

  // On a failure below the loop closes itself and the timers it made.
  auto loop = EventLoop::create();
  if (!loop) return release_on_failure(loop.error());
  if (auto watched = watch_events(*loop, listen_fd, config, ctx->aux); !watched) {
    return release_on_failure(watched.error());
  }
  if (auto started = start_aux_refresher(ctx->aux); !started) return release_on_failure(started.error());
  // The first templates: until they arrive, a getblocktemplate waits for them briefly.
  want_all_aux_fetches(ctx->aux, FetchReason::stale);
  log_line(LogLevel::info, LogScope::http,
           {"kqueue event loop started (workers=", config.workers,
            ", aux_chains=", ctx->aux.states.size(), ")"});
  run_event_loop(*loop, listen_fd, front->queue, ctx->aux, config.stop_timeout_ms, config.max_connections);
}

}  // namespace skerrow
