#include "platform/futex.h"

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#elif defined(__FreeBSD__)
#include <sys/types.h>
#include <sys/umtx.h>
#endif

namespace skerrow {

void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected) {
#if defined(__linux__)
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAIT_PRIVATE, expected, nullptr,
          nullptr, 0);
#elif defined(__FreeBSD__)
  _umtx_op(&word, UMTX_OP_WAIT_UINT_PRIVATE, expected, nullptr, nullptr);
#else
  word.wait(expected);
#endif
}

void futex_wake(std::atomic<std::uint32_t>& word, int count) {
#if defined(__linux__)
  syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&word), FUTEX_WAKE_PRIVATE, count, nullptr,
          nullptr, 0);
#elif defined(__FreeBSD__)
  _umtx_op(&word, UMTX_OP_WAKE_PRIVATE, count, nullptr, nullptr);
#else
  if (count == 1) word.notify_one(); else word.notify_all();
#endif
}

void FutexMutex::lock() {
  std::uint32_t c = 0;
  if (state_.compare_exchange_strong(c, 1, std::memory_order_acquire)) return;
  // Contended: mark the lock as having waiters and sleep until it is handed over.
  if (c != 2) c = state_.exchange(2, std::memory_order_acquire);
  while (c != 0) {
    futex_wait(state_, 2);
    c = state_.exchange(2, std::memory_order_acquire);
  }
}

bool FutexMutex::try_lock() {
  std::uint32_t c = 0;
  return state_.compare_exchange_strong(c, 1, std::memory_order_acquire);
}

void FutexMutex::unlock() {
  if (state_.exchange(0, std::memory_order_release) == 2) futex_wake(state_, 1);
}

}  // namespace skerrow
