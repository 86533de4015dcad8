// Start-up of the front end and the event loop that feeds the workers.
#include "http/server.h"

#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <new>
#include <vector>

#include "http/job_queue.h"
#include "http/listener.h"
#include "log/log.h"
#include "platform/event_loop.h"
#include "platform/io.h"
#include "zmq_relay/relay.h"

namespace skerrow {
namespace {

constexpr std::uint64_t kListenTag = 0;
constexpr std::uint64_t kAuxRefreshTag = 1;

// Everything the front end keeps for the rest of the process. Never freed: workers and the
// relay thread hold pointers into it.
struct FrontEnd {
  explicit FrontEnd(ServerContext* ctx) : queue(ctx) {}
  JobQueue queue;
  std::array<pthread_t, kWorkerCount> workers{};
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

// Takes every connection waiting in the backlog. Accepted sockets are blocking (accept4
// flags 0 does not carry the listener's O_NONBLOCK over) and not close-on-exec.
void accept_pending(int listen_fd, JobQueue& queue) {
  for (;;) {
    int fd = ::accept4(listen_fd, nullptr, nullptr, 0);
    if (fd >= 0) {
      queue.push(fd);  // on a full queue the connection is dropped and logged there
      continue;
    }
    if (errno == EINTR) continue;
    ErrorCode code = accept_error(errno);
    // An empty backlog is the normal end of a round; connections left behind by any other
    // failure are reported again by the next wait.
    if (code != ErrorCode::WouldBlock) {
      log_line(LogLevel::warning, LogScope::http, {"accept failed: ", code});
    }
    return;
  }
}

[[noreturn]] void run_event_loop(EventLoop& loop, int listen_fd, JobQueue& queue) {
  for (;;) {
    auto events = loop.wait();
    if (!events) {
      log_line(LogLevel::warning, LogScope::http, {"kevent failed: ", events.error()});
      continue;
    }
    for (const LoopEvent& event : *events) {
      switch (event.tag) {
        case kListenTag:
          accept_pending(listen_fd, queue);
          break;
        case kAuxRefreshTag:
          // Reserved for a periodic aux template refresh; no source carries this tag yet.
          break;
        default:
          break;
      }
    }
  }
}

}  // namespace

ErrorCode run_server(const Config& config) {
  auto listener = open_listener(config.listen);
  if (!listener) return listener.error();
  const int listen_fd = *listener;

  ServerContext* ctx = new (std::nothrow) ServerContext;
  if (ctx == nullptr) {
    close_fd(listen_fd);
    return ErrorCode::OutOfMemory;
  }
  ctx->config = &config;
  ctx->parent = config.parent;
  ctx->daemon_timeout_ms = config.daemon_timeout_ms;
  ctx->client_timeout_ms = config.client_timeout_ms;
  init_aux_engine(ctx->aux, config);
  ctx->aux.daemon_timeout_ms = config.daemon_timeout_ms;

  // Workers already running keep their pointers into `ctx` and `front`, so neither is freed
  // on a failure below; only what no worker can reach is released.
  auto release_on_failure = [&](ErrorCode code) {
    std::vector<AuxChainState>().swap(ctx->aux.states);  // workers idle in pop never read it
    close_fd(listen_fd);
    return code;
  };

  FrontEnd* front = new (std::nothrow) FrontEnd(ctx);
  if (front == nullptr) return release_on_failure(ErrorCode::OutOfMemory);
  if (auto started = start_workers(front->queue, front->workers); !started) {
    return release_on_failure(started.error());
  }
  log_line(LogLevel::info, LogScope::http, {"worker pool: ", kWorkerCount, " threads started"});

  if (config.zmq_pub) start_relay(front->relay, config, &ctx->aux.refresh_needed);

  auto loop = EventLoop::create();
  if (!loop) return release_on_failure(loop.error());
  if (auto added = loop->add_readable(listen_fd, kListenTag); !added) {
    return release_on_failure(added.error());  // the loop closes itself
  }
  log_line(LogLevel::info, LogScope::http,
           {"kqueue event loop started (workers=", kWorkerCount,
            ", aux_chains=", ctx->aux.states.size(), ")"});
  run_event_loop(*loop, listen_fd, front->queue);
}

}  // namespace skerrow
