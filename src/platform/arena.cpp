#include "platform/arena.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <new>

#include "platform/futex.h"
#include "platform/thread_annotations.h"

namespace skerrow {
namespace {

constexpr std::size_t kChunkPayload = 64 * 1024;
constexpr std::size_t kLargeBlock = 64 * 1024;

std::size_t page_size() {
  static const std::size_t size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return size;
}

std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// Mappings up to this size are kept once released and handed out again: a request maps its
// first chunk, and mapping and unmapping it cost more than serving a small request does. Of
// the larger mappings (the room for a block template or a request body) a few are kept, of any
// size up to the largest daemon reply (64 MiB) and together no more than that: a fresh mapping
// costs one page fault per 4 KiB page written, and a template of 17 MB faulted in anew on every
// call (then unmapped, which in a threaded process also interrupts the other cores) cost far
// more than reading, checking and hashing it. A large mapping is rounded up to whole MiB, so a
// template that grew by a few transactions since the last call still finds its room (pages
// never written are never backed). A kept mapping stays resident with the pages it was written
// to, so after templates the process holds up to about the size of the largest ones served.
// The cache is shared by every thread: a request's arena is filled by a worker but released
// by the event loop once the reply is written.
constexpr std::size_t kCachedMapping = 512 * 1024;
constexpr std::size_t kCacheSlots = 16;
constexpr std::size_t kLargeSlots = 4;
constexpr std::size_t kLargeGranule = 1024 * 1024;
constexpr std::size_t kCachedLargeMapping = 64 * 1024 * 1024 + kLargeGranule;  // the reply cap and its header
constexpr std::size_t kLargeCacheBytes = kCachedLargeMapping;

struct Kept {
  void* p = nullptr;
  std::size_t length = 0;
};

class MappingCache {
 public:
  // A kept mapping of at least `length` bytes (its real length in *length), or nullptr.
  void* take(std::size_t* length) {
    FutexLock guard(lock_);
    if (*length > kCachedMapping) {
      Kept* best = nullptr;
      for (Kept& k : large_) {
        if (k.p != nullptr && k.length >= *length && (best == nullptr || k.length < best->length)) best = &k;
      }
      if (best == nullptr) return nullptr;
      large_bytes_ -= best->length;
      return hand_out(*best, length);
    }
    for (Kept& k : small_) {
      if (k.p != nullptr && k.length == *length) return hand_out(k, length);
    }
    return nullptr;
  }

  // Keeps `p` when there is room; false when the caller must unmap it.
  bool keep(void* p, std::size_t length) {
    Kept evicted[kLargeSlots];
    std::size_t evicted_count = 0;
    {
      FutexLock guard(lock_);
      if (length > kCachedMapping) {
        if (length > kCachedLargeMapping) return false;
        // Kept mappings at least as large are worth more (any smaller block fits in them):
        // only smaller ones are given up for it, smallest first, and only if that makes room.
        std::size_t staying = length;
        std::size_t staying_count = 1;
        for (const Kept& k : large_) {
          if (k.p != nullptr && k.length >= length) {
            staying += k.length;
            ++staying_count;
          }
        }
        if (staying > kLargeCacheBytes || staying_count > kLargeSlots) return false;
        for (;;) {
          Kept* free_slot = nullptr;
          Kept* smallest = nullptr;
          for (Kept& k : large_) {
            if (k.p == nullptr) {
              if (free_slot == nullptr) free_slot = &k;
            } else if (smallest == nullptr || k.length < smallest->length) {
              smallest = &k;
            }
          }
          if (free_slot != nullptr && large_bytes_ + length <= kLargeCacheBytes) {
            *free_slot = Kept{p, length};
            large_bytes_ += length;
            break;
          }
          evicted[evicted_count++] = *smallest;  // smaller than `length`, by the count above
          large_bytes_ -= smallest->length;
          *smallest = Kept{};
        }
      } else {
        for (Kept& k : small_) {
          if (k.p == nullptr) {
            k = Kept{p, length};
            return true;
          }
        }
        return false;
      }
    }
    // Outside the lock: unmapping can take a while.
    for (std::size_t i = 0; i < evicted_count; ++i) munmap(evicted[i].p, evicted[i].length);
    return true;
  }

 private:
  static void* hand_out(Kept& k, std::size_t* length) {
    void* p = k.p;
    *length = k.length;
    k = Kept{};
    return p;
  }

  FutexMutex lock_;
  Kept small_[kCacheSlots] GUARDED_BY(lock_);
  Kept large_[kLargeSlots] GUARDED_BY(lock_);
  std::size_t large_bytes_ GUARDED_BY(lock_) = 0;  // lengths of the kept large mappings together
};

// Never destroyed: threads may still map and unmap while the process exits.
MappingCache& cache() {
  static MappingCache* shared = new MappingCache;
  return *shared;
}

}  // namespace

struct alignas(std::max_align_t) PageArena::Mapping {
  Mapping* prev;
  Mapping* next;
  std::size_t length;  // whole mapping, header included
};

void* take_block(std::size_t* bytes) noexcept {
  if (*bytes > SIZE_MAX / 2) return nullptr;
  std::size_t length = round_up(*bytes, page_size());
  if (length > kCachedMapping) length = round_up(length, kLargeGranule);
  void* p = cache().take(&length);
  if (p == nullptr) p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  *bytes = length;
  return p;
}

void give_back_block(void* block, std::size_t bytes) noexcept {
  if (!cache().keep(block, bytes)) munmap(block, bytes);
}

PageArena::Mapping* PageArena::map(std::size_t payload) noexcept {
  if (payload > SIZE_MAX / 2) return nullptr;
  std::size_t length = sizeof(Mapping) + payload;
  void* p = take_block(&length);
  if (p == nullptr) return nullptr;
  auto* m = static_cast<Mapping*>(p);
  m->prev = nullptr;
  m->next = mappings_;
  m->length = length;
  if (mappings_ != nullptr) mappings_->prev = m;
  mappings_ = m;
  mapped_ += length;
  return m;
}

void PageArena::unmap(Mapping* m) noexcept {
  if (m->prev != nullptr) m->prev->next = m->next; else mappings_ = m->next;
  if (m->next != nullptr) m->next->prev = m->prev;
  mapped_ -= m->length;
  give_back_block(m, m->length);
}

void* PageArena::try_allocate(std::size_t bytes, std::size_t align) noexcept {
  if (bytes == 0) bytes = 1;
  if (align > alignof(std::max_align_t)) bytes += align;  // room to align by hand
  if (bytes >= kLargeBlock) {
    Mapping* m = map(bytes);
    if (m == nullptr) return nullptr;
    auto addr = reinterpret_cast<std::uintptr_t>(m + 1);
    return reinterpret_cast<void*>(round_up(addr, align));
  }
  auto addr = round_up(reinterpret_cast<std::uintptr_t>(cursor_), align);
  if (cursor_ == nullptr || addr + bytes > reinterpret_cast<std::uintptr_t>(limit_)) {
    Mapping* m = map(kChunkPayload);
    if (m == nullptr) return nullptr;
    cursor_ = reinterpret_cast<char*>(m + 1);
    limit_ = reinterpret_cast<char*>(m) + m->length;
    addr = round_up(reinterpret_cast<std::uintptr_t>(cursor_), align);
  }
  cursor_ = reinterpret_cast<char*>(addr + bytes);
  return reinterpret_cast<void*>(addr);
}

void PageArena::release() noexcept {
  while (mappings_ != nullptr) unmap(mappings_);
  cursor_ = limit_ = nullptr;
}

void* PageArena::do_allocate(std::size_t bytes, std::size_t align) {
  void* p = try_allocate(bytes, align);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void PageArena::do_deallocate(void* p, std::size_t bytes, std::size_t align) {
  if (align > alignof(std::max_align_t)) bytes += align;
  if (bytes < kLargeBlock || p == nullptr) return;  // small blocks go back with the arena
  // A large block sits right after its mapping's header (alignment may have moved it a little).
  auto addr = reinterpret_cast<std::uintptr_t>(p) - sizeof(Mapping);
  addr -= addr % page_size();
  unmap(reinterpret_cast<Mapping*>(addr));
}

}  // namespace skerrow
