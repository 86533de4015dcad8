// BSD and macOS back end: one kqueue; EVFILT_READ for descriptors, EVFILT_TIMER for timers,
// EVFILT_SIGNAL for signals.
#if defined(__FreeBSD__) || defined(__APPLE__)

#include <signal.h>
#include <sys/types.h>
#include <sys/event.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/event_loop.h"

namespace skerrow {
namespace {

ErrorCode create_error(int err) {
  switch (err) {
    case EMFILE: return ErrorCode::ProcessFdQuotaExceeded;
    case ENFILE: return ErrorCode::SystemFdQuotaExceeded;
    default: return ErrorCode::Unexpected;
  }
}

ErrorCode kevent_error(int err) {
  switch (err) {
    case ENOENT: return ErrorCode::EventNotFound;
    case ESRCH: return ErrorCode::ProcessNotFound;
    case ENOMEM: return ErrorCode::SystemResources;
    case EACCES: return ErrorCode::AccessDenied;
    default: return ErrorCode::Unexpected;
  }
}

Status apply(int queue_fd, struct kevent& change) {
  for (;;) {
    if (kevent(queue_fd, &change, 1, nullptr, 0, nullptr) == 0) return {};
    if (errno != EINTR) return fail(kevent_error(errno));
  }
}

}  // namespace

Result<EventLoop> EventLoop::create() {
  int fd = kqueue();
  if (fd < 0) return fail(create_error(errno));
  return EventLoop(fd);
}

Status EventLoop::add_readable(int fd, std::uint64_t tag) {
  if (source_count_ == kMaxLoopSources) return fail(ErrorCode::TooManySubscriptions);
  struct kevent change;
  // No EV_CLEAR: level-triggered, so a backlog that is not drained is reported again.
  EV_SET(&change, fd, EVFILT_READ, EV_ADD | EV_ENABLE, 0, 0,
         reinterpret_cast<void*>(static_cast<std::uintptr_t>(tag)));
  if (auto st = apply(queue_fd_, change); !st) return st;
  sources_[source_count_++] = Source{fd, tag, false, false, false};
  return {};
}

Status EventLoop::add_timer(std::uint64_t period_ms, std::uint64_t tag) {
  if (source_count_ == kMaxLoopSources) return fail(ErrorCode::TooManySubscriptions);
  struct kevent change;
  // Timer identifiers live in their own name space; the source index keeps them unique.
  EV_SET(&change, source_count_, EVFILT_TIMER, EV_ADD | EV_ENABLE, 0,
         static_cast<std::intptr_t>(std::min(period_ms, kMaxTimerMs)),
         reinterpret_cast<void*>(static_cast<std::uintptr_t>(tag)));
  if (auto st = apply(queue_fd_, change); !st) {
    return fail(st.error() == ErrorCode::Unexpected ? ErrorCode::TimerUnsupported : st.error());
  }
  sources_[source_count_++] = Source{-1, tag, true, false, false};
  return {};
}

// Nothing is registered until the timer is armed: an EV_ONESHOT timer needs no descriptor
// and removes itself once it has fired.
Status EventLoop::add_oneshot_timer(std::uint64_t tag) {
  if (source_count_ == kMaxLoopSources) return fail(ErrorCode::TooManySubscriptions);
  sources_[source_count_++] = Source{-1, tag, true, true, false};
  return {};
}

Status EventLoop::arm_timer(std::uint64_t tag, std::uint64_t delay_ms) {
  std::size_t i = find_oneshot(tag);
  if (i == source_count_) return fail(ErrorCode::EventNotFound);
  struct kevent change;
  // Adding an existing timer again replaces its period, so re-arming is one call.
  EV_SET(&change, i, EVFILT_TIMER, EV_ADD | EV_ENABLE | EV_ONESHOT, 0,
         static_cast<std::intptr_t>(std::min(delay_ms, kMaxTimerMs)),
         reinterpret_cast<void*>(static_cast<std::uintptr_t>(tag)));
  if (auto st = apply(queue_fd_, change); !st) {
    return fail(st.error() == ErrorCode::Unexpected ? ErrorCode::TimerUnsupported : st.error());
  }
  return {};
}

Status EventLoop::set_readable(int fd, bool enabled) {
  std::size_t i = find_readable(fd);
  if (i == source_count_) return fail(ErrorCode::EventNotFound);
  struct kevent change;
  EV_SET(&change, fd, EVFILT_READ, enabled ? (EV_ADD | EV_ENABLE) : EV_DISABLE, 0, 0,
         reinterpret_cast<void*>(static_cast<std::uintptr_t>(sources_[i].tag)));
  return apply(queue_fd_, change);
}

Status EventLoop::pause_readable(int fd) { return set_readable(fd, false); }
Status EventLoop::resume_readable(int fd) { return set_readable(fd, true); }

Status EventLoop::add_signals(std::span<const int> signals, std::uint64_t tag) {
  if (source_count_ == kMaxLoopSources) return fail(ErrorCode::TooManySubscriptions);
  for (int signal : signals) {
    struct kevent change;
    EV_SET(&change, signal, EVFILT_SIGNAL, EV_ADD | EV_ENABLE, 0, 0,
           reinterpret_cast<void*>(static_cast<std::uintptr_t>(tag)));
    if (auto st = apply(queue_fd_, change); !st) return st;
  }
  // EVFILT_SIGNAL sees only signals sent from now on, but every sending, blocked or not. One
  // that came earlier (during start-up) still waits blocked; sending it again makes it seen.
  sigset_t pending;
  if (sigpending(&pending) == 0) {
    for (int signal : signals) {
      if (sigismember(&pending, signal) == 1) (void)kill(getpid(), signal);
    }
  }
  sources_[source_count_++] = Source{-1, tag, false, false, false, true};
  return {};
}

Result<std::span<const LoopEvent>> EventLoop::poll_events(int timeout_ms) {
  struct kevent events[kMaxLoopEvents];
  timespec limit{};
  if (timeout_ms >= 0) {
    limit.tv_sec = timeout_ms / 1000;
    limit.tv_nsec = static_cast<long>(timeout_ms % 1000) * 1000000L;
  }
  int n = 0;
  do {
    n = kevent(queue_fd_, nullptr, 0, events, static_cast<int>(kMaxLoopEvents),
               timeout_ms >= 0 ? &limit : nullptr);
  } while (n < 0 && errno == EINTR && timeout_ms < 0);
  if (n < 0) {
    if (errno == EINTR) return std::span<const LoopEvent>();
    return fail(kevent_error(errno));
  }
  for (int i = 0; i < n; ++i) {
    // A signal event's data counts arrivals; the number of the signal is what callers need.
    std::int64_t data = events[i].filter == EVFILT_SIGNAL ? static_cast<std::int64_t>(events[i].ident)
                                                          : static_cast<std::int64_t>(events[i].data);
    ready_[static_cast<std::size_t>(i)] =
        LoopEvent{reinterpret_cast<std::uintptr_t>(events[i].udata), data};
  }
  return std::span<const LoopEvent>(ready_.data(), static_cast<std::size_t>(n));
}

}  // namespace skerrow

#endif  // __FreeBSD__ || __APPLE__
