// Per-request memory: obtained from the operating system in whole pages and given back all
// at once when the request ends. Small blocks are carved from 64 KiB chunks; a block of
// 64 KiB or more gets a mapping of its own, which is returned early when it is deallocated
// (so a growing reply buffer does not pile up its old copies).
#pragma once

#include <cstddef>
#include <memory_resource>

namespace skerrow {

// A block of at least `*bytes` bytes (64 KiB or more) that is a mapping of its own, taken from
// the mappings kept for reuse when one fits (its pages then need no fault when written) or
// mapped anew; its real length is left in *bytes. nullptr when the system refuses. Given
// back with give_back_block and that length, which keeps it for reuse when there is room.
void* take_block(std::size_t* bytes) noexcept;
void give_back_block(void* block, std::size_t bytes) noexcept;

class PageArena final : public std::pmr::memory_resource {
 public:
  PageArena() = default;
  PageArena(const PageArena&) = delete;
  PageArena& operator=(const PageArena&) = delete;
  ~PageArena() override { release(); }

  // Returns nullptr when the system refuses memory (never throws).
  void* try_allocate(std::size_t bytes, std::size_t align = alignof(std::max_align_t)) noexcept;

  // Returns every page to the system. Everything allocated before becomes invalid.
  void release() noexcept;

  // Bytes currently mapped for this arena (chunks and large blocks).
  std::size_t mapped_bytes() const noexcept { return mapped_; }

 private:
  struct Mapping;
  void* do_allocate(std::size_t bytes, std::size_t align) override;  // throws std::bad_alloc
  void do_deallocate(void* p, std::size_t bytes, std::size_t align) override;
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override {
    return this == &other;
  }
  Mapping* map(std::size_t payload) noexcept;
  void unmap(Mapping* m) noexcept;

  Mapping* mappings_ = nullptr;  // doubly linked list of every live mapping
  char* cursor_ = nullptr;       // free room in the current small-block chunk
  char* limit_ = nullptr;
  std::size_t mapped_ = 0;
};

}  // namespace skerrow
