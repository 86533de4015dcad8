// Complete requests waiting for a worker.
#pragma once

#include <pthread.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "error/error.h"
#include "platform/futex.h"
#include "platform/thread_annotations.h"

namespace skerrow {

struct Connection;

inline constexpr std::size_t kQueueSlots = 64;  // a power of two: indices wrap with a mask

// One complete request, read by the event loop; the worker answers it into the connection's
// reply and hands the connection back. The loop does not touch the connection meanwhile.
struct Job {
  int fd = -1;
  std::chrono::steady_clock::time_point accepted;
  Connection* connection = nullptr;
};

// A bounded FIFO of accepted connections between the event loop (the only producer) and the
// workers (the only consumers). The lock is held only for one push or one pop.
class JobQueue {
 public:
  JobQueue() = default;
  JobQueue(const JobQueue&) = delete;
  JobQueue& operator=(const JobQueue&) = delete;

  // Queues `job` and wakes one waiting worker. When kQueueSlots Jobs already wait, logs
  // "warning(http): job queue full, dropping connection" and returns false: the caller then
  // closes the connection unanswered.
  bool push(Job job);

  // Takes the oldest Job, sleeping while there is none.
  Job pop();

  std::size_t waiting();  // number of queued Jobs (takes the lock)

 private:
  // Waiters sleep on a sequence number that every signal bumps, so a push that lands between
  // a worker's check of `count_` and its sleep changes the word and the sleep returns at once.
  class Condition {
   public:
    void wait(FutexMutex& lock) REQUIRES(lock);  // held again on return
    void signal();                               // wakes at most one waiter; REQUIRES: the same lock held
   private:
    std::atomic<std::uint32_t> sequence_{0};
    std::size_t waiters_ = 0;  // guarded by the lock passed to wait and held for signal
  };

  FutexMutex lock_;
  // Guarded as a whole, so that wait and signal are only called with lock_ held.
  Condition not_empty_ GUARDED_BY(lock_);
  std::size_t head_ GUARDED_BY(lock_) = 0;
  std::size_t tail_ GUARDED_BY(lock_) = 0;
  std::size_t count_ GUARDED_BY(lock_) = 0;
  std::array<Job, kQueueSlots> ring_ GUARDED_BY(lock_){};
};

}  // namespace skerrow
