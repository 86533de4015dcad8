// Accepted connections waiting for a worker, and the four workers that serve them.
#pragma once

#include <pthread.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "http/server_context.h"
#include "log/error.h"
#include "platform/futex.h"

namespace skerrow {

inline constexpr std::size_t kQueueSlots = 64;  // a power of two: indices wrap with a mask
inline constexpr std::size_t kWorkerCount = 4;

// A bounded FIFO of client descriptors between the event loop (the only producer) and the
// workers (the only consumers). The lock is held only for one push or one pop.
class JobQueue {
 public:
  explicit JobQueue(ServerContext* context) : context_(context) {}
  JobQueue(const JobQueue&) = delete;
  JobQueue& operator=(const JobQueue&) = delete;

  // Queues `fd` and wakes one waiting worker. When kQueueSlots Jobs already wait, logs
  // "warning(http): job queue full, dropping connection", closes `fd` unanswered and returns
  // false; both happen under the queue lock. Either way the caller no longer owns `fd`.
  bool push(int fd);

  // Takes the oldest Job, sleeping while there is none. The caller owns the descriptor.
  int pop();

  std::size_t waiting();  // number of queued Jobs (takes the lock)
  ServerContext& context() const { return *context_; }

 private:
  // Waiters sleep on a sequence number that every signal bumps, so a push that lands between
  // a worker's check of `count_` and its sleep changes the word and the sleep returns at once.
  class Condition {
   public:
    void wait(FutexMutex& lock);  // REQUIRES: `lock` held; held again on return
    void signal();                // wakes at most one waiter; REQUIRES: the same lock held
   private:
    std::atomic<std::uint32_t> sequence_{0};
  };

  ServerContext* context_;
  FutexMutex lock_;
  Condition not_empty_;
  std::size_t head_ = 0;
  std::size_t tail_ = 0;
  std::size_t count_ = 0;
  std::array<int, kQueueSlots> ring_{};
};

// Serves one popped Job: applies the client time-outs, handles the request with a fresh
// request arena, answers any error except EndOfStream with a logged 502 reply, releases the
// arena and closes `fd`.
void serve_job(int fd, ServerContext& ctx);

// Starts kWorkerCount workers that pop and serve Jobs forever (16 MiB stacks, 4096-byte
// guards; joinable, never joined). Returns the first start failure: OutOfMemory,
// SystemResources or Unexpected; workers started before it keep running.
// REQUIRES: `queue` and its context outlive the process's use of them (they are never freed).
Status start_workers(JobQueue& queue, std::array<pthread_t, kWorkerCount>& threads);

}  // namespace skerrow
