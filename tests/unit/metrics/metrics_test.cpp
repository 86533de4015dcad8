// The hooks against what a scrape shows: each hook must move its own series and no other,
// the latency histograms must count every observation from many threads, and the process
// figures must follow the process.
#include "metrics/registry.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <prometheus/text_serializer.h>

namespace skerrow::metrics {
namespace {

using Samples = std::map<std::string, double>;  // "name{labels}" -> value, as serialized

Samples parse(const std::string& text) {
  Samples out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    if (line.empty() || line[0] == '#') continue;
    std::size_t space = line.rfind(' ');
    out[line.substr(0, space)] = std::stod(line.substr(space + 1));
  }
  return out;
}

// A proxy's configuration with two aux chains, one of them relayed, and the metrics of it
// made live for the test's duration.
class Hooks : public ::testing::Test {
 protected:
  void SetUp() override {
    auto loaded = load_config_from_bytes(R"({
      "parent": {"url": "127.0.0.1:1", "zmq_hashblock": "tcp://127.0.0.1:2"},
      "zmq_pub": "tcp://127.0.0.1:3", "aux_refresh_ms": 2500,
      "aux_chains": [{"chain_id": "doge", "url": "127.0.0.1:4", "zmq_hashblock": "tcp://127.0.0.1:5"},
                     {"chain_id": "q\"uote", "url": "127.0.0.1:6"}]})");
    ASSERT_TRUE(loaded.has_value()) << error_name(loaded.error());
    config_ = std::move(*loaded);
    auto made = Metrics::create(config_, "9.8.7");
    ASSERT_TRUE(made.has_value());
    metrics_ = *made;
    detail::active.store(metrics_.get());
  }
  void TearDown() override { detail::active.store(nullptr); }

  Samples scrape() const {
    return parse(prometheus::TextSerializer().Serialize(metrics_->collect_all()));
  }

  Config config_;
  std::shared_ptr<Metrics> metrics_;
};

TEST_F(Hooks, EachHookMovesItsOwnSeriesOnly) {
  const Samples before = scrape();
  // Series that start at something other than zero.
  const Samples initial = {
      {R"(skerrow_build_info{version="9.8.7"})", 1},
      {"skerrow_aux_refresh_period_seconds", 2.5},
      {R"(skerrow_aux_tree_slot{chain="doge"})", -1},
      {R"(skerrow_aux_tree_slot{chain="q\"uote"})", -1},
  };
  for (const auto& [series, value] : initial) EXPECT_EQ(before.at(series), value) << series;

  request_finished(RequestKind::passthrough, RequestOutcome::ok, 0.002);
  request_finished(RequestKind::refused, RequestOutcome::unauthorized, 0.25);
  queue_depth(7);
  queue_dropped();
  connections_open(5);
  std::optional<BusyWorker> busy;
  busy.emplace();
  {
    BusyWorker finished;  // counted, then gone again
  }
  daemon_call(kParentDaemon, ErrorCode::None, 0.01);
  daemon_call(1, ErrorCode::ConnectionRefused, 0.0001);
  daemon_call(1, ErrorCode::ConnectionRefused, 0.0001);
  daemon_call(2, ErrorCode::ConnectionRefused, 1.0);  // no such chain: ignored
  aux_template_fetched(0, 12.5);
  aux_tree_slot(0, 3);
  aux_fetch_failed(1);
  aux_submission(0, SubmitResult::accepted);
  aux_submission(1, SubmitResult::stale);
  snapshot_stored();
  snapshot_lookup(SnapshotLookup::branch_mismatch);
  zmq_relayed("doge");
  zmq_relayed("parent");
  zmq_relayed("parent");
  zmq_relayed("q\"uote");  // not relayed by configuration: ignored

  const Samples moved = {
      {R"(skerrow_requests_total{kind="passthrough",outcome="ok"})", 1},
      {R"(skerrow_requests_total{kind="refused",outcome="unauthorized"})", 1},
      {R"(skerrow_request_duration_seconds_bucket{kind="passthrough",le="0.0025"})", 1},
      {R"(skerrow_request_duration_seconds_count{kind="passthrough"})", 1},
      {R"(skerrow_request_duration_seconds_sum{kind="passthrough"})", 0.002},
      {R"(skerrow_request_duration_seconds_bucket{kind="refused",le="0.25"})", 1},
      {R"(skerrow_request_duration_seconds_count{kind="refused"})", 1},
      {R"(skerrow_request_duration_seconds_sum{kind="refused"})", 0.25},
      {"skerrow_queue_depth", 7},
      {"skerrow_queue_dropped_total", 1},
      {"skerrow_connections_open", 5},
      {"skerrow_workers_busy", 1},
      {R"(skerrow_daemon_calls_total{daemon="parent",outcome="ok"})", 1},
      {R"(skerrow_daemon_calls_total{daemon="q\"uote",outcome="ConnectionRefused"})", 2},
      {R"(skerrow_daemon_call_duration_seconds_bucket{daemon="parent",le="0.01"})", 1},
      {R"(skerrow_daemon_call_duration_seconds_count{daemon="parent"})", 1},
      {R"(skerrow_daemon_call_duration_seconds_sum{daemon="parent"})", 0.01},
      {R"(skerrow_daemon_call_duration_seconds_bucket{daemon="q\"uote",le="0.0005"})", 2},
      {R"(skerrow_daemon_call_duration_seconds_count{daemon="q\"uote"})", 2},
      {R"(skerrow_daemon_call_duration_seconds_sum{daemon="q\"uote"})", 0.0002},
      {R"(skerrow_aux_template_valid{chain="doge"})", 1},
      {R"(skerrow_aux_difficulty{chain="doge"})", 12.5},
      {R"(skerrow_aux_tree_slot{chain="doge"})", 3},
      {R"(skerrow_aux_template_fetch_failures_total{chain="q\"uote"})", 1},
      {R"(skerrow_aux_submissions_total{chain="doge",result="accepted"})", 1},
      {R"(skerrow_aux_submissions_total{chain="q\"uote",result="stale"})", 1},
      {"skerrow_snapshots_stored_total", 1},
      {R"(skerrow_snapshot_lookups_total{outcome="branch_mismatch"})", 1},
      {R"(skerrow_zmq_notifications_relayed_total{daemon="doge"})", 1},
      {R"(skerrow_zmq_notifications_relayed_total{daemon="parent"})", 2},
  };
  const Samples after = scrape();
  for (const auto& [series, value] : moved) {
    ASSERT_TRUE(after.contains(series)) << series;
    EXPECT_NEAR(after.at(series), value, 1e-9) << series;
  }
  // Every other series is where it started (buckets hold observations cumulatively, so they
  // are checked through the entries above), and the only new one is the first refused call's.
  std::set<std::string> appeared;
  for (const auto& [series, value] : after) {
    if (!before.contains(series)) {
      appeared.insert(series);
    } else if (series.starts_with("skerrow_") && !moved.contains(series) &&
               series.find("_bucket{") == std::string::npos &&
               !series.starts_with("skerrow_aux_template_age_seconds")) {
      EXPECT_EQ(value, before.at(series)) << series;
    }
  }
  EXPECT_EQ(appeared, std::set<std::string>{
                          R"(skerrow_daemon_calls_total{daemon="q\"uote",outcome="ConnectionRefused"})"});
  busy.reset();
  EXPECT_EQ(scrape().at("skerrow_workers_busy"), 0);
}

TEST_F(Hooks, TemplateAgeRestartsWithAGoodTemplateOnly) {
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  aux_template_fetched(0, 1.0);
  aux_fetch_failed(1);  // a failure does not make a template any younger
  const Samples s = scrape();
  const double fresh = s.at(R"(skerrow_aux_template_age_seconds{chain="doge"})");
  const double never = s.at(R"(skerrow_aux_template_age_seconds{chain="q\"uote"})");
  EXPECT_GE(never, 0.03);
  EXPECT_LT(fresh, never);
  aux_template_invalid(0);
  EXPECT_EQ(scrape().at(R"(skerrow_aux_template_valid{chain="doge"})"), 0);
}

// A reload: entry 1's chain goes and "btc" with a backup takes the entry, "doge" gains a
// backup; the hooks of every entry keep landing in the series the exposition shows.
TEST_F(Hooks, AChainsSeriesFollowItsEntryThroughReloads) {
  daemon_call(0, ErrorCode::None, 0.001);
  unlist_aux_chain(1);
  Samples s = scrape();
  for (const auto& [name, value] : s) EXPECT_EQ(name.find("uote"), std::string::npos) << name;

  list_aux_chain(1, "btc", 1);
  list_aux_chain(0, "doge", 1);  // same name, other nodes: its calls series is the family's same
  daemon_call(0, ErrorCode::None, 0.001);
  daemon_call(1, ErrorCode::None, 0.001);
  node_call(1, 1, false);
  aux_submission(1, SubmitResult::accepted);
  s = scrape();
  EXPECT_EQ(s.at(R"(skerrow_daemon_calls_total{daemon="doge",outcome="ok"})"), 1);  // made anew
  EXPECT_EQ(s.at(R"(skerrow_daemon_calls_total{daemon="btc",outcome="ok"})"), 1);
  EXPECT_EQ(s.at(R"(skerrow_daemon_node_failures_total{daemon="btc",node="1"})"), 1);
  EXPECT_EQ(s.at(R"(skerrow_daemon_node_up{daemon="doge",node="1"})"), 1);
  EXPECT_EQ(s.at(R"(skerrow_aux_submissions_total{chain="btc",result="accepted"})"), 1);
  EXPECT_EQ(s.at(R"(skerrow_aux_tree_slot{chain="btc"})"), -1);
}

TEST_F(Hooks, ProcessFiguresFollowTheProcess) {
  const Samples before = scrape();
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const Samples during = scrape();
  close(fds[0]);
  close(fds[1]);
  EXPECT_EQ(during.at("process_open_fds"), before.at("process_open_fds") + 2);
  EXPECT_GT(during.at("process_resident_memory_bytes"), 1 << 20);
  EXPECT_GE(during.at("process_virtual_memory_bytes"), during.at("process_resident_memory_bytes"));
  EXPECT_EQ(during.at("process_max_fds"), static_cast<double>(sysconf(_SC_OPEN_MAX)));
  const double now = static_cast<double>(std::time(nullptr));
  EXPECT_LE(during.at("process_start_time_seconds"), now + 1);
  EXPECT_GT(during.at("process_start_time_seconds"), now - 600);  // this test binary's start
  EXPECT_GE(during.at("process_cpu_seconds_total"), before.at("process_cpu_seconds_total"));
}

TEST_F(Hooks, FirstErrorOfADaemonRacedByEveryWorkerIsOneSeries) {
  constexpr int kThreads = 4, kCalls = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < kCalls; ++i) {
        daemon_call(kParentDaemon, ErrorCode::ConnectionTimedOut, 0.003);
        request_finished(RequestKind::getblocktemplate, RequestOutcome::ok, 0.003);
      }
    });
  }
  for (auto& t : threads) t.join();
  const Samples s = scrape();
  EXPECT_EQ(s.at(R"(skerrow_daemon_calls_total{daemon="parent",outcome="ConnectionTimedOut"})"),
            kThreads * kCalls);
  EXPECT_EQ(s.at(R"(skerrow_daemon_call_duration_seconds_count{daemon="parent"})"), kThreads * kCalls);
  EXPECT_EQ(s.at(R"(skerrow_requests_total{kind="getblocktemplate",outcome="ok"})"), kThreads * kCalls);
  EXPECT_EQ(s.at(R"(skerrow_request_duration_seconds_bucket{kind="getblocktemplate",le="+Inf"})"),
            kThreads * kCalls);
  EXPECT_NEAR(s.at(R"(skerrow_request_duration_seconds_sum{kind="getblocktemplate"})"),
              kThreads * kCalls * 0.003, 1e-6);
}

TEST(LatencyHistogram, BoundsAreInclusiveAndOddValuesCountAsZero) {
  LatencyHistogram h;
  for (double v : {0.0005, 0.00051, 60.0, 61.0, -1.0, std::nan("")}) h.observe(v);
  auto snap = h.snapshot();
  ASSERT_EQ(snap.bucket.size(), kLatencyBounds.size() + 1);
  EXPECT_EQ(snap.bucket[0].upper_bound, 0.0005);
  EXPECT_EQ(snap.bucket[0].cumulative_count, 3u);  // 0.0005 itself, -1 and NaN
  EXPECT_EQ(snap.bucket[1].cumulative_count, 4u);
  EXPECT_EQ(snap.bucket[kLatencyBounds.size() - 1].cumulative_count, 5u);  // le=60
  EXPECT_TRUE(std::isinf(snap.bucket.back().upper_bound));
  EXPECT_EQ(snap.bucket.back().cumulative_count, 6u);
  EXPECT_EQ(snap.sample_count, 6u);
  EXPECT_NEAR(snap.sample_sum, 0.0005 + 0.00051 + 60 + 61, 1e-9);
}

}  // namespace
}  // namespace skerrow::metrics
