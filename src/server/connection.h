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

struct Connection;

// The links of one connection in one of the front end's lists.
struct ListLinks {
  Connection* prev = nullptr;
  Connection* next = nullptr;
  bool linked = false;
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

  ListLinks arriving;  // in the front end's list of requests still arriving, oldest first
  // Reading waits for request memory: the loop does not watch it, and it stands in the front
  // end's list of paused connections, in the order they paused.
  ListLinks paused;
};

// A first-in, first-out list of connections through one of their ListLinks: adding and
// removing take constant time and allocate nothing.
template <ListLinks Connection::*Links>
class ConnectionList {
 public:
  void push_back(Connection& c) {
    ListLinks& links = c.*Links;
    links = ListLinks{tail_, nullptr, true};
    (tail_ != nullptr ? (tail_->*Links).next : head_) = &c;
    tail_ = &c;
    ++size_;
  }

  // Nothing when `c` is not in the list.
  void remove(Connection& c) {
    ListLinks& links = c.*Links;
    if (!links.linked) return;
    (links.prev != nullptr ? (links.prev->*Links).next : head_) = links.next;
    (links.next != nullptr ? (links.next->*Links).prev : tail_) = links.prev;
    links = ListLinks{};
    --size_;
  }

  static bool contains(const Connection& c) { return (c.*Links).linked; }
  Connection* front() const { return head_; }
  std::size_t size() const { return size_; }

 private:
  Connection* head_ = nullptr;
  Connection* tail_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace skerrow
