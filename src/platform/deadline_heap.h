// Deadlines, earliest first, for an event loop's wait: a binary heap whose entries know their
// place, so that one entry's deadline can be moved or dropped without searching.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "platform/deadline.h"

namespace skerrow {

// `T` keeps its own `Deadline deadline` and `std::size_t heap_slot` (kNotInHeap while it is in
// no heap); the heap holds pointers, so an entry must stay where it is while it is in one.
template <typename T>
class DeadlineHeap {
 public:
  static constexpr std::size_t kNotInHeap = static_cast<std::size_t>(-1);

  // Room for `count` entries, so that set() for that many never allocates. Throws
  // std::bad_alloc.
  void reserve(std::size_t count) { heap_.reserve(count); }

  // Puts `entry` in the heap, or moves it, at `deadline`. REQUIRES: room reserved for it.
  void set(T& entry, Deadline deadline) {
    entry.deadline = deadline;
    if (entry.heap_slot == kNotInHeap) {
      entry.heap_slot = heap_.size();
      heap_.push_back(&entry);
    }
    up(entry.heap_slot);
    down(entry.heap_slot);
  }

  // Takes `entry` out of the heap; nothing when it is not in it.
  void remove(T& entry) {
    const std::size_t i = entry.heap_slot;
    if (i == kNotInHeap) return;
    const std::size_t last = heap_.size() - 1;
    if (i != last) swap(i, last);
    heap_.pop_back();
    entry.heap_slot = kNotInHeap;
    if (i < heap_.size()) {
      up(i);
      down(i);
    }
  }

  bool empty() const { return heap_.empty(); }
  // REQUIRES: !empty().
  T& earliest() const { return *heap_.front(); }

 private:
  void swap(std::size_t a, std::size_t b) {
    std::swap(heap_[a], heap_[b]);
    heap_[a]->heap_slot = a;
    heap_[b]->heap_slot = b;
  }

  void up(std::size_t i) {
    while (i > 0) {
      const std::size_t parent = (i - 1) / 2;
      if (heap_[parent]->deadline.when() <= heap_[i]->deadline.when()) return;
      swap(i, parent);
      i = parent;
    }
  }

  void down(std::size_t i) {
    for (;;) {
      std::size_t least = i;
      for (std::size_t child : {2 * i + 1, 2 * i + 2}) {
        if (child < heap_.size() && heap_[child]->deadline.when() < heap_[least]->deadline.when()) {
          least = child;
        }
      }
      if (least == i) return;
      swap(i, least);
      i = least;
    }
  }

  std::vector<T*> heap_;
};

}  // namespace skerrow
