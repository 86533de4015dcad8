// Readiness notification for the front end's event loop: a handful of calls over whatever the
// system offers (kqueue on the BSDs and macOS, epoll with timerfd and signalfd on Linux).
// Callers see tags and counts, never an OS event structure.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "error/error.h"

namespace skerrow {

inline constexpr std::size_t kMaxLoopEvents = 256;
inline constexpr std::size_t kMaxLoopSources = 8;
inline constexpr std::uint64_t kMaxTimerMs = 365ull * 24 * 60 * 60 * 1000;  // one year

struct LoopEvent {
  std::uint64_t tag = 0;
  // Readable descriptor: the number of pending items where the system reports it (the
  // listen backlog on kqueue), otherwise 1. Timer: the number of periods that elapsed.
  // Signal: the signal's number. Connection: a mask of the kConnection* bits below.
  std::int64_t data = 0;
};

// What a connection's event reports (LoopEvent::data); several may come together.
inline constexpr std::int64_t kConnectionReadable = 1;
inline constexpr std::int64_t kConnectionWritable = 2;
inline constexpr std::int64_t kConnectionHangup = 4;  // an error or the peer gone both ways

// What the owner of a connection waits for next.
enum class Interest : std::uint8_t { read, write };

// Tags of connections must leave this bit clear: the loop keeps it to tell them from sources.
inline constexpr std::uint64_t kConnectionTagLimit = std::uint64_t{1} << 62;

class EventLoop {
 public:
  // Creates the notification queue. Errors: ProcessFdQuotaExceeded, SystemFdQuotaExceeded,
  // SystemResources, Unexpected.
  static Result<EventLoop> create();

  EventLoop(EventLoop&& other) noexcept;
  EventLoop& operator=(EventLoop&& other) noexcept;
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;
  ~EventLoop();  // closes the queue and every timer it made; watched descriptors stay open

  // Reports `fd` readable, level-triggered: every wait reports it again while data (or a
  // connection) is pending. The caller keeps ownership of `fd`. Errors: EventNotFound,
  // ProcessNotFound, SystemResources, AccessDenied, TooManySubscriptions (more than
  // kMaxLoopSources sources), Unexpected.
  Status add_readable(int fd, std::uint64_t tag);

  // Reports `tag` every `period_ms` milliseconds (REQUIRES: period_ms > 0), first after one
  // period. A period above kMaxTimerMs is taken as kMaxTimerMs, which every back end can
  // represent. Errors: as add_readable, plus TimerUnsupported.
  Status add_timer(std::uint64_t period_ms, std::uint64_t tag);

  // Adds a timer that stays silent until arm_timer(tag, ...) and then reports `tag` once.
  // Made up front so that arming it later needs no new descriptor (it is armed precisely
  // when descriptors may have run out). Errors: as add_timer.
  Status add_oneshot_timer(std::uint64_t tag);

  // Makes the one-shot timer `tag` report once after `delay_ms` (REQUIRES: delay_ms > 0;
  // capped like add_timer), replacing an earlier arming that has not fired yet.
  // Errors: EventNotFound (no one-shot timer carries `tag`), TimerUnsupported, the
  // add_readable errors.
  Status arm_timer(std::uint64_t tag, std::uint64_t delay_ms);

  // Stops or resumes reporting a descriptor added with add_readable. Readiness that persists
  // while paused is reported again after resuming. Errors: EventNotFound (not added here),
  // the add_readable errors.
  Status pause_readable(int fd);
  Status resume_readable(int fd);

  // Reports `tag`, with the signal's number as data, whenever one of `signals` arrives; one
  // that was already pending when the source was added is reported too. Several arrivals of
  // one signal between two waits may be reported once. REQUIRES: `signals` are blocked in
  // every thread (platform/signals.h), so that none is taken by a handler or a default action
  // first. Errors: as add_timer without TimerUnsupported, plus ProcessFdQuotaExceeded and
  // SystemFdQuotaExceeded where the source needs a descriptor.
  Status add_signals(std::span<const int> signals, std::uint64_t tag);

  // Watches a client connection for `interest`, level-triggered, reporting `tag` (REQUIRES:
  // below kConnectionTagLimit) with the kConnection* bits as data. Connections are not
  // sources: any number may be watched. change_connection switches a watched one to another
  // interest or tag; forget_connection stops watching (do so before closing it: a connection
  // is never reported again once forgotten, even by a wait already under way on another
  // thread, since only the loop's own thread waits). The caller keeps ownership of `fd`.
  // Errors: the add_readable errors (EventNotFound for a connection not watched here).
  Status add_connection(int fd, Interest interest, std::uint64_t tag);
  Status change_connection(int fd, Interest interest, std::uint64_t tag);
  Status forget_connection(int fd);

  // Adds a source that any thread can make report `tag` once by calling wake(); several wakes
  // before the next wait are reported once. Errors: as add_signals.
  Status add_wakeup(std::uint64_t tag);
  // Makes the wake-up source report. Safe from any thread; does nothing without one.
  void wake() noexcept;

  // Blocks until at least one source is ready and returns up to kMaxLoopEvents events, valid
  // until the next wait. An interrupted wait is repeated. Errors: EventNotFound,
  // ProcessNotFound, SystemResources, AccessDenied, Unexpected.
  Result<std::span<const LoopEvent>> wait();

  // As wait, but returns an empty span when nothing was reported within `timeout_ms`
  // (possibly sooner: an interrupted or otherwise empty wait is not repeated).
  Result<std::span<const LoopEvent>> wait_for(std::uint64_t timeout_ms);

 private:
  struct Source {
    int fd = -1;             // the watched descriptor, or the timer's own descriptor
    std::uint64_t tag = 0;
    bool timer = false;
    bool oneshot = false;    // a timer that reports only when armed
    bool owned = false;      // closed with the loop
    bool signal = false;     // a signal source (its descriptor, where it has one, is owned)
    bool wakeup = false;     // the wake-up source (its descriptor, where it has one, is owned)
  };

  explicit EventLoop(int queue_fd) : queue_fd_(queue_fd) {}
  void close_all() noexcept;
  // Index of the source for a readable `fd` or a one-shot timer `tag`; source_count_ if none.
  std::size_t find_readable(int fd) const;
  std::size_t find_oneshot(std::uint64_t tag) const;
  Status add_timer_source(std::uint64_t period_ms, std::uint64_t tag, bool oneshot);
  Status set_readable(int fd, bool enabled);
  // One wait of the back end: -1 waits without limit. Empty when nothing was reported.
  Result<std::span<const LoopEvent>> poll_events(int timeout_ms);

  int queue_fd_ = -1;
  int wakeup_fd_ = -1;  // the wake-up source's descriptor where it has one, else -1
  bool has_wakeup_ = false;
  std::size_t source_count_ = 0;
  std::array<Source, kMaxLoopSources> sources_{};
  std::array<LoopEvent, kMaxLoopEvents> ready_{};
};

}  // namespace skerrow
