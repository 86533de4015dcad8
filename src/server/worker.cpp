// The worker threads: each answers one request at a time; the event loop reads and writes.
#include "server/worker.h"

#include "log/log.h"
#include "platform/thread.h"

namespace skerrow {
namespace {

[[noreturn]] void worker_loop(JobQueue& queue, FrontEnd& front, const RequestHandler& handler) {
  for (;;) {
    Connection* c = queue.pop().connection;
    serve_request(*c, handler);
    front.finished(c);
  }
}

}  // namespace

void serve_request(Connection& c, const RequestHandler& handler) {
  metrics::BusyWorker busy;
  Status handled = catch_oom([&]() -> Status {
    return handler(c.reply, c.request.body(), c.arena, c.tally);
  });
  if (handled) return;
  c.failure = handled.error();
  log_line(LogLevel::warning, LogScope::http, {"HTTP handler error: ", handled.error()});
  c.reply.announce_sent = false;
  (void)c.reply.set(502, kFailureReply);
}

Status start_workers(JobQueue& queue, FrontEnd& front, const RequestHandler& handler, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    auto started = start_thread([&queue, &front, &handler] { worker_loop(queue, front, handler); });
    if (!started) return fail(started.error());
  }
  return {};
}

}  // namespace skerrow
