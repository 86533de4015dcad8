// Thread identity and thread start with explicit stack and guard sizes.
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <functional>

#include "error/error.h"

namespace skerrow {

// The calling thread's numeric id as the kernel knows it (gettid, pthread_getthreadid_np).
std::uint64_t current_thread_id();

inline constexpr std::size_t kThreadStackSize = 16u * 1024 * 1024;
inline constexpr std::size_t kThreadGuardSize = 4096;

struct ThreadOptions {
  std::size_t stack_size = kThreadStackSize;
  std::size_t guard_size = kThreadGuardSize;
  bool detached = false;
};

// Starts `body` on a new thread. The body travels in a small heap cell that the new
// thread frees. Errors: OutOfMemory (start cell), SystemResources (attributes, or the
// system refused with EAGAIN), Unexpected (any other creation failure).
Result<pthread_t> start_thread(std::move_only_function<void()> body, ThreadOptions options = {});

}  // namespace skerrow
