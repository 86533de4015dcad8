// BSD and macOS back end: one kqueue; EVFILT_READ for descriptors, EVFILT_TIMER for timers,
// EVFILT_SIGNAL for signals, EVFILT_READ or EVFILT_WRITE for connections, EVFILT_USER for the
// wake-up.
#if defined(__FreeBSD__) || defined(__APPLE__)

#include <signal.h>
#include <sys/types.h>
#include <sys/event.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "platform/event_loop.h"
#include "platform/socket.h"

namespace skerrow {
namespace {

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

// EV_SET fills the structure with a braced initializer on FreeBSD, where a narrowing argument
// does not compile in C++: descriptors and signal numbers are converted first.
std::uintptr_t ident(int fd_or_signal) { return static_cast<std::uintptr_t>(fd_or_signal); }

// Connection tags travel in udata, which is a pointer.
static_assert(sizeof(void*) >= sizeof(std::uint64_t), "udata cannot carry a connection's tag");

// A connection's registration carries its tag with this bit set; a source's is its index, so
// a source's tag may be any value.
constexpr std::uint64_t kConnectionBit = std::uint64_t{1} << 63;

void* source_data(std::size_t index) {
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(index));
}

void* connection_data(std::uint64_t tag) {
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(tag | kConnectionBit));
}

}  // namespace

Result<EventLoop> EventLoop::create() {
  int fd = kqueue();
  if (fd < 0) return fail(create_error_from_errno(errno));
  return EventLoop(fd);
}

Status EventLoop::add_readable(int fd, std::uint64_t tag) {
  if (source_count_ == kMaxLoopSources) return fail(ErrorCode::TooManySubscriptions);
  struct kevent change;
  // No EV_CLEAR: level-triggered, so a backlog that is not drained is reported again.
  EV_SET(&change, ident(fd), EVFILT_READ, EV_ADD | EV_ENABLE, 0, 0, source_data(source_count_));
  if (auto st = apply(queue_fd_, change); !st) return st;
  sources_[source_count_++] = Source{fd, tag, false, false, false};
  return {};
}

Status EventLoop::add_timer(std::uint64_t period_ms, std::uint64_t tag) {
  if (source_count_ == kMaxLoopSources) return fail(ErrorCode::TooManySubscriptions);
  struct kevent change;
  // Timer identifiers live in their own name space; the source index keeps them unique.
  EV_SET(&change, source_count_, EVFILT_TIMER, EV_ADD | EV_ENABLE, 0,
         static_cast<std::intptr_t>(std::min(period_ms, kMaxTimerMs)), source_data(source_count_));
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
         static_cast<std::intptr_t>(std::min(delay_ms, kMaxTimerMs)), source_data(i));
  if (auto st = apply(queue_fd_, change); !st) {
    return fail(st.error() == ErrorCode::Unexpected ? ErrorCode::TimerUnsupported : st.error());
  }
  return {};
}

Status EventLoop::set_readable(int fd, bool enabled) {
  std::size_t i = find_readable(fd);
  if (i == source_count_) return fail(ErrorCode::EventNotFound);
  struct kevent change;
  const auto flags = static_cast<unsigned short>(enabled ? (EV_ADD | EV_ENABLE) : EV_DISABLE);
  EV_SET(&change, ident(fd), EVFILT_READ, flags, 0, 0, source_data(i));
  return apply(queue_fd_, change);
}

Status EventLoop::pause_readable(int fd) { return set_readable(fd, false); }
Status EventLoop::resume_readable(int fd) { return set_readable(fd, true); }

Status EventLoop::add_signals(std::span<const int> signals, std::uint64_t tag) {
  if (source_count_ == kMaxLoopSources) return fail(ErrorCode::TooManySubscriptions);
  for (int signal : signals) {
    struct kevent change;
    EV_SET(&change, ident(signal), EVFILT_SIGNAL, EV_ADD | EV_ENABLE, 0, 0,
           source_data(source_count_));
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

namespace {

short connection_filter(Interest interest) {
  return interest == Interest::read ? EVFILT_READ : EVFILT_WRITE;
}

// Reading and writing are two filters here, one registered at a time. EV_EOF on the read side
// is also the peer's orderly close, which a read of 0 tells: only with the socket's error (in
// fflags) is it a hang-up. On the write side it means nothing more can be sent.
std::int64_t connection_ready(const struct kevent& event) {
  const bool reading = event.filter == EVFILT_READ;
  std::int64_t ready = reading ? kConnectionReadable : kConnectionWritable;
  if ((event.flags & EV_EOF) != 0 && (!reading || event.fflags != 0)) ready |= kConnectionHangup;
  return ready;
}

// The wake-up's identifier among EVFILT_USER events.
constexpr std::uintptr_t kWakeupIdent = 1;

}  // namespace

Status EventLoop::add_connection(int fd, Interest interest, std::uint64_t tag) {
  struct kevent change;
  // No EV_CLEAR: level-triggered, as add_connection promises.
  EV_SET(&change, ident(fd), connection_filter(interest), EV_ADD | EV_ENABLE, 0, 0,
         connection_data(tag));
  return apply(queue_fd_, change);
}

Status EventLoop::change_connection(int fd, Interest interest, std::uint64_t tag) {
  const short wanted = connection_filter(interest);
  const short other =
      connection_filter(interest == Interest::read ? Interest::write : Interest::read);
  struct kevent change;
  // Without EV_ADD a change applies only to a registration that exists: the tag is replaced
  // when the interest stays, and ENOENT says the interest switches (or nothing is watched).
  EV_SET(&change, ident(fd), wanted, EV_ENABLE, 0, 0, connection_data(tag));
  if (auto kept = apply(queue_fd_, change); kept || kept.error() != ErrorCode::EventNotFound) {
    return kept;
  }
  // Adding before deleting leaves the connection as it was when the add fails.
  EV_SET(&change, ident(fd), wanted, EV_ADD | EV_ENABLE, 0, 0, connection_data(tag));
  if (auto added = apply(queue_fd_, change); !added) return added;
  EV_SET(&change, ident(fd), other, EV_DELETE, 0, 0, nullptr);
  if (auto removed = apply(queue_fd_, change); !removed) {
    // EventNotFound: the connection was not watched here, and must not be from now on either.
    EV_SET(&change, ident(fd), wanted, EV_DELETE, 0, 0, nullptr);
    (void)apply(queue_fd_, change);
    return removed;
  }
  return {};
}

Status EventLoop::forget_connection(int fd) {
  // The loop does not keep which of the two filters is registered: both are deleted in one
  // call, and a receipt for each (EV_RECEIPT, error 0 on success) tells whether either was.
  // Receipts end the call before it looks for events, so it neither waits nor is interrupted.
  struct kevent changes[2];
  EV_SET(&changes[0], ident(fd), EVFILT_READ, EV_DELETE | EV_RECEIPT, 0, 0, nullptr);
  EV_SET(&changes[1], ident(fd), EVFILT_WRITE, EV_DELETE | EV_RECEIPT, 0, 0, nullptr);
  struct kevent receipts[2];
  const timespec no_wait{};
  const int n = kevent(queue_fd_, changes, 2, receipts, 2, &no_wait);
  if (n < 0) return fail(kevent_error(errno));
  bool removed = false;
  for (int i = 0; i < n; ++i) {
    if ((receipts[i].flags & EV_ERROR) == 0) continue;
    const auto err = static_cast<int>(receipts[i].data);
    if (err == 0) {
      removed = true;
    } else if (err != ENOENT) {
      return fail(kevent_error(err));
    }
  }
  if (!removed) return fail(ErrorCode::EventNotFound);
  return {};
}

Status EventLoop::add_wakeup(std::uint64_t tag) {
  if (source_count_ == kMaxLoopSources) return fail(ErrorCode::TooManySubscriptions);
  struct kevent change;
  // EV_CLEAR: reporting the event resets it, so the wakes before one wait are reported once.
  EV_SET(&change, kWakeupIdent, EVFILT_USER, EV_ADD | EV_CLEAR, 0, 0, source_data(source_count_));
  if (auto st = apply(queue_fd_, change); !st) return st;
  Source source{-1, tag, false, false, false, false};
  source.wakeup = true;
  sources_[source_count_++] = source;
  has_wakeup_ = true;
  return {};
}

void EventLoop::wake() noexcept {
  if (!has_wakeup_) return;
  struct kevent change;
  // Every change replaces the registration's udata, this one too: the wake-up is told by its
  // filter when it is reported, not by udata. No EV_CLEAR here, which would undo the trigger.
  EV_SET(&change, kWakeupIdent, EVFILT_USER, 0, NOTE_TRIGGER, 0, nullptr);
  (void)apply(queue_fd_, change);
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
  std::size_t count = 0;
  for (int i = 0; i < n; ++i) {
    const struct kevent& event = events[i];
    if (event.filter == EVFILT_USER) {
      std::size_t w = 0;
      while (w < source_count_ && !sources_[w].wakeup) ++w;
      if (w < source_count_) ready_[count++] = LoopEvent{sources_[w].tag, 1};
      continue;
    }
    const auto data = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(event.udata));
    if ((data & kConnectionBit) != 0) {
      ready_[count++] = LoopEvent{data & ~kConnectionBit, connection_ready(event)};
      continue;
    }
    if (data >= source_count_) continue;
    const Source& source = sources_[data];
    // A signal event's data counts arrivals; the number of the signal is what callers need.
    ready_[count++] = LoopEvent{source.tag, source.signal ? static_cast<std::int64_t>(event.ident)
                                                          : static_cast<std::int64_t>(event.data)};
  }
  return std::span<const LoopEvent>(ready_.data(), count);
}

}  // namespace skerrow

#endif  // __FreeBSD__ || __APPLE__
