#include "metrics/metrics.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <exception>
#include <new>
#include <optional>
#include <string>

#include <prometheus/exposer.h>

#include "log/log.h"
#include "metrics/registry.h"
#include "platform/io.h"
#include "platform/process_stats.h"
#include "platform/socket.h"
#include "platform/tcp_forward.h"
#include "rpc/address.h"

namespace skerrow::metrics {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

std::int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

ClientMetric::Label label(std::string_view name, std::string_view value) {
  return {std::string(name), std::string(value)};
}

MetricFamily family(std::string_view name, std::string_view help, MetricType type) {
  MetricFamily out;
  out.name = std::string(name);
  out.help = std::string(help);
  out.type = type;
  return out;
}

ClientMetric histogram_metric(const LatencyHistogram& h, ClientMetric::Label l) {
  ClientMetric m;
  m.label.push_back(std::move(l));
  m.histogram = h.snapshot();
  return m;
}

void add_process_family(std::vector<MetricFamily>& out, std::string_view name,
                        std::string_view help, MetricType type, std::optional<double> value) {
  if (!value) return;
  MetricFamily f = family(name, help, type);
  ClientMetric m;
  if (type == MetricType::Counter) {
    m.counter.value = *value;
  } else {
    m.gauge.value = *value;
  }
  f.metric.push_back(std::move(m));
  out.push_back(std::move(f));
}

constexpr const char* kEndpointThreads = "32";
constexpr const char* kEndpointRequestTimeoutMs = "1000";

struct ListenAddress {
  SocketAddress socket;
  std::string host;      // as written: "a.b.c.d" or "[v6 address]"
  std::string civetweb;  // "a.b.c.d:port" or "[v6 address]:port"
};

Result<ListenAddress> parse_listen(std::string_view text) {
  auto split = split_address(text);
  std::string_view after_scheme = text;
  if (auto scheme = text.find("://"); scheme != std::string_view::npos) {
    after_scheme = text.substr(scheme + 3);
  }
  if (!split || after_scheme.find(':') == std::string_view::npos) {
    return fail(ErrorCode::InvalidListenAddress);
  }
  auto socket = parse_listen_host(split->host, split->port);
  if (!socket) return fail(socket.error());
  return catch_oom([&]() -> Result<ListenAddress> {
    return ListenAddress{*socket, std::string(split->host), std::string(split->host) + ":" + std::to_string(split->port)};
  });
}

// Lives until the process ends, like the Config: nothing ever stops the endpoint.
constexpr int kListenBacklogForMetrics = 128;

struct RunningEndpoint {
  std::shared_ptr<Metrics> metrics;
  std::unique_ptr<prometheus::Exposer> exposer;
};
RunningEndpoint* running_endpoint = nullptr;

}  // namespace

std::string_view kind_name(RequestKind kind) {
  constexpr std::array<std::string_view, kRequestKinds> kNames = {
      "getblocktemplate", "submitauxblock", "passthrough", "refused"};
  return kNames[static_cast<std::size_t>(kind)];
}

std::string_view outcome_name(RequestOutcome outcome) {
  constexpr std::array<std::string_view, kRequestOutcomes> kNames = {
      "ok", "upstream_error", "client_error", "unauthorized", "not_allowed", "bad_request"};
  return kNames[static_cast<std::size_t>(outcome)];
}

std::string_view submit_result_name(SubmitResult result) {
  constexpr std::array<std::string_view, kSubmitResults> kNames = {"accepted", "rejected",
                                                                   "stale", "failed"};
  return kNames[static_cast<std::size_t>(result)];
}

std::string_view refusal_name(SubmitRefusal reason) {
  constexpr std::array<std::string_view, kSubmitRefusals> kNames = {"malformed", "unknown_chain",
                                                                    "no_commitment"};
  return kNames[static_cast<std::size_t>(reason)];
}

std::string_view lookup_name(SnapshotLookup outcome) {
  constexpr std::array<std::string_view, kSnapshotLookups> kNames = {"found", "not_found",
                                                                     "branch_mismatch"};
  return kNames[static_cast<std::size_t>(outcome)];
}

Metrics::Metrics(const Config& config)
    : config_(config), registry_(std::make_shared<prometheus::Registry>()) {}

Result<std::shared_ptr<Metrics>> Metrics::create(const Config& config, std::string_view version) {
  try {
    std::shared_ptr<Metrics> metrics(new Metrics(config));
    metrics->build(version);
    return metrics;
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  } catch (const std::exception&) {
    // prometheus-cpp refuses invalid names; ours are fixed, so this is a fault of the build.
    return fail(ErrorCode::Unexpected);
  }
}

void Metrics::build(std::string_view version) {
  prometheus::Registry& r = *registry_;
  prometheus::BuildGauge()
      .Name("skerrow_build_info")
      .Help("Always 1; the version of the running proxy is its label.")
      .Register(r)
      .Add({{"version", std::string(version)}})
      .Set(1);
  build_request_series(r);
  build_daemon_series(r);
  build_aux_chain_series(r);
  build_snapshot_series(r);
  if (config_.zmq_pub) build_relay_series(r);
  build_node_series(r);
}

// Only when some chain has backups: without them the exposition is what it always was.
void Metrics::build_node_series(prometheus::Registry&) {
  FutexLock guard(new_series_lock_);
  if (!config_.parent_backups.empty()) {
    register_node_families();
    add_nodes(*parent_, config_.parent_backups.size());
  }
}

void Metrics::register_node_families() {
  if (families_.node_up != nullptr) return;
  using prometheus::BuildCounter;
  using prometheus::BuildGauge;
  prometheus::Registry& r = *registry_;
  families_.node_up = &BuildGauge()
                           .Name("skerrow_daemon_node_up")
                           .Help("1 while the node of a chain with backups is in line, 0 while it is marked down.")
                           .Register(r);
  families_.node_calls = &BuildCounter()
                              .Name("skerrow_daemon_node_calls_total")
                              .Help("Calls sent to each node of a chain with backups.")
                              .Register(r);
  families_.node_failures = &BuildCounter()
                                 .Name("skerrow_daemon_node_failures_total")
                                 .Help("Calls to the node that failed or that it could not serve.")
                                 .Register(r);
  families_.node_failovers = &BuildCounter()
                                  .Name("skerrow_daemon_node_failovers_total")
                                  .Help("Calls that failed on the node and moved on to the next one.")
                                  .Register(r);
  families_.active_node = &BuildGauge()
                               .Name("skerrow_daemon_active_node")
                               .Help("Position of the node that served the chain's latest call (0: the main node).")
                               .Register(r);
}

void Metrics::add_nodes(Daemon& d, std::size_t backups) {
  if (backups == 0) return;
  register_node_families();
  const std::string name(d.label);
  for (std::size_t n = 0; n <= backups; ++n) {
    const std::string position = std::to_string(n);
    Node node;
    node.up = &families_.node_up->Add({{"daemon", name}, {"node", position}});
    node.up->Set(1);
    node.calls = &families_.node_calls->Add({{"daemon", name}, {"node", position}});
    node.failures = &families_.node_failures->Add({{"daemon", name}, {"node", position}});
    node.failovers = &families_.node_failovers->Add({{"daemon", name}, {"node", position}});
    d.nodes.push_back(node);
  }
  d.active_node = &families_.active_node->Add({{"daemon", name}});
}

void Metrics::build_request_series(prometheus::Registry& r) {
  using prometheus::BuildCounter;
  using prometheus::BuildGauge;
  auto& requests = BuildCounter()
                       .Name("skerrow_requests_total")
                       .Help("Requests answered or given up, by kind and outcome.")
                       .Register(r);
  for (std::size_t k = 0; k < kRequestKinds; ++k) {
    for (std::size_t o = 0; o < kRequestOutcomes; ++o) {
      requests_[k][o] = &requests.Add(
          {{"kind", std::string(kind_name(static_cast<RequestKind>(k)))},
           {"outcome", std::string(outcome_name(static_cast<RequestOutcome>(o)))}});
    }
  }

  queue_depth_ = &BuildGauge()
                      .Name("skerrow_queue_depth")
                      .Help("Accepted connections waiting for a worker.")
                      .Register(r)
                      .Add({});
  queue_dropped_ = &BuildCounter()
                        .Name("skerrow_queue_dropped_total")
                        .Help("Connections closed unanswered because the job queue was full.")
                        .Register(r)
                        .Add({});
  accept_failures_ = &BuildCounter()
                          .Name("skerrow_accept_failures_total")
                          .Help("Failed attempts to accept a client connection.")
                          .Register(r)
                          .Add({});
  connections_open_ = &BuildGauge()
                           .Name("skerrow_connections_open")
                           .Help("Client connections held open: request arriving, queued, served or reply being written.")
                           .Register(r)
                           .Add({});
  workers_busy_ = &BuildGauge()
                       .Name("skerrow_workers_busy")
                       .Help("Workers serving a connection.")
                       .Register(r)
                       .Add({});
}

// The parent first, then the aux chains in order; only the "ok" series exists up front.
void Metrics::build_daemon_series(prometheus::Registry& r) {
  auto& calls = prometheus::BuildCounter()
                    .Name("skerrow_daemon_calls_total")
                    .Help("Calls to the parent and aux daemons, by daemon and outcome "
                          "(ok or the error's name).")
                    .Register(r);
  // Nobody else has the metrics yet; the lock is taken all the same, as series are added to
  // the family under it everywhere.
  FutexLock guard(new_series_lock_);
  daemon_calls_ = &calls;
  parent_ = std::make_unique<Daemon>();
  parent_->label = kParentLabel;
  parent_->calls[0].store(&daemon_calls_->Add({{"daemon", std::string(kParentLabel)}, {"outcome", "ok"}}),
                          std::memory_order_relaxed);
}

std::unique_ptr<Metrics::Daemon> Metrics::make_aux_daemon(std::string_view chain, std::size_t backups) {
  auto d = std::make_unique<Daemon>();
  d->label = chain;
  d->calls[0].store(&daemon_calls_->Add({{"daemon", std::string(chain)}, {"outcome", "ok"}}),
                    std::memory_order_relaxed);
  add_nodes(*d, backups);
  return d;
}

std::unique_ptr<Metrics::AuxChain> Metrics::make_aux_chain(std::string_view chain, std::int64_t now) {
  auto a = std::make_unique<AuxChain>();
  const std::string name(chain);
  a->chain = chain;
  a->valid = &families_.valid->Add({{"chain", name}});
  a->difficulty = &families_.difficulty->Add({{"chain", name}});
  a->slot = &families_.slot->Add({{"chain", name}});
  a->slot->Set(-1);
  a->fetch_failures = &families_.fetch_failures->Add({{"chain", name}});
  for (std::size_t s = 0; s < kSubmitResults; ++s) {
    a->submissions[s] = &families_.submissions->Add(
        {{"chain", name}, {"result", std::string(submit_result_name(static_cast<SubmitResult>(s)))}});
  }
  // Until the first good template the age counts from the chain's listing, so a chain that
  // never delivers work ages like one that stopped.
  a->last_good_ns.store(now, std::memory_order_relaxed);
  return a;
}

void Metrics::remove_series(const Daemon& d) {
  for (const auto& counter : d.calls) {
    if (prometheus::Counter* c = counter.load(std::memory_order_relaxed)) daemon_calls_->Remove(c);
  }
  for (const Node& node : d.nodes) {
    families_.node_up->Remove(node.up);
    families_.node_calls->Remove(node.calls);
    families_.node_failures->Remove(node.failures);
    families_.node_failovers->Remove(node.failovers);
  }
  if (d.active_node != nullptr) families_.active_node->Remove(d.active_node);
}

void Metrics::remove_series(const AuxChain& a) {
  families_.valid->Remove(a.valid);
  families_.difficulty->Remove(a.difficulty);
  families_.slot->Remove(a.slot);
  families_.fetch_failures->Remove(a.fetch_failures);
  for (prometheus::Counter* c : a.submissions) families_.submissions->Remove(c);
}

Status Metrics::list_aux_chain(std::size_t index, std::string_view chain_id, std::size_t backups) {
  if (index >= kMaxAuxChains) return {};
  try {
    FutexLock guard(new_series_lock_);
    // Old series go before new ones are made: a family hands out the series it has for the
    // same labels, which the removal would then take from the new record too.
    std::unique_ptr<AuxChain>& chain = aux_[index];
    if (chain == nullptr || chain->chain != chain_id) {
      if (chain != nullptr) remove_series(*chain);
      chain.reset();
      chain = make_aux_chain(chain_id, steady_ns());
    }
    std::unique_ptr<Daemon>& daemon = aux_daemons_[index];
    const std::size_t nodes = backups == 0 ? 0 : backups + 1;
    if (daemon == nullptr || daemon->label != chain_id || daemon->nodes.size() != nodes) {
      if (daemon != nullptr) remove_series(*daemon);
      daemon.reset();
      daemon = make_aux_daemon(chain_id, backups);
    }
    return {};
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  } catch (const std::exception&) {
    return fail(ErrorCode::Unexpected);
  }
}

void Metrics::unlist_aux_chain(std::size_t index) {
  if (index >= kMaxAuxChains) return;
  FutexLock guard(new_series_lock_);
  if (aux_[index] != nullptr) remove_series(*aux_[index]);
  if (aux_daemons_[index] != nullptr) remove_series(*aux_daemons_[index]);
  aux_[index].reset();
  aux_daemons_[index].reset();
}

void Metrics::build_aux_chain_series(prometheus::Registry& r) {
  using prometheus::BuildCounter;
  using prometheus::BuildGauge;
  {
    FutexLock guard(new_series_lock_);
    families_.valid = &BuildGauge()
                           .Name("skerrow_aux_template_valid")
                           .Help("1 while the aux chain has a usable template, else 0.")
                           .Register(r);
    families_.difficulty = &BuildGauge()
                                .Name("skerrow_aux_difficulty")
                                .Help("Difficulty of the aux chain's latest good template.")
                                .Register(r);
    families_.slot = &BuildGauge()
                          .Name("skerrow_aux_tree_slot")
                          .Help("The aux chain's leaf in the aux merkle tree; -1 when not in it.")
                          .Register(r);
    families_.fetch_failures = &BuildCounter()
                                    .Name("skerrow_aux_template_fetch_failures_total")
                                    .Help("Aux template fetches that brought no JSON from the aux daemon.")
                                    .Register(r);
    families_.submissions = &BuildCounter()
                                 .Name("skerrow_aux_submissions_total")
                                 .Help("submitauxblock for a configured chain, by result.")
                                 .Register(r);
  }
  const std::int64_t now = steady_ns();
  FutexLock guard(new_series_lock_);
  for (std::size_t i = 0; i < config_.aux_chains.size() && i < kMaxAuxChains; ++i) {
    const AuxChainConfig& chain = config_.aux_chains[i];
    aux_[i] = make_aux_chain(chain.chain_id, now);
    aux_daemons_[i] = make_aux_daemon(chain.chain_id, chain.backups.size());
  }

  BuildGauge()
      .Name("skerrow_aux_refresh_period_seconds")
      .Help("The configured aux_refresh_ms in seconds (0: no periodic refresh).")
      .Register(r)
      .Add({})
      .Set(static_cast<double>(config_.aux_refresh_ms) / 1000.0);
}

void Metrics::build_snapshot_series(prometheus::Registry& r) {
  snapshots_stored_ = &prometheus::BuildCounter()
                           .Name("skerrow_snapshots_stored_total")
                           .Help("Snapshots kept for templates handed out.")
                           .Register(r)
                           .Add({});
  auto& lookups = prometheus::BuildCounter()
                      .Name("skerrow_snapshot_lookups_total")
                      .Help("Snapshot lookups by a submitted merkle root, by outcome.")
                      .Register(r);
  for (std::size_t o = 0; o < kSnapshotLookups; ++o) {
    lookups_[o] = &lookups.Add({{"outcome", std::string(lookup_name(static_cast<SnapshotLookup>(o)))}});
  }
  // Not per chain: an unknown chain's name comes from the client.
  auto& refusals = prometheus::BuildCounter()
                       .Name("skerrow_aux_submissions_refused_total")
                       .Help("submitauxblock refused before any daemon call (stale ones excepted), by reason.")
                       .Register(r);
  for (std::size_t s = 0; s < kSubmitRefusals; ++s) {
    refusals_[s] = &refusals.Add({{"reason", std::string(refusal_name(static_cast<SubmitRefusal>(s)))}});
  }
  if (!config_.redis) return;
  auto& writes = prometheus::BuildCounter()
                     .Name("skerrow_redis_writes_total")
                     .Help("Template snapshots written to Redis (ok) or kept locally only (failed).")
                     .Register(r);
  redis_writes_[0] = &writes.Add({{"outcome", "ok"}});
  redis_writes_[1] = &writes.Add({{"outcome", "failed"}});
  auto& redis_lookups = prometheus::BuildCounter()
                            .Name("skerrow_redis_lookups_total")
                            .Help("Snapshot lookups that asked Redis, by outcome.")
                            .Register(r);
  constexpr std::array<std::string_view, kRedisLookups> kRedisLookupNames = {"found", "not_found", "failed"};
  for (std::size_t o = 0; o < kRedisLookups; ++o) {
    redis_lookups_[o] = &redis_lookups.Add({{"outcome", std::string(kRedisLookupNames[o])}});
  }
  redis_connected_ = &prometheus::BuildGauge()
                          .Name("skerrow_redis_connected")
                          .Help("1 while the connection to Redis is up, else 0.")
                          .Register(r)
                          .Add({});
}

// One series per relayed subscription: the parent's, then the aux chains' in order.
void Metrics::build_relay_series(prometheus::Registry& r) {
  auto& relayed = prometheus::BuildCounter()
                      .Name("skerrow_zmq_notifications_relayed_total")
                      .Help("hashblock notifications relayed, by the daemon they came from.")
                      .Register(r);
  if (config_.parent_zmq_hashblock) {
    relayed_.emplace_back(kParentLabel, &relayed.Add({{"daemon", std::string(kParentLabel)}}));
  }
  for (const AuxChainConfig& chain : config_.aux_chains) {
    if (chain.zmq_hashblock) {
      relayed_.emplace_back(chain.chain_id, &relayed.Add({{"daemon", std::string(chain.chain_id)}}));
    }
  }
}

template <typename Use>
void Metrics::with_daemon(std::size_t index, Use use) {
  if (index == kParentDaemon) {
    use(*parent_);
    return;
  }
  FutexLock guard(new_series_lock_);
  if (Daemon* d = daemon(index)) use(*d);
}

Metrics::Daemon* Metrics::daemon(std::size_t index) {
  if (index == kParentDaemon) return parent_.get();
  return index < kMaxAuxChains ? aux_daemons_[index].get() : nullptr;
}

Metrics::AuxChain* Metrics::aux(std::size_t index) {
  return index < kMaxAuxChains ? aux_[index].get() : nullptr;
}

prometheus::Counter* Metrics::daemon_counter(Daemon& d, ErrorCode result) {
  std::size_t at = static_cast<std::size_t>(result);
  if (at >= d.calls.size()) at = static_cast<std::size_t>(ErrorCode::Unexpected);
  if (prometheus::Counter* counter = d.calls[at].load(std::memory_order_acquire)) return counter;
  // Series for errors are made when they first happen: 129 names times 33 daemons made up
  // front would bury the few that ever occur.
  try {
    prometheus::Counter* counter = &daemon_calls_->Add(
        {{"daemon", std::string(d.label)}, {"outcome", std::string(error_name(result))}});
    d.calls[at].store(counter, std::memory_order_release);
    return counter;
  } catch (const std::exception&) {
    return nullptr;  // no memory for the series: the call goes uncounted
  }
}

std::vector<MetricFamily> Metrics::Collect() const {
  std::vector<MetricFamily> out;
  try {
    MetricFamily requests = family("skerrow_request_duration_seconds",
                                   "Time from accept to the end of the reply, by request kind.",
                                   MetricType::Histogram);
    for (std::size_t k = 0; k < kRequestKinds; ++k) {
      requests.metric.push_back(histogram_metric(
          request_latency_[k], label("kind", kind_name(static_cast<RequestKind>(k)))));
    }
    out.push_back(std::move(requests));

    MetricFamily calls = family("skerrow_daemon_call_duration_seconds",
                                "Duration of daemon calls, by daemon.", MetricType::Histogram);
    calls.metric.push_back(histogram_metric(parent_->latency, label("daemon", parent_->label)));
    FutexLock guard(new_series_lock_);
    for (const auto& d : aux_daemons_) {
      if (d != nullptr) calls.metric.push_back(histogram_metric(d->latency, label("daemon", d->label)));
    }
    out.push_back(std::move(calls));

    std::vector<const AuxChain*> chains;
    for (const auto& a : aux_) {
      if (a != nullptr) chains.push_back(a.get());
    }
    if (!chains.empty()) {
      MetricFamily age = family("skerrow_aux_template_age_seconds",
                                "Seconds since the aux chain's last good template (since "
                                "start-up while it has had none).",
                                MetricType::Gauge);
      const std::int64_t now = steady_ns();
      for (const auto& a : chains) {
        ClientMetric m;
        m.label.push_back(label("chain", a->chain));
        m.gauge.value =
            static_cast<double>(now - a->last_good_ns.load(std::memory_order_relaxed)) / 1e9;
        age.metric.push_back(std::move(m));
      }
      out.push_back(std::move(age));
    }

    const ProcessStats p = read_process_stats();
    add_process_family(out, "process_cpu_seconds_total", "User and system CPU time spent.",
                       MetricType::Counter, p.cpu_seconds);
    add_process_family(out, "process_resident_memory_bytes", "Resident memory size.",
                       MetricType::Gauge, p.resident_bytes);
    add_process_family(out, "process_virtual_memory_bytes", "Virtual memory size.",
                       MetricType::Gauge, p.virtual_bytes);
    add_process_family(out, "process_open_fds", "Open file descriptors.", MetricType::Gauge,
                       p.open_fds);
    add_process_family(out, "process_max_fds", "Limit of open file descriptors.",
                       MetricType::Gauge, p.max_fds);
    add_process_family(out, "process_start_time_seconds",
                       "Start time of the process since the Unix epoch.", MetricType::Gauge,
                       p.start_time_seconds);
  } catch (const std::bad_alloc&) {
    // A scrape that cannot be built in full is answered with what was built.
  }
  return out;
}

std::vector<MetricFamily> Metrics::collect_all() const {
  std::vector<MetricFamily> out = registry_->Collect();
  std::vector<MetricFamily> more = Collect();
  out.insert(out.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
  return out;
}

namespace detail {

void request_finished(Metrics& m, RequestKind kind, RequestOutcome outcome, double seconds) {
  const auto k = static_cast<std::size_t>(kind);
  const auto o = static_cast<std::size_t>(outcome);
  if (k >= kRequestKinds || o >= kRequestOutcomes) return;
  m.requests_[k][o]->Increment();
  m.request_latency_[k].observe(seconds);
}

void queue_depth(Metrics& m, std::size_t depth) { m.queue_depth_->Set(static_cast<double>(depth)); }

void queue_dropped(Metrics& m) { m.queue_dropped_->Increment(); }
void accept_failed(Metrics& m) { m.accept_failures_->Increment(); }
void connections_open(Metrics& m, std::size_t open) { m.connections_open_->Set(static_cast<double>(open)); }

void worker_busy(Metrics& m, int delta) { m.workers_busy_->Increment(delta); }

void daemon_call(Metrics& m, std::size_t daemon, ErrorCode result, double seconds) {
  auto count = [&](Metrics::Daemon& d) REQUIRES(m.new_series_lock_) {
    if (prometheus::Counter* counter = m.daemon_counter(d, result)) counter->Increment();
    d.latency.observe(seconds);
  };
  if (daemon == kParentDaemon) {
    // The parent's record never goes: its counters are used without the lock once made.
    Metrics::Daemon& parent = *m.parent_;
    std::size_t at = static_cast<std::size_t>(result);
    if (at >= parent.calls.size()) at = static_cast<std::size_t>(ErrorCode::Unexpected);
    if (prometheus::Counter* counter = parent.calls[at].load(std::memory_order_acquire)) {
      counter->Increment();
      parent.latency.observe(seconds);
      return;
    }
    FutexLock guard(m.new_series_lock_);
    count(parent);
    return;
  }
  FutexLock guard(m.new_series_lock_);
  if (Metrics::Daemon* d = m.daemon(daemon)) count(*d);
}

void aux_template_fetched(Metrics& m, std::size_t chain, double difficulty) {
  FutexLock guard(m.new_series_lock_);
  if (Metrics::AuxChain* a = m.aux(chain)) {
    a->difficulty->Set(difficulty);
    a->last_good_ns.store(steady_ns(), std::memory_order_relaxed);
    a->valid->Set(1);
  }
}

void aux_template_invalid(Metrics& m, std::size_t chain) {
  FutexLock guard(m.new_series_lock_);
  if (Metrics::AuxChain* a = m.aux(chain)) a->valid->Set(0);
}

void aux_fetch_failed(Metrics& m, std::size_t chain) {
  FutexLock guard(m.new_series_lock_);
  if (Metrics::AuxChain* a = m.aux(chain)) {
    a->fetch_failures->Increment();
    a->valid->Set(0);
  }
}

void aux_tree_slot(Metrics& m, std::size_t chain, std::int64_t slot) {
  FutexLock guard(m.new_series_lock_);
  if (Metrics::AuxChain* a = m.aux(chain)) a->slot->Set(static_cast<double>(slot));
}

void aux_submission(Metrics& m, std::size_t chain, SubmitResult result) {
  const auto r = static_cast<std::size_t>(result);
  FutexLock guard(m.new_series_lock_);
  if (Metrics::AuxChain* a = m.aux(chain); a != nullptr && r < kSubmitResults) {
    a->submissions[r]->Increment();
  }
}

void snapshot_stored(Metrics& m) { m.snapshots_stored_->Increment(); }

void aux_submission_refused(Metrics& m, SubmitRefusal reason) {
  const auto s = static_cast<std::size_t>(reason);
  if (s < kSubmitRefusals) m.refusals_[s]->Increment();
}

void snapshot_lookup(Metrics& m, SnapshotLookup outcome) {
  const auto o = static_cast<std::size_t>(outcome);
  if (o < kSnapshotLookups) m.lookups_[o]->Increment();
}

void redis_write(Metrics& m, bool ok) {
  if (prometheus::Counter* c = m.redis_writes_[ok ? 0 : 1]) c->Increment();
}

void redis_lookup(Metrics& m, RedisLookup outcome) {
  const auto o = static_cast<std::size_t>(outcome);
  if (o < kRedisLookups && m.redis_lookups_[o] != nullptr) m.redis_lookups_[o]->Increment();
}

void redis_connected(Metrics& m, bool up) {
  if (m.redis_connected_ != nullptr) m.redis_connected_->Set(up ? 1 : 0);
}

void zmq_relayed(Metrics& m, std::string_view daemon_label) {
  for (const auto& [label, counter] : m.relayed_) {
    if (label == daemon_label) {
      counter->Increment();
      return;
    }
  }
}


void node_up(Metrics& m, std::size_t daemon, std::size_t node, bool up) {
  m.with_daemon(daemon, [&](Metrics::Daemon& d) {
    if (node < d.nodes.size()) d.nodes[node].up->Set(up ? 1 : 0);
  });
}

void node_call(Metrics& m, std::size_t daemon, std::size_t node, bool ok) {
  m.with_daemon(daemon, [&](Metrics::Daemon& d) {
    if (node >= d.nodes.size()) return;
    d.nodes[node].calls->Increment();
    if (!ok) d.nodes[node].failures->Increment();
  });
}

void node_failover(Metrics& m, std::size_t daemon, std::size_t node) {
  m.with_daemon(daemon, [&](Metrics::Daemon& d) {
    if (node < d.nodes.size()) d.nodes[node].failovers->Increment();
  });
}

void active_node(Metrics& m, std::size_t daemon, std::size_t node) {
  m.with_daemon(daemon, [&](Metrics::Daemon& d) {
    if (d.active_node != nullptr) d.active_node->Set(static_cast<double>(node));
  });
}

}  // namespace detail

void list_aux_chain(std::size_t chain, std::string_view chain_id, std::size_t backups) {
  if (Metrics* m = detail::get()) {
    if (auto listed = m->list_aux_chain(chain, chain_id, backups); !listed) {
      log_line(LogLevel::warning, LogScope::skerrow, {"metrics of aux chain ", chain_id, " not updated: ", listed.error()});
    }
  }
}

void unlist_aux_chain(std::size_t chain) {
  if (Metrics* m = detail::get()) m->unlist_aux_chain(chain);
}

Status check_metrics_listen(const Config& config) {
  if (!config.metrics_listen) return {};
  auto address = parse_listen(*config.metrics_listen);
  if (!address) return fail(address.error());
  return {};
}

Status start_metrics(const Config& config, std::string_view version) {
  if (!config.metrics_listen) return {};

  auto address = parse_listen(*config.metrics_listen);
  if (!address) return fail(address.error());
  // The embedded web server of Debian's build cannot listen on IPv6: for an IPv6 address the
  // proxy listens itself and forwards each connection to the server on an IPv4 loopback port
  // of its own choosing.
  std::optional<Descriptor> ipv6_listener;
  std::string served_at = address->civetweb;
  if (address->socket.family() == AF_INET6) {
    auto listener = listen_tcp(address->socket, kListenBacklogForMetrics);
    if (!listener) return fail(listener.error());
    ipv6_listener = std::move(*listener);
    served_at = "127.0.0.1:0";
  } else if (auto probed = probe_bind(address->socket); !probed) {
    // The embedded web server reports a failed bind only as an exception without a cause, so
    // the address is bound once first (with the same SO_REUSEADDR) to learn why it would fail.
    return probed;
  }

  auto metrics = Metrics::create(config, version);
  if (!metrics) return fail(metrics.error());

  prometheus::Exposer* exposer = nullptr;
  try {
    auto endpoint = std::make_unique<RunningEndpoint>();
    endpoint->metrics = *metrics;
    // The embedded web server gives each connection a thread until its request has arrived:
    // with its defaults (2 threads, 30 s to send a request) two idle connections held every
    // scrape back for half a minute. A second per request, and threads enough for dozens of
    // idle connections, keep a scrape within about a second.
    endpoint->exposer = std::make_unique<prometheus::Exposer>(std::vector<std::string>{
        "listening_ports", served_at, "num_threads", kEndpointThreads, "request_timeout_ms",
        kEndpointRequestTimeoutMs});
    exposer = endpoint->exposer.get();
    exposer->RegisterCollectable((*metrics)->registry());
    exposer->RegisterCollectable(*metrics);
    running_endpoint = endpoint.release();
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  } catch (const std::exception&) {
    // The probe bound the address a moment ago; someone took it since, or the web server
    // could not start its threads.
    return fail(ErrorCode::Unexpected);
  }

  std::uint16_t port = address->socket.port();
  if (auto ports = exposer->GetListeningPorts(); !ports.empty()) {
    port = static_cast<std::uint16_t>(ports.front());
  }
  if (ipv6_listener) {
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(port);
    if (auto forwarding = start_tcp_forwarder(std::move(*ipv6_listener), SocketAddress::of(server)); !forwarding) {
      return fail(forwarding.error());
    }
    port = address->socket.port();
  }
  log_line(LogLevel::info, LogScope::skerrow, {"metrics listening on ", std::string_view(address->host), ":", port});
  detail::active.store(metrics->get(), std::memory_order_release);
  return {};
}

}  // namespace skerrow::metrics
