// Linux back end: epoll for readiness, one timerfd per periodic timer, one signalfd per
// signal source.
#if defined(__linux__)

#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "platform/event_loop.h"
#include "platform/socket.h"
#include "platform/io.h"

namespace skerrow {
namespace {

// Named like the kqueue table so that both back ends report the same names.
ErrorCode control_error(int err) {
  switch (err) {
    case ENOENT: return ErrorCode::EventNotFound;
    case ENOMEM:
    case ENOSPC: return ErrorCode::SystemResources;
    case EPERM:
    case EACCES: return ErrorCode::AccessDenied;
    default: return ErrorCode::Unexpected;
  }
}

}  // namespace

Result<EventLoop> EventLoop::create() {
  int fd = epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) return fail(create_error_from_errno(errno));
  return EventLoop(fd);
}

Status EventLoop::add_readable(int fd, std::uint64_t tag) {
  if (source_count_ == kMaxLoopSources) return fail(ErrorCode::TooManySubscriptions);
  epoll_event ev{};
  ev.events = EPOLLIN;  // level-triggered: no EPOLLET
  ev.data.u64 = source_count_;
  if (epoll_ctl(queue_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) return fail(control_error(errno));
  sources_[source_count_++] = Source{fd, tag, false, false, false};
  return {};
}

namespace {

// Registers a descriptor the loop made for a source (`index` in sources_); closes it when
// that fails, so the caller has nothing to clean up.
Status watch_owned(int queue_fd, int fd, std::size_t index) {
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = index;
  if (epoll_ctl(queue_fd, EPOLL_CTL_ADD, fd, &ev) == 0) return {};
  const ErrorCode code = control_error(errno);
  close_fd(fd);
  return fail(code);
}

itimerspec timer_setting(std::uint64_t delay_ms, bool periodic) {
  delay_ms = std::min(delay_ms, kMaxTimerMs);
  itimerspec when{};
  when.it_value.tv_sec = static_cast<time_t>(delay_ms / 1000);
  when.it_value.tv_nsec = static_cast<long>(delay_ms % 1000) * 1000000L;
  if (periodic) when.it_interval = when.it_value;
  return when;
}

}  // namespace

// A periodic timer is armed at once; a one-shot timer waits for arm_timer.
Status EventLoop::add_timer_source(std::uint64_t period_ms, std::uint64_t tag, bool oneshot) {
  if (source_count_ == kMaxLoopSources) return fail(ErrorCode::TooManySubscriptions);
  int tfd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (tfd < 0) {
    return fail(errno == EINVAL || errno == ENODEV ? ErrorCode::TimerUnsupported
                                                   : create_error_from_errno(errno));
  }
  if (!oneshot) {
    itimerspec period = timer_setting(period_ms, true);
    if (timerfd_settime(tfd, 0, &period, nullptr) != 0) {
      close_fd(tfd);
      return fail(ErrorCode::TimerUnsupported);
    }
  }
  if (auto watched = watch_owned(queue_fd_, tfd, source_count_); !watched) return watched;
  sources_[source_count_++] = Source{tfd, tag, true, oneshot, true};
  return {};
}

Status EventLoop::add_timer(std::uint64_t period_ms, std::uint64_t tag) {
  return add_timer_source(period_ms, tag, false);
}

Status EventLoop::add_oneshot_timer(std::uint64_t tag) { return add_timer_source(0, tag, true); }

Status EventLoop::arm_timer(std::uint64_t tag, std::uint64_t delay_ms) {
  std::size_t i = find_oneshot(tag);
  if (i == source_count_) return fail(ErrorCode::EventNotFound);
  itimerspec once = timer_setting(delay_ms, false);
  if (timerfd_settime(sources_[i].fd, 0, &once, nullptr) != 0) {
    return fail(ErrorCode::TimerUnsupported);
  }
  return {};
}

Status EventLoop::set_readable(int fd, bool enabled) {
  std::size_t i = find_readable(fd);
  if (i == source_count_) return fail(ErrorCode::EventNotFound);
  epoll_event ev{};
  ev.events = enabled ? static_cast<std::uint32_t>(EPOLLIN) : 0u;
  ev.data.u64 = i;
  if (epoll_ctl(queue_fd_, EPOLL_CTL_MOD, fd, &ev) != 0) return fail(control_error(errno));
  return {};
}

Status EventLoop::pause_readable(int fd) { return set_readable(fd, false); }
Status EventLoop::resume_readable(int fd) { return set_readable(fd, true); }

Status EventLoop::add_signals(std::span<const int> signals, std::uint64_t tag) {
  if (source_count_ == kMaxLoopSources) return fail(ErrorCode::TooManySubscriptions);
  sigset_t set;
  sigemptyset(&set);
  for (int signal : signals) sigaddset(&set, signal);
  // A signalfd also reads what was pending before it existed: a signal that came during
  // start-up, while already blocked, is not lost.
  int sfd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (sfd < 0) return fail(create_error_from_errno(errno));
  if (auto watched = watch_owned(queue_fd_, sfd, source_count_); !watched) return watched;
  sources_[source_count_++] = Source{sfd, tag, false, false, true, true};
  return {};
}

namespace {

// A connection's registration carries its tag with this bit set; a source's is its index.
constexpr std::uint64_t kConnectionBit = std::uint64_t{1} << 63;

Status control_connection(int queue_fd, int op, int fd, Interest interest, std::uint64_t tag) {
  epoll_event ev{};
  ev.events = interest == Interest::read ? static_cast<std::uint32_t>(EPOLLIN) : static_cast<std::uint32_t>(EPOLLOUT);
  ev.data.u64 = tag | kConnectionBit;
  if (epoll_ctl(queue_fd, op, fd, &ev) != 0) return fail(control_error(errno));
  return {};
}

std::int64_t connection_ready(std::uint32_t events) {
  std::int64_t ready = 0;
  if ((events & EPOLLIN) != 0) ready |= kConnectionReadable;
  if ((events & EPOLLOUT) != 0) ready |= kConnectionWritable;
  if ((events & (EPOLLERR | EPOLLHUP)) != 0) ready |= kConnectionHangup;
  return ready;
}

}  // namespace

Status EventLoop::add_connection(int fd, Interest interest, std::uint64_t tag) {
  return control_connection(queue_fd_, EPOLL_CTL_ADD, fd, interest, tag);
}

Status EventLoop::change_connection(int fd, Interest interest, std::uint64_t tag) {
  return control_connection(queue_fd_, EPOLL_CTL_MOD, fd, interest, tag);
}

Status EventLoop::forget_connection(int fd) {
  epoll_event ev{};  // ignored, but kernels before 2.6.9 wanted it
  if (epoll_ctl(queue_fd_, EPOLL_CTL_DEL, fd, &ev) != 0) return fail(control_error(errno));
  return {};
}

Status EventLoop::add_wakeup(std::uint64_t tag) {
  if (source_count_ == kMaxLoopSources) return fail(ErrorCode::TooManySubscriptions);
  int efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (efd < 0) return fail(create_error_from_errno(errno));
  if (auto watched = watch_owned(queue_fd_, efd, source_count_); !watched) return watched;
  Source source{efd, tag, false, false, true, false};
  source.wakeup = true;
  sources_[source_count_++] = source;
  wakeup_fd_ = efd;
  has_wakeup_ = true;
  return {};
}

void EventLoop::wake() noexcept {
  if (wakeup_fd_ < 0) return;
  const std::uint64_t one = 1;
  // A full counter (never reached) or an interrupted call both leave a wake-up pending.
  (void)!::write(wakeup_fd_, &one, sizeof one);
}

Result<std::span<const LoopEvent>> EventLoop::poll_events(int timeout_ms) {
  epoll_event events[kMaxLoopEvents];
  int n = 0;
  do {
    n = epoll_wait(queue_fd_, events, static_cast<int>(kMaxLoopEvents), timeout_ms);
  } while (n < 0 && errno == EINTR && timeout_ms < 0);
  if (n < 0) {
    if (errno == EINTR) return std::span<const LoopEvent>();
    return fail(control_error(errno));
  }
  std::size_t count = 0;
  for (int i = 0; i < n; ++i) {
    if ((events[i].data.u64 & kConnectionBit) != 0) {
      ready_[count++] = LoopEvent{events[i].data.u64 & ~kConnectionBit, connection_ready(events[i].events)};
      continue;
    }
    const Source& source = sources_[events[i].data.u64];
    std::int64_t data = 1;
    if (source.wakeup) {
      // Emptying the counter ends the readiness; wakes that come later make it again.
      std::uint64_t wakes = 0;
      if (::read(source.fd, &wakes, sizeof wakes) != sizeof wakes) continue;
    } else if (source.timer) {
      // Reading the expiry count re-arms the level-triggered readiness.
      std::uint64_t expirations = 0;
      if (::read(source.fd, &expirations, sizeof expirations) != sizeof expirations) continue;
      data = static_cast<std::int64_t>(expirations);
    } else if (source.signal) {
      // One signal per event: several pending ones keep the descriptor readable, so the
      // next wait reports the next.
      signalfd_siginfo info{};
      if (::read(source.fd, &info, sizeof info) != sizeof info) continue;
      data = static_cast<std::int64_t>(info.ssi_signo);
    }
    ready_[count++] = LoopEvent{source.tag, data};
  }
  // Only timers or signals that had already been drained can leave nothing to report.
  return std::span<const LoopEvent>(ready_.data(), count);
}

}  // namespace skerrow

#endif  // __linux__
