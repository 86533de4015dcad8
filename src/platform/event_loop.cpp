// The parts of the event loop that do not depend on the system's notification interface.
#include <algorithm>
#include <climits>
#include <utility>

#include "platform/event_loop.h"
#include "platform/io.h"

namespace skerrow {

EventLoop::EventLoop(EventLoop&& other) noexcept
    : queue_fd_(std::exchange(other.queue_fd_, -1)),
      wakeup_fd_(std::exchange(other.wakeup_fd_, -1)),
      has_wakeup_(std::exchange(other.has_wakeup_, false)),
      source_count_(std::exchange(other.source_count_, 0)),
      sources_(other.sources_) {}

EventLoop& EventLoop::operator=(EventLoop&& other) noexcept {
  if (this != &other) {
    close_all();
    queue_fd_ = std::exchange(other.queue_fd_, -1);
    wakeup_fd_ = std::exchange(other.wakeup_fd_, -1);
    has_wakeup_ = std::exchange(other.has_wakeup_, false);
    source_count_ = std::exchange(other.source_count_, 0);
    sources_ = other.sources_;
  }
  return *this;
}

EventLoop::~EventLoop() { close_all(); }

std::size_t EventLoop::find_readable(int fd) const {
  std::size_t i = 0;
  while (i < source_count_ &&
         (sources_[i].timer || sources_[i].signal || sources_[i].wakeup || sources_[i].fd != fd)) {
    ++i;
  }
  return i;
}

std::size_t EventLoop::find_oneshot(std::uint64_t tag) const {
  std::size_t i = 0;
  while (i < source_count_ && !(sources_[i].oneshot && sources_[i].tag == tag)) ++i;
  return i;
}

Result<std::span<const LoopEvent>> EventLoop::wait() {
  for (;;) {
    auto events = poll_events(-1);
    if (!events || !events->empty()) return events;
  }
}

Result<std::span<const LoopEvent>> EventLoop::wait_for(std::uint64_t timeout_ms) {
  return poll_events(static_cast<int>(std::min<std::uint64_t>(timeout_ms, INT_MAX)));
}

void EventLoop::close_all() noexcept {
  for (std::size_t i = 0; i < source_count_; ++i) {
    if (sources_[i].owned) close_fd(sources_[i].fd);
  }
  source_count_ = 0;
  wakeup_fd_ = -1;
  has_wakeup_ = false;
  if (queue_fd_ >= 0) close_fd(queue_fd_);
  queue_fd_ = -1;
}

}  // namespace skerrow
