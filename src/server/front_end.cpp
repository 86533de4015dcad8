#include "server/front_end.h"

#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <new>

#include "http/access.h"
#include "http/handler.h"
#include "log/log.h"
#include "platform/io.h"
#include "platform/socket.h"

namespace skerrow {
namespace {

constexpr std::uint64_t kSerialLimit = kConnectionTagLimit >> 32;

// A failure is the client's when it went away, stopped taking its reply or sent nothing in
// time; any other one reached the pool as the 502 reply (or would have).
metrics::RequestOutcome outcome_of(ErrorCode failure, const RequestTally& tally) {
  if (failure == ErrorCode::None) return tally.outcome;
  if (tally.upstream_failed) return metrics::RequestOutcome::upstream_error;
  switch (failure) {
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

bool outlasts_stop(const Connection& c) { return c.tally.outlasts_stop.load(std::memory_order_relaxed); }

}  // namespace

FrontEnd::FrontEnd(const Settings& settings, EventLoop& loop, JobQueue& queue)
    : client_timeout_ms_(settings.client_timeout_ms),
      access_(settings.access),
      loop_(loop),
      queue_(queue),
      max_connections_(settings.max_connections),
      request_memory_(settings.request_memory) {}

void FrontEnd::apply(const Settings& settings) {
  client_timeout_ms_ = settings.client_timeout_ms;
  access_ = settings.access;
  max_connections_ = settings.max_connections;
  request_memory_.set_limit(settings.request_memory);
}

Connection* FrontEnd::find(std::uint64_t tag) const {
  const auto fd = static_cast<std::size_t>(tag & 0xffffffffu);
  if (fd >= by_fd_.size()) return nullptr;
  Connection* c = by_fd_[fd].get();
  return c != nullptr && c->tag == tag ? c : nullptr;
}

std::optional<ErrorCode> FrontEnd::accept_pending(int listen_fd) {
  for (;;) {
    auto fd = accept_nonblocking(listen_fd);
    if (fd) {
      admit(*fd, Clock::now());
      continue;
    }
    const ErrorCode code = fd.error();
    // An empty backlog is the normal end of a round; connections left behind by any other
    // failure are reported again by the next wait.
    if (code == ErrorCode::WouldBlock) return std::nullopt;
    metrics::accept_failed();
    if (const auto left_out = accept_failures_.admit(Clock::now()); left_out && *left_out == 0) {
      log_line(LogLevel::warning, LogScope::http, {"accept failed: ", code});
    } else if (left_out) {
      log_line(LogLevel::warning, LogScope::http, {"accept failed: ", code, " (", *left_out, " more not logged)"});
    }
    return code;
  }
}

void FrontEnd::warn_at_limit(Clock::time_point now, bool made_room) {
  // A flood must not turn into a flood of log lines.
  if (last_refusal_warning_ != Clock::time_point{} && now - last_refusal_warning_ < std::chrono::seconds(1)) {
    return;
  }
  last_refusal_warning_ = now;
  if (made_room) {
    log_line(LogLevel::warning, LogScope::http,
             {"max_connections (", max_connections_,
              ") reached, closing the connection that has been sending its request the longest"});
  } else {
    log_line(LogLevel::warning, LogScope::http,
             {"max_connections (", max_connections_, ") reached, closing new connections"});
  }
}

bool FrontEnd::make_room(Clock::time_point now) {
  // Idle or trickling connections must not lock the pool out: the one that has had its turn
  // the longest goes. Connections being served or taking their reply are never cut.
  Connection* oldest = arriving_.front();
  warn_at_limit(now, oldest != nullptr);
  if (oldest == nullptr) return false;
  oldest->tally.outcome = metrics::RequestOutcome::client_error;
  close(*oldest);
  return true;
}

void FrontEnd::admit(int fd, Clock::time_point accepted) {
  if (open_ >= max_connections_ && !make_room(accepted)) {
    close_fd(fd);
    return;
  }
  Connection* c = nullptr;
  try {
    if (static_cast<std::size_t>(fd) >= by_fd_.size()) by_fd_.resize(static_cast<std::size_t>(fd) + 1);
    deadlines_.reserve(open_ + 1);
    c = new Connection;
  } catch (...) {  // std::bad_alloc, std::length_error: no room for one more connection
    close_fd(fd);
    return;
  }
  c->fd = fd;
  if (++serial_ == kSerialLimit) serial_ = 1;
  c->tag = (serial_ << 32) | static_cast<std::uint32_t>(fd);
  c->accepted = accepted;
  c->deadline = Deadline::after(client_timeout_ms_, accepted);
  c->request.charge_to(&request_memory_);
  arriving_.push_back(*c);
  by_fd_[static_cast<std::size_t>(fd)].reset(c);
  metrics::connections_open(++open_);
  // Most requests are there by the time they are accepted; a read now saves a round of the
  // loop, and a connection answered at once never needs registering.
  read_more(*c);
}

void FrontEnd::read_more(Connection& c) {
  for (;;) {
    auto state = c.request.read_available(c.fd);
    if (settled(c, state)) return;
    switch (*state) {
      case ReadState::head:
        // The body is read only from a client allowed to send it: a stranger never makes the
        // proxy hold more than its header block.
        if (!client_authorized(c.request.header_block(), *access_)) {
          refuse_unauthorized(c);
          return;
        }
        continue;
      case ReadState::waiting:
        if (!watch(c, Interest::read)) return;
        keep_reading_deadline(c);
        return;
      case ReadState::over_budget:
        pause_reading(c);
        return;
      case ReadState::complete:
      case ReadState::too_large:
        return;  // settled above
      case ReadState::unfinished:
        drop_unfinished(c, "the client closed");
        return;
    }
  }
}

bool FrontEnd::settled(Connection& c, const Result<ReadState>& state) {
  if (!state) {
    fail_and_close(c, state.error());
    return true;
  }
  if (*state == ReadState::complete) {
    request_complete(c);
    return true;
  }
  if (*state == ReadState::too_large) {
    refuse_too_large(c);
    return true;
  }
  return false;
}

void FrontEnd::keep_reading_deadline(Connection& c) {
  if (c.heap_slot == DeadlineHeap<Connection>::kNotInHeap && c.deadline.bounded()) set_deadline(c, c.deadline);
}

void FrontEnd::done_arriving(Connection& c) {
  arriving_.remove(c);
  c.request.stop_charging();  // no longer arriving: its memory is the request's own now
}

void FrontEnd::reading_timed_out(Connection& c) {
  // Running out of time ends the request like a close. Bytes that had already arrived are
  // still taken, without waiting for more (a paused request has no room for them).
  const bool paused = paused_.contains(c);
  paused_.remove(c);
  if (!paused && settled(c, c.request.read_available(c.fd))) return;
  if (c.request.header_end()) {
    drop_unfinished(c, "client_timeout_ms");
    return;
  }
  request_complete(c);  // no header block: dropped unanswered
}

void FrontEnd::request_complete(Connection& c) {
  clear_deadline(c);
  done_arriving(c);
  switch (screen_request(c.request, *access_)) {
    case Screening::drop:
      c.failure = c.request.filled() == 0 ? ErrorCode::EndOfStream : ErrorCode::None;
      c.tally.outcome = metrics::RequestOutcome::client_error;
      close(c);
      return;
    case Screening::unauthorized:
      refuse_unauthorized(c);
      return;
    case Screening::empty_body:
      c.tally.outcome = metrics::RequestOutcome::bad_request;
      (void)c.reply.set(400, kEmptyBodyReply);
      start_writing(c);
      return;
    case Screening::dispatch:
      break;
  }
  c.phase = ConnectionPhase::working;
  unwatch(c);
  // On a full queue the connection is dropped unanswered (the queue logs it), and not counted
  // as a request: none was served.
  if (!queue_.push(Job{c.fd, c.accepted, &c})) {
    metrics::connections_open(--open_);
    close_fd(c.fd);
    by_fd_[static_cast<std::size_t>(c.fd)].reset();
  }
}

void FrontEnd::refuse_unauthorized(Connection& c) {
  if (const auto left_out = refusals_.admit(Clock::now()); left_out && *left_out == 0) {
    log_line(LogLevel::warning, LogScope::http, {"unauthorized request"});
  } else if (left_out) {
    log_line(LogLevel::warning, LogScope::http, {"unauthorized request (", *left_out, " more not logged)"});
  }
  done_arriving(c);
  c.tally.outcome = metrics::RequestOutcome::unauthorized;
  c.phase = ConnectionPhase::refusing;
  unwatch(c);
  set_deadline(c, Deadline::at(Clock::now() + kUnauthorizedPause));
}

void FrontEnd::refuse_too_large(Connection& c) {
  if (c.request.header_end()) {
    log_line(LogLevel::warning, LogScope::http,
             {"request too large: Content-Length ", *c.request.content_length(), " is over ",
              kMaxRequestBody, " bytes"});
  } else {
    log_line(LogLevel::warning, LogScope::http,
             {"request too large: no end of the header block within ", kMaxHeaderBytes, " bytes"});
  }
  clear_deadline(c);
  done_arriving(c);
  c.tally.outcome = metrics::RequestOutcome::bad_request;
  (void)c.reply.set(413, kTooLargeReply);
  start_writing(c);
}

void FrontEnd::drop_unfinished(Connection& c, std::string_view before) {
  const std::size_t announced = static_cast<std::size_t>(c.request.content_length().value_or(0));
  log_line(LogLevel::warning, LogScope::http,
           {"unfinished request not forwarded: ", c.request.body().size(), " of ", announced,
            " body bytes arrived before ", before});
  c.tally.outcome = metrics::RequestOutcome::client_error;
  close(c);
}

void FrontEnd::pause_reading(Connection& c) {
  unwatch(c);
  // The time limit goes on running: memory freed too late ends the request as a timeout does.
  keep_reading_deadline(c);
  paused_.push_back(c);
}

void FrontEnd::resume_paused() {
  // Each paused request gets one turn per release, oldest first; one that still finds no room
  // goes back to the end. A turn that finishes a request releases memory for another pass.
  while (paused_.front() != nullptr && request_memory_.released_since_asked()) {
    for (std::size_t turns = paused_.size(); turns > 0 && paused_.front() != nullptr; --turns) {
      Connection& c = *paused_.front();
      paused_.remove(c);
      read_more(c);
    }
  }
}

void FrontEnd::finished(Connection* connection) noexcept {
  // The worker writes what the socket takes at once, without waiting: most replies fit whole,
  // and then the client has its answer, and the end of it, without waiting for the loop.
  // One send call only: a client that takes its reply a little at a time must not keep the
  // worker writing.
  const Clock::time_point before = Clock::now();
  auto written = connection->reply.write_some(connection->fd, true);
  if (connection->reply.started()) connection->reply_began = before;
  if (!written) {
    connection->first_write = written.error();
  } else if (*written) {
    ::shutdown(connection->fd, SHUT_WR);
  }
  bool was_empty;
  {
    FutexLock guard(finished_lock_);
    was_empty = finished_head_ == nullptr;
    connection->next_finished = finished_head_;
    finished_head_ = connection;
  }
  // One wake per batch: the loop takes the whole list at once.
  if (was_empty) loop_.wake();
}

void FrontEnd::take_finished() {
  Connection* list;
  {
    FutexLock guard(finished_lock_);
    list = finished_head_;
    finished_head_ = nullptr;
  }
  while (list != nullptr) {
    Connection* next = list->next_finished;
    list->next_finished = nullptr;
    if (cut_off_ && !outlasts_stop(*list)) {
      close(*list);
    } else {
      start_writing(*list);
    }
    list = next;
  }
}

void FrontEnd::start_writing(Connection& c) {
  c.phase = ConnectionPhase::writing;
  // The reply's limit runs from its first byte rather than from accept: time spent on the
  // daemons is not the client's doing, and charging it would leave a patient client without
  // its answer. The first byte may have gone out with the worker's write.
  c.deadline = Deadline::after(client_timeout_ms_,
                               c.reply_began != Clock::time_point{} ? c.reply_began : Clock::now());
  if (c.first_write != ErrorCode::None) {
    fail_and_close(c, c.first_write);
    return;
  }
  write_more(c);
}

void FrontEnd::write_more(Connection& c) {
  auto done = c.reply.write_some(c.fd);
  if (!done) {
    fail_and_close(c, done.error());
    return;
  }
  if (*done) {
    if (c.reply.announce_sent) log_line(LogLevel::info, LogScope::http, {"response sent to client"});
    close(c);
    return;
  }
  if (!watch(c, Interest::write)) return;
  if (c.deadline.bounded()) set_deadline(c, c.deadline);
}

void FrontEnd::connection_ready(std::uint64_t tag, std::int64_t /*ready*/) {
  Connection* c = find(tag);
  if (c == nullptr) return;  // closed earlier in the same round of events
  // A hang-up or an error is found out by the read or the write itself.
  if (c->phase == ConnectionPhase::reading) {
    read_more(*c);
  } else if (c->phase == ConnectionPhase::writing) {
    write_more(*c);
  }
}

void FrontEnd::expire(Clock::time_point now) {
  while (!deadlines_.empty() && deadlines_.earliest().deadline.passed(now)) {
    Connection& c = deadlines_.earliest();
    clear_deadline(c);
    switch (c.phase) {
      case ConnectionPhase::reading:
        reading_timed_out(c);
        break;
      case ConnectionPhase::refusing:
        (void)c.reply.set(401, kUnauthorizedReply);
        start_writing(c);
        break;
      case ConnectionPhase::writing:
        fail_and_close(c, c.reply.started() ? ErrorCode::ResponseCutOff : ErrorCode::WouldBlock);
        break;
      case ConnectionPhase::working:
        break;  // never has a deadline
    }
  }
}

std::size_t FrontEnd::cut_off_for_stop() {
  cut_off_ = true;
  std::size_t cut = 0;
  for (auto& slot : by_fd_) {
    Connection* c = slot.get();
    if (c == nullptr || outlasts_stop(*c)) continue;
    ++cut;
    if (c->phase != ConnectionPhase::working) close(*c);
  }
  return cut;
}

std::size_t FrontEnd::outlasting() const {
  std::size_t count = 0;
  for (const auto& slot : by_fd_) {
    if (slot != nullptr && outlasts_stop(*slot)) ++count;
  }
  return count;
}

int FrontEnd::wait_ms(Clock::time_point now) const {
  if (deadlines_.empty()) return -1;
  return deadlines_.earliest().deadline.poll_ms(now);
}

bool FrontEnd::watch(Connection& c, Interest interest) {
  const Status watched = c.watched ? loop_.change_connection(c.fd, interest, c.tag)
                                   : loop_.add_connection(c.fd, interest, c.tag);
  if (!watched) {
    // Without the loop's attention the connection could never finish: end it now.
    fail_and_close(c, watched.error());
    return false;
  }
  c.watched = true;
  return true;
}

void FrontEnd::unwatch(Connection& c) {
  if (!c.watched) return;
  // Should forgetting fail, the connection stays registered and is reported while a worker
  // has it; connection_ready ignores it in that phase.
  (void)loop_.forget_connection(c.fd);
  c.watched = false;
}

void FrontEnd::fail_and_close(Connection& c, ErrorCode code) {
  // After a failed handler the worker logged its error, and the failure reply that cannot be
  // written now is not worth a second line.
  if (c.failure != ErrorCode::None) {
    close(c);
    return;
  }
  c.failure = code;
  log_line(LogLevel::warning, LogScope::http, {"HTTP handler error: ", code});
  // A failure before the reply began gets the failure reply, written as far as the socket
  // takes it now; after part of a response a second one would land inside its body.
  if (c.phase == ConnectionPhase::reading && code == ErrorCode::OutOfMemory) {
    if (c.reply.set(502, kFailureReply)) (void)c.reply.write_some(c.fd);
  }
  close(c);
}

void FrontEnd::close(Connection& c) {
  clear_deadline(c);
  arriving_.remove(c);
  paused_.remove(c);
  metrics::request_finished(c.tally.kind, outcome_of(c.failure, c.tally), metrics_seconds_since(c.accepted));
  // Closing a descriptor also ends its registration with the loop.
  close_fd(c.fd);
  metrics::connections_open(--open_);
  by_fd_[static_cast<std::size_t>(c.fd)].reset();  // frees the connection, its buffer and arena
}

}  // namespace skerrow
