#include "platform/thread.h"

#include <cerrno>
#include <new>

#if defined(__linux__)
#include <unistd.h>
#elif defined(__FreeBSD__)
#include <pthread_np.h>
#endif

namespace skerrow {
namespace {

struct StartCell {
  std::move_only_function<void()> body;
};

void* thread_entry(void* arg) {
  auto* cell = static_cast<StartCell*>(arg);
  auto body = std::move(cell->body);
  delete cell;
  body();
  return nullptr;
}

}  // namespace

std::uint64_t current_thread_id() {
#if defined(__linux__)
  return static_cast<std::uint64_t>(gettid());
#elif defined(__FreeBSD__)
  return static_cast<std::uint64_t>(pthread_getthreadid_np());
#else
  return reinterpret_cast<std::uintptr_t>(pthread_self());
#endif
}

Result<pthread_t> start_thread(std::move_only_function<void()> body, ThreadOptions options) {
  auto* cell = new (std::nothrow) StartCell;
  if (cell == nullptr) return fail(ErrorCode::OutOfMemory);
  cell->body = std::move(body);

  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    delete cell;
    return fail(ErrorCode::SystemResources);
  }
  pthread_attr_setstacksize(&attr, options.stack_size);
  pthread_attr_setguardsize(&attr, options.guard_size);
  if (options.detached) pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);

  pthread_t handle;
  int rc = pthread_create(&handle, &attr, thread_entry, cell);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete cell;
    return fail(rc == EAGAIN ? ErrorCode::SystemResources : ErrorCode::Unexpected);
  }
  return handle;
}

}  // namespace skerrow
