// The worker threads: each serves one connection at a time from start to close.
#include <sys/socket.h>
#include <sys/time.h>

#include "http/handler.h"
#include "http/job_queue.h"
#include "http/request.h"
#include "http/request_tally.h"
#include "http/response.h"
#include "http/worker.h"
#include "log/log.h"
#include "platform/arena.h"
#include "platform/io.h"
#include "platform/thread.h"

namespace skerrow {
namespace {

constexpr std::string_view kFailureReply =
    "{\"result\":null,\"error\":{\"code\":-1,\"message\":\"upstream connection failed\"},"
    "\"id\":null}";

// Bounds the time a client may take over its reply; the request's own limit is the deadline
// counted from accept. Without both, a client that connects and goes quiet, or stops reading
// its reply, would hold one of the four workers for ever. The reply's limit runs from its
// first byte rather than from accept: time spent on the daemons is not the client's doing,
// and charging it would leave a patient client without its answer.
void limit_reply_time(int fd, std::uint64_t timeout_ms) {
  if (timeout_ms == 0) return;
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(timeout_ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>(timeout_ms % 1000) * 1000;
  // A failure leaves the socket without a limit, which is how it would be without the option.
  (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// A failure is the client's when it went away, stopped taking its reply or sent nothing in
// time; any other one reached the pool as the 502 reply (or would have).
metrics::RequestOutcome outcome_of(const Status& handled, const RequestTally& tally) {
  if (handled) return tally.outcome;
  if (tally.upstream_failed) return metrics::RequestOutcome::upstream_error;
  switch (handled.error()) {
    case ErrorCode::EndOfStream:
    case ErrorCode::ResponseCutOff:
    case ErrorCode::WouldBlock:  // the reply's time limit
    case ErrorCode::BrokenPipe:
    case ErrorCode::ConnectionResetByPeer:
      return metrics::RequestOutcome::client_error;
    default:
      return metrics::RequestOutcome::upstream_error;
  }
}

[[noreturn]] void worker_loop(JobQueue& queue) {
  for (;;) {
    serve_job(queue.pop(), queue.context());
    queue.mark_finished();
  }
}

}  // namespace

void serve_job(Job job, ServerContext& ctx) {
  metrics::BusyWorker busy;
  const int fd = job.fd;
  limit_reply_time(fd, ctx.client_timeout_ms);
  PageArena arena;
  // A connection whose time ran out in the queue gets no wait at all: a request that had
  // arrived whole meanwhile is still answered, an idle connection is closed without a word.
  RequestTally tally;
  Status handled =
      handle_request(arena, fd, ctx, client_deadline(job.accepted, ctx.client_timeout_ms), tally);
  if (!handled && handled.error() != ErrorCode::EndOfStream) {
    log_line(LogLevel::warning, LogScope::http, {"HTTP handler error: ", handled.error()});
    // After part of a response a second one would land inside its body, and a client that
    // stopped taking the first would hold the worker for another time limit: the close is
    // all it gets. Nothing more can be done if the client cannot take the 502 either.
    if (handled.error() != ErrorCode::ResponseCutOff) (void)send_response(fd, 502, kFailureReply);
  }
  metrics::request_finished(tally.kind, outcome_of(handled, tally), metrics_seconds_since(job.accepted));
  arena.release();
  close_fd(fd);
}

Status start_workers(JobQueue& queue, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    auto started = start_thread([&queue] { worker_loop(queue); });
    if (!started) return fail(started.error());
  }
  return {};
}

}  // namespace skerrow
