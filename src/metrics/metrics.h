// Prometheus metrics: the hooks the rest of the proxy calls, and the start of the endpoint.
//
// Without "metrics_listen" nothing is started and every hook is one load of a null pointer
// and a return. With it, the registry is built once at start-up from the Config, so every
// label value comes from the configuration or from the fixed vocabularies below, never from
// a client. A hook only increments, sets or observes atomics of series created beforehand:
// no hook takes a lock that workers share (the one exception is the first use of a given
// error name on a given daemon, see daemon_call).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>

#include "config/config.h"
#include "error/error.h"

namespace skerrow::metrics {

class Metrics;

// How the front end classified a request. `refused` covers every request the front end
// answered itself without dispatching it (credentials, allow-list, empty or unreadable body).
enum class RequestKind : std::uint8_t { getblocktemplate, submitauxblock, passthrough, refused };
inline constexpr std::size_t kRequestKinds = 4;

// How it ended:
//   ok              a reply was sent that came from the normal path (the parent's reply,
//                   the rewritten template, the submitauxblock reply, refusals included);
//   upstream_error  the 502 "upstream connection failed" reply (or a failure after the
//                   reply had started): a daemon could not be used;
//   client_error    the client sent something unusable or went away (time-out, reset);
//   unauthorized    the 401 reply; not_allowed: the "method not allowed" reply;
//   bad_request     the 400 "empty body" reply.
enum class RequestOutcome : std::uint8_t {
  ok, upstream_error, client_error, unauthorized, not_allowed, bad_request
};
inline constexpr std::size_t kRequestOutcomes = 6;

// What became of one submitauxblock for a known chain: accepted (the aux daemon answered
// true), rejected (it answered anything else), stale (no snapshot for the committed root,
// nothing sent), failed (the aux daemon could not be called or gave no result).
enum class SubmitResult : std::uint8_t { accepted, rejected, stale, failed };
inline constexpr std::size_t kSubmitResults = 4;

// A submitauxblock refused before any daemon call, other than stale: malformed (no params,
// fewer than four fields, bad hex), unknown_chain, no_commitment (none in the coinbase).
enum class SubmitRefusal : std::uint8_t { malformed, unknown_chain, no_commitment };
inline constexpr std::size_t kSubmitRefusals = 3;

// A snapshot lookup by a submitted root: found (a snapshot whose coinbase branch leads to the
// header), not_found (no snapshot for the root), branch_mismatch (the root is known but no
// branch matches the header; the newest was used).
enum class SnapshotLookup : std::uint8_t { found, not_found, branch_mismatch };
inline constexpr std::size_t kSnapshotLookups = 3;

// A snapshot lookup that asked Redis (the local store had no snapshot proving the share):
// found (Redis's snapshot was used), not_found (Redis had none better), failed (no answer).
enum class RedisLookup : std::uint8_t { found, not_found, failed };
inline constexpr std::size_t kRedisLookups = 3;

// The daemon argument of daemon_call: an aux chain's index in Config::aux_chains, or this.
inline constexpr std::size_t kParentDaemon = std::numeric_limits<std::size_t>::max();

namespace detail {
// Set once by start_metrics before any other thread exists, never cleared in the proxy.
inline std::atomic<Metrics*> active{nullptr};
inline Metrics* get() { return active.load(std::memory_order_relaxed); }

void request_finished(Metrics&, RequestKind, RequestOutcome, double seconds);
void queue_depth(Metrics&, std::size_t depth);
void queue_dropped(Metrics&);
void accept_failed(Metrics&);
void connections_open(Metrics&, std::size_t open);
void worker_busy(Metrics&, int delta);
void daemon_call(Metrics&, std::size_t daemon, ErrorCode result, double seconds);
void aux_template_fetched(Metrics&, std::size_t chain, double difficulty);
void aux_template_invalid(Metrics&, std::size_t chain);
void aux_fetch_failed(Metrics&, std::size_t chain);
void aux_tree_slot(Metrics&, std::size_t chain, std::int64_t slot);
void aux_submission(Metrics&, std::size_t chain, SubmitResult result);
void aux_submission_refused(Metrics&, SubmitRefusal reason);
void snapshot_stored(Metrics&);
void snapshot_lookup(Metrics&, SnapshotLookup outcome);
void zmq_relayed(Metrics&, std::string_view daemon_label);
void redis_write(Metrics&, bool ok);
void redis_lookup(Metrics&, RedisLookup outcome);
void redis_connected(Metrics&, bool up);
void node_up(Metrics&, std::size_t daemon, std::size_t node, bool up);
void node_call(Metrics&, std::size_t daemon, std::size_t node, bool ok);
void node_failover(Metrics&, std::size_t daemon, std::size_t node);
void active_node(Metrics&, std::size_t daemon, std::size_t node);
}  // namespace detail

// Reads "metrics_listen" of `config`. Absent: returns at once; no socket, no thread.
// Otherwise builds every metric family and series (the per-chain ones from config.aux_chains,
// skerrow_build_info from `version`), binds the endpoint and starts its threads (one
// acceptor, two that answer GET /metrics), logs "metrics listening on <host>:<port>" and makes
// the hooks live. The text is "[scheme://]a.b.c.d:port" like "listen", but the port is
// required (a default of 8332 would take the proxy's own port).
// Errors: InvalidListenAddress (no port, or an unreadable one), InvalidCharacter/InvalidEnd/
// NonCanonical/Overflow/Incomplete (a host that is not dotted IPv4), the socket table, the
// bind table (AddressInUse, AddressNotAvailable, AccessDenied, ...), OutOfMemory, Unexpected.
// The caller writes the failure line. REQUIRES: called once, before any thread is started;
// `config` lives until the process ends.
Status start_metrics(const Config& config, std::string_view version);

// Reads "metrics_listen" as start_metrics does, with the errors of reading it, and binds nothing.
Status check_metrics_listen(const Config& config);

// -- hooks: each is a no-op while the endpoint is off ------------------------------------

// A request has been answered (or given up); `seconds` counts from accept.
inline void request_finished(RequestKind kind, RequestOutcome outcome, double seconds) {
  if (Metrics* m = detail::get()) detail::request_finished(*m, kind, outcome, seconds);
}

// The job queue holds `depth` connections now. REQUIRES: called under the queue lock, so the
// last value set is the current one.
inline void queue_depth(std::size_t depth) {
  if (Metrics* m = detail::get()) detail::queue_depth(*m, depth);
}

// A connection was closed unanswered because the queue was full.
inline void queue_dropped() {
  if (Metrics* m = detail::get()) detail::queue_dropped(*m);
}

// Accepting a client connection failed.
inline void accept_failed() {
  if (Metrics* m = detail::get()) detail::accept_failed(*m);
}

// The front end holds `open` client connections now. REQUIRES: called by the event loop
// only, so the last value set is the current one.
inline void connections_open(std::size_t open) {
  if (Metrics* m = detail::get()) detail::connections_open(*m, open);
}

// Counts a worker as busy for the life of the object (from pop to the closed connection).
class BusyWorker {
 public:
  BusyWorker() : metrics_(detail::get()) {
    if (metrics_ != nullptr) detail::worker_busy(*metrics_, +1);
  }
  ~BusyWorker() {
    if (metrics_ != nullptr) detail::worker_busy(*metrics_, -1);
  }
  BusyWorker(const BusyWorker&) = delete;
  BusyWorker& operator=(const BusyWorker&) = delete;

 private:
  Metrics* metrics_;
};

// One daemon call has ended: `daemon` is kParentDaemon or an aux chain's index, `result` is
// ErrorCode::None for success or the error the call returned (its name becomes the outcome
// label), `seconds` the call's duration. The first call that ends in a given error on a given
// daemon creates that series under a lock taken only then; every later one is lock-free.
inline void daemon_call(std::size_t daemon, ErrorCode result, double seconds) {
  if (Metrics* m = detail::get()) detail::daemon_call(*m, daemon, result, seconds);
}

// Aux chain `chain` (its index in Config::aux_chains) has a good template of `difficulty`
// (+Inf for an all-zero target): valid becomes 1 and its template age starts again at 0.
inline void aux_template_fetched(std::size_t chain, double difficulty) {
  if (Metrics* m = detail::get()) detail::aux_template_fetched(*m, chain, difficulty);
}

// Aux chain `chain` has no usable work for now (an RPC error reply, a bad hash, a slot
// collision): valid becomes 0; its age keeps counting from its last good template.
inline void aux_template_invalid(std::size_t chain) {
  if (Metrics* m = detail::get()) detail::aux_template_invalid(*m, chain);
}

// A template fetch for `chain` failed (no JSON from its daemon): counted, and valid becomes 0.
inline void aux_fetch_failed(std::size_t chain) {
  if (Metrics* m = detail::get()) detail::aux_fetch_failed(*m, chain);
}

// `chain`'s leaf in the aux merkle tree just built; -1 when it is left out of the tree.
inline void aux_tree_slot(std::size_t chain, std::int64_t slot) {
  if (Metrics* m = detail::get()) detail::aux_tree_slot(*m, chain, slot);
}

// One submitauxblock for a configured chain has been decided.
inline void aux_submission(std::size_t chain, SubmitResult result) {
  if (Metrics* m = detail::get()) detail::aux_submission(*m, chain, result);
}

// A snapshot of the tree and coinbase branch was stored for a template handed out.
inline void snapshot_stored() {
  if (Metrics* m = detail::get()) detail::snapshot_stored(*m);
}

inline void aux_submission_refused(SubmitRefusal reason) {
  if (Metrics* m = detail::get()) detail::aux_submission_refused(*m, reason);
}
inline void snapshot_lookup(SnapshotLookup outcome) {
  if (Metrics* m = detail::get()) detail::snapshot_lookup(*m, outcome);
}

// A template's snapshot was written to Redis (ok), or could not be (failed: not connected,
// refused, or no reply within redis_wait_ms); the template was answered either way.
inline void redis_write(bool ok) {
  if (Metrics* m = detail::get()) detail::redis_write(*m, ok);
}
inline void redis_lookup(RedisLookup outcome) {
  if (Metrics* m = detail::get()) detail::redis_lookup(*m, outcome);
}
// The store's connection to Redis is up (1) or not (0).
inline void redis_connected(bool up) {
  if (Metrics* m = detail::get()) detail::redis_connected(*m, up);
}

// The relay forwarded one notification from the subscription labelled `daemon_label`
// ("parent" or a chain_id, as the relay labels its subscriptions).
inline void zmq_relayed(std::string_view daemon_label) {
  if (Metrics* m = detail::get()) detail::zmq_relayed(*m, daemon_label);
}

// A reload gave aux engine entry `chain` the chain `chain_id` (added, or its daemons changed),
// with `backups` backup nodes: its series are made anew unless the entry had them already
// under that name with as many nodes. A failure is logged, not returned.
void list_aux_chain(std::size_t chain, std::string_view chain_id, std::size_t backups);
// A reload removed the chain of entry `chain`: its series leave the exposition.
void unlist_aux_chain(std::size_t chain);

// -- the nodes of a chain with backups (`daemon` as for daemon_call, `node` the position in
// the chain's list: 0 the main node); without backups a chain has no such series.

// The node was marked down (`up` false) or answers again.
inline void node_up(std::size_t daemon, std::size_t node, bool up) {
  if (Metrics* m = detail::get()) detail::node_up(*m, daemon, node, up);
}
// One call went to the node; `ok` false when it failed or the node could not serve it.
inline void node_call(std::size_t daemon, std::size_t node, bool ok) {
  if (Metrics* m = detail::get()) detail::node_call(*m, daemon, node, ok);
}
// A call that failed on the node moved on to the next one.
inline void node_failover(std::size_t daemon, std::size_t node) {
  if (Metrics* m = detail::get()) detail::node_failover(*m, daemon, node);
}
// The node served the chain's latest call.
inline void active_node(std::size_t daemon, std::size_t node) {
  if (Metrics* m = detail::get()) detail::active_node(*m, daemon, node);
}

}  // namespace skerrow::metrics
