// Wait and wake on a 32-bit word: the primitive under every blocking lock of the program
// (futex on Linux, _umtx_op on FreeBSD, std::atomic wait elsewhere).
#pragma once

#include <atomic>
#include <cstdint>

namespace skerrow {

// Blocks while *word == expected (spurious returns are possible; callers re-check).
void futex_wait(std::atomic<std::uint32_t>& word, std::uint32_t expected);

// Wakes at most `count` threads blocked in futex_wait on `word`.
void futex_wake(std::atomic<std::uint32_t>& word, int count);

// A plain, non-recursive mutual-exclusion lock whose waiters sleep (no spinning).
// Meets the Lockable requirements, so std::lock_guard and std::unique_lock work with it.
class FutexMutex {
 public:
  void lock();
  bool try_lock();
  void unlock();

 private:
  // 0 free, 1 held, 2 held with (possible) waiters.
  std::atomic<std::uint32_t> state_{0};
};

}  // namespace skerrow
