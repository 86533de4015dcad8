#include "log/stderr_lock.h"

#include <atomic>
#include <cstdint>

#include "platform/futex.h"
#include "platform/thread.h"
#include "platform/thread_annotations.h"

namespace skerrow {
namespace {

FutexMutex g_mutex;
std::atomic<std::uint64_t> g_owner{0};          // 0: nobody
std::uint32_t g_depth GUARDED_BY(g_mutex) = 0;  // touched only by the owner

}  // namespace

// The lock is re-entrant: whether g_mutex is taken or given back depends on who holds it and how
// often, which the thread-safety analysis cannot follow. These two are its whole implementation.
void lock_stderr() NO_THREAD_SAFETY_ANALYSIS {
  std::uint64_t self = current_thread_id();
  if (g_owner.load(std::memory_order_relaxed) == self) {
    ++g_depth;
    return;
  }
  g_mutex.lock();
  g_owner.store(self, std::memory_order_relaxed);
  g_depth = 1;
}

void unlock_stderr() NO_THREAD_SAFETY_ANALYSIS {
  if (--g_depth > 0) return;
  g_owner.store(0, std::memory_order_relaxed);
  g_mutex.unlock();
}

}  // namespace skerrow
