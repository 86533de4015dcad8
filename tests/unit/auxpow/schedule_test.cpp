// When aux templates are fetched, and what a template request waits for: requests coalesce
// into one more fetch, only stale work is waited for, and a wait given up is not repeated.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "auxpow/schedule.h"
#include "auxpow/snapshot_store.h"
#include "auxpow/work.h"
#include "support.h"

namespace skerrow {
namespace {

using namespace std::chrono_literals;

const std::string kHash = std::string(62, '0') + "ab";
const std::string kTarget = std::string(56, '0') + "ffff0000";

Result<JsonDocument> template_reply(const std::string& hash) {
  return parse_json(R"({"result":{"hash":")" + hash + R"(","chainid":1,"target":")" + kTarget + R"("}})");
}

struct TwoChains : test::TwoChains {
  bool waits_for(std::size_t chain) { return pending_stale_fetches(engine).request[chain] != 0; }
};

TEST(Schedule, RequestsDuringAFetchAreServedByOneMore) {
  TwoChains t;
  test::CapturedStderr quiet;
  want_aux_fetch(t.engine, 0, FetchReason::routine);
  const std::uint64_t first = next_aux_fetch(t.engine, 0);
  for (int i = 0; i < 3; ++i) want_aux_fetch(t.engine, 0, FetchReason::routine);
  finish_aux_fetch(t.engine, 0, first, template_reply(kHash));
  const std::uint64_t second = next_aux_fetch(t.engine, 0);  // returns at once: requests are waiting
  EXPECT_EQ(second, first + 3);
  finish_aux_fetch(t.engine, 0, second, template_reply(kHash));
  EXPECT_EQ(t.engine.states[0].done, second);
  EXPECT_EQ(t.engine.states[0].started, t.engine.states[0].wanted);  // nothing left to fetch
  EXPECT_EQ(t.engine.states[1].wanted, 0u);
  EXPECT_TRUE(t.engine.states[0].templ.valid);
}

TEST(Schedule, OnlyStaleWorkIsWaitedForAndAWaitGivenUpIsNotRepeated) {
  TwoChains t;
  test::CapturedStderr quiet;
  want_all_aux_fetches(t.engine, FetchReason::routine);
  EXPECT_FALSE(t.waits_for(0));
  want_aux_fetch(t.engine, 1, FetchReason::stale);
  EXPECT_FALSE(t.waits_for(0));
  ASSERT_TRUE(t.waits_for(1));

  // A fetch that finishes in time ends the wait early.
  const StaleFetches pending = pending_stale_fetches(t.engine);
  const std::uint64_t request = next_aux_fetch(t.engine, 1);
  std::thread refresher([&] {
    std::this_thread::sleep_for(50ms);
    finish_aux_fetch(t.engine, 1, request, template_reply(kHash));
  });
  const auto started = std::chrono::steady_clock::now();
  wait_for_fetches(t.engine, pending, started + 10s);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  refresher.join();
  EXPECT_FALSE(t.waits_for(1));

  // A fetch that never finishes: one wait runs out, later requests do not wait for it again,
  // a newer stale request is waited for anew.
  want_aux_fetch(t.engine, 1, FetchReason::stale);
  wait_for_fetches(t.engine, pending_stale_fetches(t.engine), std::chrono::steady_clock::now() + 20ms);
  EXPECT_FALSE(t.waits_for(1));
  want_aux_fetch(t.engine, 1, FetchReason::stale);
  EXPECT_TRUE(t.waits_for(1));
}

}  // namespace
}  // namespace skerrow
