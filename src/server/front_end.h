// The front end's side of every client connection, run by the event loop's thread alone:
// accepting, reading requests, refusing what needs no worker, queuing complete requests,
// and writing replies as the sockets take them. A slow or silent client therefore holds its
// descriptor and its buffer, never a worker; each phase is bounded by the client time limit.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "error/error.h"
#include "server/connection.h"
#include "server/job_queue.h"
#include "http/access.h"
#include "log/throttle.h"
#include "platform/event_loop.h"
#include "platform/futex.h"
#include "platform/thread_annotations.h"

namespace skerrow {

// Event loop tags from this one up belong to connections; lower ones are the server's sources.
inline constexpr std::uint64_t kFirstConnectionTag = std::uint64_t{1} << 32;

class FrontEnd {
 public:
  using Clock = std::chrono::steady_clock;

  struct Settings {
    std::uint64_t client_timeout_ms = 0;  // each phase's bound on a client (0: none)
    const ClientAccess* access = nullptr;  // the credentials asked for; outlives the front end
    std::size_t max_connections = 1;
    std::size_t request_memory = 0;        // bytes that requests still arriving may hold together
  };

  FrontEnd(const Settings& settings, EventLoop& loop, JobQueue& queue);
  FrontEnd(const FrontEnd&) = delete;
  FrontEnd& operator=(const FrontEnd&) = delete;

  // Takes every connection waiting in the listener's backlog. Past "max_connections" open
  // ones, new connections are closed at once with a warning at most once a second. Returns
  // the failure that ended the round, if it was not just an empty backlog.
  std::optional<ErrorCode> accept_pending(int listen_fd);

  // The event loop reported `ready` (kConnection* bits) for the connection tagged `tag`.
  void connection_ready(std::uint64_t tag, std::int64_t ready);

  // Starts writing the replies of the connections workers handed back since the last call.
  void take_finished();

  // Ends the phases whose deadline has passed: a request is taken as it stands, a refusal's
  // pause ends in its 401, a reply not taken in time is cut off.
  void expire(Clock::time_point now);

  // Goes on reading the requests that waited for request memory, once some was released.
  void resume_paused();

  // Milliseconds until the earliest deadline (0 when one has passed), -1 when there is none.
  int wait_ms(Clock::time_point now) const;

  std::size_t open() const { return open_; }

  // New limits for what comes next (a reloaded configuration): connections accepted, requests
  // read and replies begun from now on. Deadlines already set stay.
  void apply(const Settings& settings);

  // A stop's time limit ran out: closes every connection but those whose request outlasts a
  // stop (a block handed to a daemon), which go on to their reply. Connections a worker holds
  // are closed when it hands them back. Returns how many connections were cut off.
  std::size_t cut_off_for_stop();
  // Open connections whose request outlasts a stop.
  std::size_t outlasting() const;
  const RequestMemory& request_memory() const { return request_memory_; }

  // Called by a worker, from any thread, once the connection's reply is set: writes what the
  // socket takes at once (never waiting), then hands the connection back to the loop and
  // wakes it.
  void finished(Connection* connection) noexcept;

 private:
  Connection* find(std::uint64_t tag) const;
  void admit(int fd, Clock::time_point accepted);
  void read_more(Connection& c);
  // Ends the reading when `state` is a failure, a complete request or one too large; false
  // when the request goes on (or is left for the caller to end).
  bool settled(Connection& c, const Result<ReadState>& state);
  void keep_reading_deadline(Connection& c);  // the reading's deadline, unless one is set
  void done_arriving(Connection& c);          // out of the arriving list and the request memory
  void reading_timed_out(Connection& c);
  void request_complete(Connection& c);
  void refuse_unauthorized(Connection& c);
  void refuse_too_large(Connection& c);
  void drop_unfinished(Connection& c, std::string_view before);
  void pause_reading(Connection& c);
  // Makes room for one more connection by closing the one that has been sending its request
  // the longest; false when every connection is being served or answered.
  bool make_room(Clock::time_point now);
  void warn_at_limit(Clock::time_point now, bool made_room);
  void start_writing(Connection& c);
  void write_more(Connection& c);
  // False when the connection could not be watched and was closed.
  bool watch(Connection& c, Interest interest);
  void unwatch(Connection& c);
  void close(Connection& c);
  void fail_and_close(Connection& c, ErrorCode code);

  // The current phase's deadline of a connection: kept in `deadlines_` for the loop's wait.
  void set_deadline(Connection& c, Deadline deadline) { deadlines_.set(c, deadline); }
  void clear_deadline(Connection& c) { deadlines_.remove(c); }

  std::uint64_t client_timeout_ms_;
  const ClientAccess* access_;
  EventLoop& loop_;
  JobQueue& queue_;
  std::size_t max_connections_;
  std::size_t open_ = 0;
  std::uint64_t serial_ = 0;
  std::vector<std::unique_ptr<Connection>> by_fd_;
  DeadlineHeap<Connection> deadlines_;
  RequestMemory request_memory_;
  ConnectionList<&Connection::arriving> arriving_;  // reading their request, oldest first
  ConnectionList<&Connection::paused> paused_;      // reading, waiting for request memory
  Clock::time_point last_refusal_warning_{};
  LogThrottle accept_failures_;  // "accept failed" lines
  LogThrottle refusals_;         // "unauthorized request" lines
  bool cut_off_ = false;  // past a stop's time limit: only requests that outlast it are answered

  FutexMutex finished_lock_;
  Connection* finished_head_ GUARDED_BY(finished_lock_) = nullptr;
};

}  // namespace skerrow
