// One client connection as the front end keeps it, from accept to close. The event loop owns
// it except while a worker answers its request: the job queue hands it over, the list of
// finished connections hands it back, and neither side touches it while the other has it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "error/error.h"
#include "http/request.h"
#include "server/request_tally.h"
#include "http/response.h"
#include "platform/arena.h"
#include "platform/deadline.h"
#include "platform/deadline_heap.h"

namespace skerrow {

enum class ConnectionPhase : std::uint8_t {
  reading,   // the loop reads the request, bounded by the client time limit from accept
  refusing,  // refused credentials: the loop holds the 401 for the pause
  working,   // a worker answers it
  writing,   // the loop writes the reply, bounded by the client time limit from its start
};

struct Connection {
  int fd = -1;
  std::uint64_t tag = 0;  // the event loop's tag: the descriptor and a serial number
  std::chrono::steady_clock::time_point accepted;
  ConnectionPhase phase = ConnectionPhase::reading;
  bool watched = false;                // registered with the event loop
  Deadline deadline;                   // the current phase's end
  std::size_t heap_slot = DeadlineHeap<Connection>::kNotInHeap;  // place in the front end's deadlines

  RequestReader request;
  PageArena arena;  // the worker's memory for the request; the reply's pieces lie in it
  Reply reply;
  RequestTally tally;
  ErrorCode failure = ErrorCode::None;  // the first failure, the handler's or the writing's
  ErrorCode first_write = ErrorCode::None;  // how the worker's one write attempt failed
  std::chrono::steady_clock::time_point reply_began{};  // the worker's write began the reply

  Connection* next_finished = nullptr;  // the list of connections workers handed back

  // Reading waits for request memory: the loop does not watch it, and it stands in the front
  // end's list of paused connections, in the order they paused.
  bool paused = false;
  Connection* paused_prev = nullptr;
  Connection* paused_next = nullptr;
};

}  // namespace skerrow
