// Wait and wake on a 32-bit word: the primitive under every blocking lock of the program
// (futex on Linux, _umtx_op on FreeBSD, std::atomic wait elsewhere).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/thread_annotations.h"

namespace skerrow {

// Blocks while *word == expected (spurious returns are possible; callers re-check).
void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected);

// Wakes at most `count` threads blocked in futex_wait on `word`.
void futex_wake(std::atomic<std::uint32_t>& word, int count);

// A plain, non-recursive mutual-exclusion lock whose waiters sleep (no spinning). Meets the
// Lockable requirements. Held through FutexLock, so that clang's thread-safety analysis sees
// what it guards (std::lock_guard and std::unique_lock carry no annotations in libstdc++).
class CAPABILITY("mutex") FutexMutex {
 public:
  void lock() ACQUIRE();
  bool try_lock() TRY_ACQUIRE(true);
  void unlock() RELEASE();

 private:
  // 0 free, 1 held, 2 held with (possible) waiters.
  std::atomic<std::uint32_t> state_{0};
};

// Holds a FutexMutex from its construction to the end of its scope. Being BasicLockable as
// well, it is what std::condition_variable_any waits with: the wait lets go of the mutex and
// takes it back before it returns, so to the analysis the mutex stays held throughout.
class SCOPED_CAPABILITY FutexLock {
 public:
  explicit FutexLock(FutexMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~FutexLock() RELEASE() {
    if (held_) mutex_.unlock();
  }
  FutexLock(const FutexLock&) = delete;
  FutexLock& operator=(const FutexLock&) = delete;

  void lock() ACQUIRE() {
    mutex_.lock();
    held_ = true;
  }
  void unlock() RELEASE() {
    held_ = false;
    mutex_.unlock();
  }

 private:
  FutexMutex& mutex_;
  bool held_ = true;
};

}  // namespace skerrow
