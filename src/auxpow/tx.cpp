#include "auxpow/tx.h"

#include <cstring>
#include <new>

namespace skerrow {
namespace {

class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::size_t pos() const { return pos_; }
  bool skip(std::uint64_t n) {
    if (n > bytes_.size() - pos_) return false;
    pos_ += static_cast<std::size_t>(n);
    return true;
  }
  bool byte(std::uint8_t& out) {
    if (pos_ >= bytes_.size()) return false;
    out = bytes_[pos_++];
    return true;
  }
  bool compact_size(std::uint64_t& out) {
    std::uint8_t first;
    if (!byte(first)) return false;
    std::size_t width = first == 253 ? 2 : first == 254 ? 4 : first == 255 ? 8 : 0;
    if (width == 0) {
      out = first;
      return true;
    }
    if (width > bytes_.size() - pos_) return false;
    out = 0;
    for (std::size_t i = 0; i < width; ++i) out |= std::uint64_t{bytes_[pos_ + i]} << (8 * i);
    pos_ += width;
    return true;
  }
  // A length-prefixed byte string (script or witness item).
  bool skip_var_bytes() {
    std::uint64_t n;
    return compact_size(n) && skip(n);
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

}  // namespace

Result<Hash32> transaction_txid(std::span<const std::uint8_t> tx, std::pmr::memory_resource* memory) {
  Reader r(tx);
  if (!r.skip(4)) return fail(ErrorCode::InvalidLength);

  std::uint64_t inputs;
  if (!r.compact_size(inputs)) return fail(ErrorCode::InvalidLength);
  bool witness = false;
  std::size_t body_start = 4;
  std::uint64_t outputs = 0;
  bool have_outputs = false;
  if (inputs == 0) {
    // An empty input list is either the segwit marker (a flag byte follows) or a
    // transaction without inputs, whose next byte is its (zero) output count.
    std::uint8_t flag;
    if (!r.byte(flag)) return fail(ErrorCode::InvalidLength);
    if (flag == 0) {
      have_outputs = true;
    } else if (flag == 0x01) {
      witness = true;
      body_start = r.pos();
      if (!r.compact_size(inputs)) return fail(ErrorCode::InvalidLength);
    } else {
      return fail(ErrorCode::Unsupported);
    }
  }
  for (std::uint64_t i = 0; i < inputs; ++i) {
    if (!r.skip(36) || !r.skip_var_bytes() || !r.skip(4)) return fail(ErrorCode::InvalidLength);
  }
  if (!have_outputs && !r.compact_size(outputs)) return fail(ErrorCode::InvalidLength);
  for (std::uint64_t i = 0; i < outputs; ++i) {
    if (!r.skip(8) || !r.skip_var_bytes()) return fail(ErrorCode::InvalidLength);
  }
  const std::size_t body_end = r.pos();
  if (witness) {
    for (std::uint64_t i = 0; i < inputs; ++i) {
      std::uint64_t items;
      if (!r.compact_size(items)) return fail(ErrorCode::InvalidLength);
      for (std::uint64_t k = 0; k < items; ++k) {
        if (!r.skip_var_bytes()) return fail(ErrorCode::InvalidLength);
      }
    }
  }
  if (!r.skip(4) || r.pos() != tx.size()) return fail(ErrorCode::InvalidLength);

  if (!witness) return double_sha256(tx);

  const std::size_t body = body_end - body_start;
  const std::size_t total = 4 + body + 4;
  auto raw = catch_oom([&]() -> Result<void*> { return memory->allocate(total, 1); });
  if (!raw) return fail(raw.error());
  auto* copy = static_cast<std::uint8_t*>(*raw);
  std::memcpy(copy, tx.data(), 4);
  std::memcpy(copy + 4, tx.data() + body_start, body);
  std::memcpy(copy + 4 + body, tx.data() + tx.size() - 4, 4);
  Hash32 id = double_sha256({copy, total});
  memory->deallocate(copy, total, 1);
  return id;
}

}  // namespace skerrow
