// A memory resource that counts what is outstanding and refuses once `budget` bytes in total
// have been handed out, for checking where the JSON code gets memory and what it gives back.
#pragma once

#include <cstddef>
#include <memory_resource>
#include <new>

namespace skerrow::testing {

class CountingResource final : public std::pmr::memory_resource {
 public:
  explicit CountingResource(std::size_t budget = static_cast<std::size_t>(-1)) : budget_(budget) {}
  std::size_t outstanding() const { return outstanding_; }
  std::size_t refusals() const { return refusals_; }

 private:
  void* do_allocate(std::size_t bytes, std::size_t align) override {
    if (bytes > budget_ - handed_out_) ++refusals_, throw std::bad_alloc();
    handed_out_ += bytes;
    outstanding_ += bytes;
    return std::pmr::new_delete_resource()->allocate(bytes, align);
  }
  void do_deallocate(void* p, std::size_t bytes, std::size_t align) override {
    outstanding_ -= bytes;
    std::pmr::new_delete_resource()->deallocate(p, bytes, align);
  }
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

  std::size_t budget_, handed_out_ = 0, outstanding_ = 0, refusals_ = 0;
};

}  // namespace skerrow::testing
