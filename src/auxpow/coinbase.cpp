#include "auxpow/coinbase.h"

#include <cstring>
#include <new>
#include <optional>

#include "auxpow/hex.h"

namespace skerrow {

namespace {

// Appends `text` to the level when it is 64 hex digits.
void add_txid(std::string_view text, std::pmr::vector<Hash32>& level) {
  Hash32 id;
  if (!hex_decode_hash(text, id)) return;
  reverse_hash(id);
  level.push_back(id);
}

}  // namespace

Result<std::optional<std::pmr::vector<Hash32>>> template_tree_level(const JsonValue& reply,
                                                                    std::pmr::memory_resource* memory) {
  using Level = std::optional<std::pmr::vector<Hash32>>;
  const JsonValue* result = get_member(reply, "result");
  if (result == nullptr || !result->is_object()) return Level{};
  const JsonValue* transactions = get_member(*result, "transactions");
  if (transactions == nullptr || !transactions->is_array() || transactions->items().empty()) {
    return Level{};
  }
  return catch_oom([&]() -> Result<std::optional<std::pmr::vector<Hash32>>> {
    std::pmr::vector<Hash32> level(memory);
    level.reserve(transactions->items().size() + 1);
    level.push_back(Hash32{});
    for (const JsonValue& tx : transactions->items()) {
      const JsonValue* txid = get_member(tx, "txid");
      if (txid != nullptr && txid->is_string()) add_txid(txid->as_text(), level);
    }
    return Level{std::move(level)};
  });
}

Result<std::optional<std::pmr::vector<Hash32>>> template_tree_level(const TemplateOutline& outline,
                                                                    std::pmr::memory_resource* memory) {
  using Level = std::optional<std::pmr::vector<Hash32>>;
  if (!outline.has_transactions) return Level{};
  return catch_oom([&]() -> Result<std::optional<std::pmr::vector<Hash32>>> {
    std::pmr::vector<Hash32> level(memory);
    level.reserve(outline.txids.size() + 1);
    level.push_back(Hash32{});
    // The texts lie far apart in a reply of megabytes and have mostly left the cache since the
    // skim passed them: ask for some ahead while decoding.
    constexpr std::size_t kAhead = 8;
    const std::size_t n = outline.txids.size();
    for (std::size_t i = 0; i < n; ++i) {
      if (i + kAhead < n) {
        const std::string_view next = outline.txids[i + kAhead];
        __builtin_prefetch(next.data());
        __builtin_prefetch(next.data() + next.size() - 1);
      }
      add_txid(outline.txids[i], level);
    }
    return Level{std::move(level)};
  });
}

Result<CoinbaseBranch> fold_coinbase_branch(std::span<Hash32> level) {
  if (level.size() > kMaxBranchTransactions + 1) return fail(ErrorCode::Overflow);
  CoinbaseBranch branch;
  std::size_t n = level.size();
  while (n >= 2) {
    branch.hashes[branch.length++] = level[1];
    const std::size_t pairs = n / 2;
    // An odd last node pairs with itself; hashed first, as the level is folded in place.
    const std::optional<Hash32> last = n % 2 != 0 ? std::optional(hash_pair(level[n - 1], level[n - 1])) : std::nullopt;
    hash_pairs(level.first(2 * pairs), level.first(pairs));
    if (last) level[pairs] = *last;
    n = pairs + (last ? 1 : 0);
  }
  return branch;
}

Result<CoinbaseBranch> BranchMemo::fold(std::span<Hash32> level) {
  {
    FutexLock guard(lock_);
    if (!level_.empty() && level_.size() == level.size() &&
        std::memcmp(level_.data(), level.data(), level.size() * sizeof(Hash32)) == 0) {
      return branch_;
    }
  }
  if (level.size() > kMaxBranchTransactions + 1) return fold_coinbase_branch(level);  // refused, not kept
  // The fold overwrites `level`: it is kept first. Without the memory for that, the branch
  // is folded all the same and nothing is kept.
  std::vector<Hash32> kept;
  try {
    kept.assign(level.begin(), level.end());
  } catch (const std::bad_alloc&) {
    return fold_coinbase_branch(level);
  }
  auto folded = fold_coinbase_branch(level);
  if (!folded) return folded;
  FutexLock guard(lock_);
  level_.swap(kept);  // the level it replaces is freed once the lock is let go
  branch_ = *folded;
  return folded;
}

Hash32 root_from_coinbase(const Hash32& leaf, std::span<const Hash32> branch) {
  Hash32 node = leaf;
  for (const Hash32& sibling : branch) node = hash_pair(node, sibling);
  return node;
}

}  // namespace skerrow
