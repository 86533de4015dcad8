// Aux chain state: the latest template of every aux chain, with the bookkeeping of its
// fetches, the aux merkle tree built from them and the aux-state lock that guards them; and
// the snapshot store that keeps what each answered getblocktemplate committed to, under a
// lock of its own. One engine per process, never freed.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "auxpow/hash.h"
#include "auxpow/tree.h"
#include "log/throttle.h"
#include "config/config.h"
#include "platform/futex.h"
#include "platform/thread_annotations.h"
#include "rpc/address.h"

namespace skerrow {

struct AuxTemplate {
  Hash32 hash{};                     // display order
  std::array<char, 64> hash_hex{};   // as the daemon wrote it (either case)
  std::uint32_t chainid = 0;         // low 32 bits of the reply's "chainid"
  Hash32 target{};                   // text order: least significant byte first
  std::array<char, 64> target_hex{};
  double diff = 0.0;
  bool valid = false;  // the last refresh decoded a hash and the chain got a slot of its own

  std::string_view hash_text() const { return {hash_hex.data(), hash_hex.size()}; }
  std::string_view target_text() const { return {target_hex.data(), target_hex.size()}; }
};

struct AuxChainState {
  // What the configuration says of the chain: views into a configuration, which is never
  // freed. Set at start-up and changed only by a reload, under the lock.
  std::string_view chain_id;  // the configured name
  ChainEndpoint daemon;
  bool use_createauxblock = false;
  std::optional<std::string_view> payout_address;  // createauxblock's parameter when set
  const AuxChainConfig* config = nullptr;  // the whole entry read, backups included
  // In the configuration in force. A chain a reload removes keeps its entry, unlisted (no
  // fetch, no leaf), until a chain added later takes it over.
  bool listed = true;
  std::uint32_t position = 0;  // its place in the configuration's "aux_chains"
  // Grows whenever a reload gives the entry another chain or changes its settings: a fetch
  // started before that brings nothing the entry may use.
  std::uint64_t generation = 0;
  AuxTemplate templ;
  std::uint32_t slot = 0;  // leaf index in the current tree, recomputed at every build

  // Fetch bookkeeping. Requests are numbered: a fetch takes the newest `wanted` number when
  // it starts and marks it `done` once its reply is applied, so requests that arrive during
  // a fetch are served together by one more. `stale` is the newest request made because the
  // chain's work is known to be stale or missing (start-up, a found block, a notification);
  // a getblocktemplate waits, briefly, for those, unless an earlier one already waited the
  // whole time for the same request (`waited_out`): a hung daemon costs one wait, not one per
  // template.
  std::uint64_t wanted = 0;
  std::uint64_t started = 0;
  std::uint64_t done = 0;
  std::uint64_t stale = 0;
  std::uint64_t waited_out = 0;
  LogThrottle fetch_failures;  // the chain's "failed to get aux template" lines
};

class SnapshotStore;

struct AuxEngine {
  // One entry per chain, at most kMaxAuxChains, in configuration order at start-up. Room for
  // kMaxAuxChains is reserved then, so entries never move; a reload appends entries or hands
  // unlisted ones to new chains, never removes any. Every entry's fields, and the vector's
  // length, are guarded by the lock (which the analysis cannot be told for the elements of a
  // vector); tests and start-up, with no other thread yet, read them without it.
  std::vector<AuxChainState> states;
  // How many entries are listed: read without the lock by a request that only needs to know
  // whether merged mining is on.
  std::atomic<std::size_t> listed{0};
  AuxTree tree GUARDED_BY(lock);
  // Where answered templates are kept (in memory, or in the state file too). It has a lock
  // of its own and is used without the aux-state lock. Set before any request is served.
  std::shared_ptr<SnapshotStore> store;
  // The aux-state lock: guards the tree and the changing part of the chain states. It guards
  // memory only: no daemon call, no client read or write and no sleep happens while it is held.
  FutexMutex lock;
  std::condition_variable_any fetch_wanted;  // a chain's `wanted` grew (waited on with `lock`)
  std::condition_variable_any fetch_done;    // a chain's `done` grew (waited on with `lock`)
  // Read without the lock; a reload of the configuration may change them at any time.
  std::atomic<std::uint64_t> daemon_timeout_ms{0};  // bound on every aux daemon call (0: none)
  std::atomic<std::uint64_t> aux_wait_ms{0};        // a template's longest wait for stale work to be replaced
};

// Fills `engine` from the configuration in configuration order, sets the tree's base size
// for the number of chains and gives it a snapshot store in memory that keeps templates for
// "work_retention_s"; no fetch is wanted yet. When the state array cannot be
// allocated, logs "error(auxpow): failed to allocate aux chain state"; with more chains than
// the tree has leaves (the loader refuses those), logs an error too. Either way the engine is
// left with no aux chains (tree size 0). REQUIRES: no other thread uses `engine` yet.
void init_aux_engine(AuxEngine& engine, const Config& config) EXCLUDES(engine.lock);

// What a reload did to one chain entry.
enum class AuxChainChange : std::uint8_t { added, removed, changed };
struct AuxChainEdit {
  std::size_t entry = 0;  // index into engine.states
  AuxChainChange change = AuxChainChange::added;
  std::string_view chain_id;  // the name, for the log line
  const AuxChainConfig* config = nullptr;  // the chain as read (null when removed)
};
struct AuxChainEdits {
  std::size_t count = 0;
  // A chain removed and one added may share an entry: at most two edits per entry.
  std::array<AuxChainEdit, 2 * kMaxAuxChains> edits{};
};

// Makes the listed chains those of `read` (a reloaded configuration that outlives the
// engine), by name: a chain kept as it was keeps its entry, template and fetches, and only
// takes its new position; a chain whose daemon, backups, method or payout address changed
// keeps its entry with those settings, loses its template and wants a fetch; a chain gone
// is unlisted and leaves the tree; a chain added takes an unlisted entry, or a new one, and
// wants a fetch. The tree's base size follows the number listed and the tree is rebuilt.
// Returns what it did, removals first. REQUIRES: read.size() <= kMaxAuxChains, names unique
// (the loader's rules).
AuxChainEdits reconcile_aux_chains(AuxEngine& engine, std::span<const AuxChainConfig> read) REQUIRES(engine.lock);

// Whether two configurations of one chain call the same daemons the same way (the ZMQ
// endpoints aside).
bool same_chain_settings(const AuxChainConfig& a, const AuxChainConfig& b);

// Chooses the tree size (the smallest power of two from the base size up at which all valid
// chains have distinct slots), recomputes every chain's slot and the root (display order).
// Chains that share a slot even at kMaxTreeLeaves are made not valid for this round, each
// with a warning line naming a chain it collides with. With no chains the root is zero.
// Defined with the tree (tree.cpp).
void build_aux_tree(AuxEngine& engine) REQUIRES(engine.lock);

}  // namespace skerrow
