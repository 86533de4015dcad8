// A chain's daemons when backups are configured: the main node and its backups in the
// configured order. A call goes to the first node not marked down and moves on to the next
// when the node cannot serve it; a node marked down is tried again by the first call that
// would have gone to it once 5 s have passed, and is first in line again once it answers.
// Each change of a node is one log line and shows in the metrics.
//
// A chain without backups has no pool: its calls go straight to its one daemon, as they
// always did. Every member may be used by any number of threads at once.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "config/config.h"
#include "error/error.h"
#include "platform/futex.h"
#include "platform/thread_annotations.h"
#include "rpc/address.h"
#include "rpc/client.h"

namespace skerrow {

// How long a node marked down is left alone before a call tries it again.
inline constexpr std::int64_t kNodeRetryNs = 5'000'000'000;

// What a call may do when its node fails.
struct CallRules {
  // The call may be repeated on the next node although its request reached the failed one.
  // A call that failed before its request was fully sent always moves on.
  bool repeatable = false;
  // A template call: besides HTTP 503, the RPC errors of a node that cannot serve work yet
  // (-28 warming up, -10 initial download, -9 not connected) mark the node down.
  bool template_call = false;
  // The node to try first (when it is not down), then the others in order.
  std::optional<std::size_t> first;
};

// Why a node was marked down, written into its log line.
struct NodeFault {
  std::array<char, 48> text{};
  std::size_t size = 0;
  std::string_view view() const { return {text.data(), size}; }
};

// What a finished attempt on one node says about the node: nullopt when it served the call
// (a reply that is not a refusal to serve, whatever it holds), else why it is to be marked
// down. Failures that say nothing of the node (no memory, credentials too long, a reply over
// the size limit) are not faults: `marks_down` is false for them.
struct Verdict {
  bool served = false;
  bool marks_down = false;
  NodeFault why;
};
Verdict judge_attempt(const Result<std::pmr::string>& reply, const CallTrace& trace, bool template_call);

class DaemonPool {
 public:
  // `daemon`: metrics::kParentDaemon or the aux chain's index; `chain`: empty for the
  // parent, else the chain's name (for the log lines). REQUIRES: at least two nodes.
  DaemonPool(std::size_t daemon, std::string_view chain, std::span<const ChainEndpoint> nodes);

  // Steady-clock nanoseconds; the resting time of a down node is measured with it. Tests set
  // their own before the first call.
  using Clock = std::int64_t (*)();
  void set_clock(Clock clock) { clock_ = clock; }

  std::size_t size() const { return count_; }
  const ChainEndpoint& endpoint(std::size_t node) const { return nodes_[node].endpoint; }
  bool is_down(std::size_t node) const { return nodes_[node].down.load(std::memory_order_relaxed); }

  // Calls the first node in line with `body`, each attempt timed and counted like any daemon
  // call, moving on as `rules` allow. Returns the reply of the node that served it (its
  // position in `served_by` when given); when none did, the last attempt's reply or error.
  // Errors: the daemon client's.
  Result<std::pmr::string> call(std::pmr::memory_resource* memory, std::string_view body,
                                std::uint64_t timeout_ms, const CallRules& rules,
                                std::size_t* served_by = nullptr);

  // Sends `body` to every node not marked down (and to those due for a retry) at the same
  // time and waits for all. The answer is the first reply, in node order, that says
  // "result":null (the node took the block), else the first node's reply (or its error).
  // Every node's answer is logged. Errors: the daemon client's, OutOfMemory.
  Result<std::pmr::string> fan_out(std::pmr::memory_resource* memory, std::string_view body,
                                   std::uint64_t timeout_ms);

  // Remembers that `node` issued the aux work whose hash is `hash` (as the daemon wrote it),
  // so that a share on it goes back to that node: an aux node accepts only blocks it created.
  // The last 64 hashes are kept.
  void remember_issuer(std::string_view hash, std::size_t node) EXCLUDES(issued_lock_);
  // The node that issued `hash` (letter case ignored), when it is still remembered.
  std::optional<std::size_t> issuer(std::string_view hash) const EXCLUDES(issued_lock_);

 private:
  struct Node {
    ChainEndpoint endpoint;
    std::atomic<bool> down{false};
    // Steady-clock nanoseconds from which a call may try the node again while it is down.
    std::atomic<std::int64_t> retry_at{0};
  };
  struct Issued {
    std::array<char, 64> hash{};
    std::size_t node = 0;
    bool used = false;
  };
  static constexpr std::size_t kIssuedKept = 64;

  // The nodes in the order a call tries them: those up (or due for a retry, which the call
  // claims) by preference, then those still resting, as a last resort. Returns how many;
  // `ready`, when given, is how many of them come before the resting ones.
  std::size_t order(const CallRules& rules, std::array<std::size_t, kMaxBackups + 1>& out,
                    std::size_t* ready = nullptr);
  // Whether a call may try `node` now; claims the retry of a down node so that one call, not
  // all that arrive at once, tries it.
  bool claim(std::size_t node, std::int64_t now);
  void mark_down(std::size_t node, const NodeFault& why, std::size_t next);
  void mark_up(std::size_t node);
  // One attempt on `node`, judged and counted; `verdict` says what it showed of the node.
  Result<std::pmr::string> attempt(std::size_t node, std::pmr::memory_resource* memory, std::string_view body,
                                   std::uint64_t timeout_ms, bool template_call, CallTrace& trace,
                                   Verdict& verdict);
  void settle(std::size_t node, const Verdict& verdict, std::size_t next);
  void log_submission(std::size_t node, const Result<std::pmr::string>& reply) const;

  std::size_t daemon_;
  std::string_view chain_;
  Clock clock_;
  std::unique_ptr<Node[]> nodes_;
  std::size_t count_ = 0;
  mutable FutexMutex issued_lock_;
  std::array<Issued, kIssuedKept> issued_ GUARDED_BY(issued_lock_){};
  std::size_t issued_next_ GUARDED_BY(issued_lock_) = 0;
};

// The pools of every chain that has backups; null where a chain has none.
struct DaemonPools {
  DaemonPool* parent = nullptr;
  std::array<DaemonPool*, kMaxAuxChains> aux{};
};

// Builds a pool for the parent and every aux chain that has backups; they live until the
// process ends. Errors: OutOfMemory.
Result<DaemonPools> make_daemon_pools(const Config& config);

// A pool for the aux chain at `entry` of the aux engine when it has backups (null without),
// living until the process ends. Errors: OutOfMemory.
Result<DaemonPool*> make_aux_pool(std::size_t entry, const AuxChainConfig& chain);

// The pool of each aux chain entry (null for a chain without backups): set at start-up and by
// a reload that adds or changes chains, read by every call to an aux daemon.
using AuxPoolTable = std::array<std::atomic<DaemonPool*>, kMaxAuxChains>;

// Whether a parent call of `body` may be repeated on a backup after it reached a node: the
// template and submission calls and the read-only block and chain queries. A batch never is.
bool repeatable_parent_call(std::string_view body, std::optional<std::string_view> method);

}  // namespace skerrow
