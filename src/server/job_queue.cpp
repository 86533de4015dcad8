#include "server/job_queue.h"

#include "log/log.h"
#include "metrics/metrics.h"

namespace skerrow {

static_assert((kQueueSlots & (kQueueSlots - 1)) == 0, "ring indices wrap with a mask");

void JobQueue::Condition::wait(FutexMutex& lock) {
  const std::uint32_t seen = sequence_.load(std::memory_order_relaxed);
  ++waiters_;
  lock.unlock();
  futex_wait(sequence_, seen);
  lock.lock();
  --waiters_;
}

void JobQueue::Condition::signal() {
  sequence_.fetch_add(1, std::memory_order_relaxed);
  // Under load every worker is busy and the wake would be a system call for nobody. A
  // waiter counts itself before it lets go of the lock, so none can be missed.
  if (waiters_ > 0) futex_wake(sequence_, 1);
}

bool JobQueue::push(Job job) {
  FutexLock guard(lock_);
  if (count_ == kQueueSlots) {
    log_line(LogLevel::warning, LogScope::http, {"job queue full, dropping connection"});
    metrics::queue_dropped();
    return false;
  }
  ring_[tail_] = job;
  tail_ = (tail_ + 1) & (kQueueSlots - 1);
  ++count_;
  metrics::queue_depth(count_);
  not_empty_.signal();
  return true;
}

Job JobQueue::pop() {
  FutexLock guard(lock_);
  while (count_ == 0) not_empty_.wait(lock_);
  Job job = ring_[head_];
  head_ = (head_ + 1) & (kQueueSlots - 1);
  --count_;
  metrics::queue_depth(count_);
  return job;
}

std::size_t JobQueue::waiting() {
  FutexLock guard(lock_);
  return count_;
}

}  // namespace skerrow
