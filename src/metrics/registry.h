// The metric families and their series, built once from the Config. metrics.h's hooks land
// here; the endpoint serializes what collect_all returns.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include <prometheus/collectable.h>
#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/metric_family.h>
#include <prometheus/registry.h>

#include "config/config.h"
#include "error/error.h"
#include "metrics/histogram.h"
#include "metrics/metrics.h"
#include "platform/futex.h"
#include "platform/thread_annotations.h"

namespace skerrow::metrics {

inline constexpr std::string_view kParentLabel = "parent";

// Everything that is computed when Prometheus asks rather than kept up to date: the latency
// histograms (lock-free, see histogram.h), each aux chain's template age and the process_*
// figures. The counters and gauges live in `registry`.
class Metrics final : public prometheus::Collectable {
 public:
  // Builds every family and every series the configuration implies. `config` must outlive
  // the result. Errors: OutOfMemory.
  static Result<std::shared_ptr<Metrics>> create(const Config& config, std::string_view version);

  std::vector<prometheus::MetricFamily> Collect() const override;

  // What one scrape shows: the registry's families and the scrape-time ones.
  std::vector<prometheus::MetricFamily> collect_all() const;

  const std::shared_ptr<prometheus::Registry>& registry() const { return registry_; }

 private:
  friend void detail::request_finished(Metrics&, RequestKind, RequestOutcome, double);
  friend void detail::queue_depth(Metrics&, std::size_t);
  friend void detail::queue_dropped(Metrics&);
  friend void detail::accept_failed(Metrics&);
  friend void detail::connections_open(Metrics&, std::size_t);
  friend void detail::worker_busy(Metrics&, int);
  friend void detail::daemon_call(Metrics&, std::size_t, ErrorCode, double);
  friend void detail::aux_template_fetched(Metrics&, std::size_t, double);
  friend void detail::aux_template_invalid(Metrics&, std::size_t);
  friend void detail::aux_fetch_failed(Metrics&, std::size_t);
  friend void detail::aux_tree_slot(Metrics&, std::size_t, std::int64_t);
  friend void detail::aux_submission(Metrics&, std::size_t, SubmitResult);
  friend void detail::snapshot_stored(Metrics&);
  friend void detail::aux_submission_refused(Metrics&, SubmitRefusal);
  friend void detail::snapshot_lookup(Metrics&, SnapshotLookup);
  friend void detail::zmq_relayed(Metrics&, std::string_view);
  friend void detail::redis_write(Metrics&, bool);
  friend void detail::redis_lookup(Metrics&, RedisLookup);
  friend void detail::redis_connected(Metrics&, bool);
  friend void detail::node_up(Metrics&, std::size_t, std::size_t, bool);
  friend void detail::node_call(Metrics&, std::size_t, std::size_t, bool);
  friend void detail::node_failover(Metrics&, std::size_t, std::size_t);
  friend void detail::active_node(Metrics&, std::size_t, std::size_t);

  // A node of a chain with backups, by its position (0 the main node).
  struct Node {
    prometheus::Gauge* up = nullptr;
    prometheus::Counter* calls = nullptr;
    prometheus::Counter* failures = nullptr;
    prometheus::Counter* failovers = nullptr;
  };

  struct Daemon {
    std::string_view label;  // "parent" or the chain_id
    // Indexed by ErrorCode (None = "ok"); filled on first use, see daemon_call.
    std::array<std::atomic<prometheus::Counter*>, kErrorCount + 1> calls{};
    LatencyHistogram latency;
    std::vector<Node> nodes;                 // empty for a chain without backups
    prometheus::Gauge* active_node = nullptr;  // set with the nodes
  };

  struct AuxChain {
    std::string_view chain;
    prometheus::Gauge* valid = nullptr;
    prometheus::Gauge* difficulty = nullptr;
    prometheus::Gauge* slot = nullptr;
    prometheus::Counter* fetch_failures = nullptr;
    std::array<prometheus::Counter*, kSubmitResults> submissions{};
    std::atomic<std::int64_t> last_good_ns{0};  // steady clock
  };

  // The families series are added to after start-up (all registered at start, but those of
  // the nodes, registered when a chain with backups first appears).
  struct Families {
    prometheus::Family<prometheus::Gauge>* valid = nullptr;
    prometheus::Family<prometheus::Gauge>* difficulty = nullptr;
    prometheus::Family<prometheus::Gauge>* slot = nullptr;
    prometheus::Family<prometheus::Counter>* fetch_failures = nullptr;
    prometheus::Family<prometheus::Counter>* submissions = nullptr;
    prometheus::Family<prometheus::Gauge>* node_up = nullptr;
    prometheus::Family<prometheus::Counter>* node_calls = nullptr;
    prometheus::Family<prometheus::Counter>* node_failures = nullptr;
    prometheus::Family<prometheus::Counter>* node_failovers = nullptr;
    prometheus::Family<prometheus::Gauge>* active_node = nullptr;
  };

  explicit Metrics(const Config& config);
  void build(std::string_view version);
  // The steps of build, in the order the families are registered.
  void build_request_series(prometheus::Registry& r);
  void build_daemon_series(prometheus::Registry& r);
  void build_aux_chain_series(prometheus::Registry& r);
  void build_snapshot_series(prometheus::Registry& r);
  void build_relay_series(prometheus::Registry& r);
  void build_node_series(prometheus::Registry& r);
  // The node families, registered on first need.
  void register_node_families() REQUIRES(new_series_lock_);
  // The series of an aux chain, and of its daemon with `backups` backup nodes; and their end.
  std::unique_ptr<AuxChain> make_aux_chain(std::string_view chain, std::int64_t now) REQUIRES(new_series_lock_);
  std::unique_ptr<Daemon> make_aux_daemon(std::string_view chain, std::size_t backups) REQUIRES(new_series_lock_);
  void remove_series(const AuxChain& chain) REQUIRES(new_series_lock_);
  void remove_series(const Daemon& daemon) REQUIRES(new_series_lock_);
  void add_nodes(Daemon& daemon, std::size_t backups) REQUIRES(new_series_lock_);
  // The parent's record, or an aux chain entry's (null for an entry no chain holds): the
  // parent's is used without the lock, an aux chain's only under it.
  Daemon* daemon(std::size_t index) NO_THREAD_SAFETY_ANALYSIS;
  // Calls `use` with the record of daemon `index` when there is one: the parent's without the
  // lock, an aux chain's under it.
  template <typename Use>
  void with_daemon(std::size_t index, Use use) EXCLUDES(new_series_lock_);
  AuxChain* aux(std::size_t index) REQUIRES(new_series_lock_);
  prometheus::Counter* daemon_counter(Daemon& daemon, ErrorCode result) REQUIRES(new_series_lock_);

 public:
  // An aux chain entry holds `chain_id` with `backups` backup nodes from now on (a reload
  // added it, or changed its daemons): series of another name, or of another number of
  // nodes, are replaced. Errors: OutOfMemory, Unexpected.
  Status list_aux_chain(std::size_t index, std::string_view chain_id, std::size_t backups);
  // The entry's chain was removed by a reload: its series leave the exposition.
  void unlist_aux_chain(std::size_t index);

 private:

  const Config& config_;
  std::shared_ptr<prometheus::Registry> registry_;

  // Series are added to the family under the lock: a daemon's first call ending in a given
  // error makes its series, and two such calls must not both make it. The aux chains'
  // records are used under it too, since a reload may remove their series.
  mutable FutexMutex new_series_lock_;
  prometheus::Family<prometheus::Counter>* daemon_calls_ PT_GUARDED_BY(new_series_lock_) = nullptr;
  Families families_ GUARDED_BY(new_series_lock_);

  std::array<std::array<prometheus::Counter*, kRequestOutcomes>, kRequestKinds> requests_{};
  std::array<LatencyHistogram, kRequestKinds> request_latency_;
  prometheus::Gauge* queue_depth_ = nullptr;
  prometheus::Counter* queue_dropped_ = nullptr;
  prometheus::Counter* accept_failures_ = nullptr;
  prometheus::Gauge* connections_open_ = nullptr;
  prometheus::Gauge* workers_busy_ = nullptr;
  std::unique_ptr<Daemon> parent_;
  // Per aux engine entry; empty for an entry no chain holds.
  std::array<std::unique_ptr<Daemon>, kMaxAuxChains> aux_daemons_ GUARDED_BY(new_series_lock_);
  std::array<std::unique_ptr<AuxChain>, kMaxAuxChains> aux_ GUARDED_BY(new_series_lock_);
  prometheus::Counter* snapshots_stored_ = nullptr;
  std::array<prometheus::Counter*, kSnapshotLookups> lookups_{};
  std::array<prometheus::Counter*, 2> redis_writes_{};  // ok, failed
  std::array<prometheus::Counter*, kRedisLookups> redis_lookups_{};
  prometheus::Gauge* redis_connected_ = nullptr;
  std::array<prometheus::Counter*, kSubmitRefusals> refusals_{};
  // (subscription label, counter) for every relayed subscription; scanned, never changed.
  std::vector<std::pair<std::string_view, prometheus::Counter*>> relayed_;
};

// Names of the fixed label vocabularies, as they appear in the exposition.
std::string_view kind_name(RequestKind kind);
std::string_view outcome_name(RequestOutcome outcome);
std::string_view submit_result_name(SubmitResult result);
std::string_view lookup_name(SnapshotLookup outcome);
std::string_view refusal_name(SubmitRefusal reason);

}  // namespace skerrow::metrics
