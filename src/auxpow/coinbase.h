// The coinbase merkle branch of a parent block template: the siblings on the path from the
// coinbase (always leaf 0) to the block's merkle root, which a proof needs to show that the
// coinbase carrying the commitment belongs to the parent block.
#pragma once

#include <array>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <span>
#include <vector>

#include "auxpow/engine.h"
#include "error/error.h"
#include "json/reader.h"
#include "json/skim.h"
#include "platform/futex.h"
#include "platform/thread_annotations.h"

namespace skerrow {

// The longest coinbase branch a template gets, a snapshot keeps and a proof carries. A branch
// of 20 entries proves at most 2^20 - 1 transactions besides the coinbase.
inline constexpr std::size_t kMaxCoinbaseBranch = 20;
inline constexpr std::size_t kMaxBranchTransactions = (std::size_t{1} << kMaxCoinbaseBranch) - 1;

struct CoinbaseBranch {
  std::size_t length = 0;
  std::array<Hash32, kMaxCoinbaseBranch> hashes{};  // internal order, deepest level first
};

// The bottom level of a template's merkle tree: a zero placeholder for the coinbase, then
// every usable "txid" of "result"."transactions" (64 hex digits; others are skipped) in
// internal order. nullopt when the reply has no non-empty transaction list.
// Errors: OutOfMemory.
Result<std::optional<std::pmr::vector<Hash32>>> template_tree_level(const JsonValue& reply,
                                                                    std::pmr::memory_resource* memory);
// The same level from the reply's outline.
Result<std::optional<std::pmr::vector<Hash32>>> template_tree_level(const TemplateOutline& outline,
                                                                    std::pmr::memory_resource* memory);

// Folds `level` (coinbase placeholder first; an odd level pairs its last hash with itself)
// up to the root, collecting the coinbase's siblings. The level is used as scratch.
// Errors: Overflow (more than kMaxBranchTransactions besides the coinbase: a branch of
// kMaxCoinbaseBranch entries cannot prove it, and a shorter one would prove nothing).
Result<CoinbaseBranch> fold_coinbase_branch(std::span<Hash32> level);

// The branch of the last template folded, with the transaction ids it came from. A node
// builds a new template only when its tip moves or, for a changed mempool, after some seconds
// (five in bitcoind and its forks), and answers the calls in between with the same
// transactions: their branch is taken from here rather than hashed again. Shared by every
// worker of a server.
class BranchMemo {
 public:
  // fold_coinbase_branch(level), from the memo when `level` equals the one last folded
  // (`level` is then left as it was). Errors: as fold_coinbase_branch.
  Result<CoinbaseBranch> fold(std::span<Hash32> level) EXCLUDES(lock_);

 private:
  FutexMutex lock_;
  std::vector<Hash32> level_ GUARDED_BY(lock_);  // empty until a branch is kept
  CoinbaseBranch branch_ GUARDED_BY(lock_);
};

// The merkle root reached from `leaf` at index 0 through `branch` (internal order).
Hash32 root_from_coinbase(const Hash32& leaf, std::span<const Hash32> branch);

}  // namespace skerrow
