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
  want_aux_fetch(t.engine, 0, 0, FetchReason::routine);
  const AuxFetch first = next_aux_fetch(t.engine, 0);
  for (int i = 0; i < 3; ++i) want_aux_fetch(t.engine, 0, 0, FetchReason::routine);
  finish_aux_fetch(t.engine, 0, first, template_reply(kHash));
  const AuxFetch second = next_aux_fetch(t.engine, 0);  // returns at once: requests are waiting
  EXPECT_EQ(second.request, first.request + 3);
  finish_aux_fetch(t.engine, 0, second, template_reply(kHash));
  EXPECT_EQ(t.engine.states[0].done, second.request);
  EXPECT_EQ(t.engine.states[0].started, t.engine.states[0].wanted);  // nothing left to fetch
  EXPECT_EQ(t.engine.states[1].wanted, 0u);
  EXPECT_TRUE(t.engine.states[0].templ.valid);
}

TEST(Schedule, OnlyStaleWorkIsWaitedForAndAWaitGivenUpIsNotRepeated) {
  TwoChains t;
  test::CapturedStderr quiet;
  want_all_aux_fetches(t.engine, FetchReason::routine);
  EXPECT_FALSE(t.waits_for(0));
  want_aux_fetch(t.engine, 1, 0, FetchReason::stale);
  EXPECT_FALSE(t.waits_for(0));
  ASSERT_TRUE(t.waits_for(1));

  // A fetch that finishes in time ends the wait early.
  const StaleFetches pending = pending_stale_fetches(t.engine);
  const AuxFetch request = next_aux_fetch(t.engine, 1);
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
  want_aux_fetch(t.engine, 1, 0, FetchReason::stale);
  wait_for_fetches(t.engine, pending_stale_fetches(t.engine), std::chrono::steady_clock::now() + 20ms);
  EXPECT_FALSE(t.waits_for(1));
  want_aux_fetch(t.engine, 1, 0, FetchReason::stale);
  EXPECT_TRUE(t.waits_for(1));
}

AuxChainConfig chain_named(std::string_view name) {
  AuxChainConfig chain;
  chain.chain_id = name;
  return chain;
}

TEST(Schedule, AReloadKeepsChainsByNameAndDropsAFetchStartedForAnEntrysOldChain) {
  Config config;
  config.aux_chains = {chain_named("a"), chain_named("b")};
  AuxEngine engine;
  init_aux_engine(engine, config);
  test::CapturedStderr quiet;
  want_all_aux_fetches(engine, FetchReason::stale);
  const AuxFetch a_fetch = next_aux_fetch(engine, 0);
  ASSERT_TRUE(finish_aux_fetch(engine, 0, a_fetch, template_reply(kHash)));
  const AuxFetch b_fetch = next_aux_fetch(engine, 1);  // b's daemon is slow to answer

  // b goes, c comes and takes b's entry; a moves behind c, kept as it was.
  const std::vector<AuxChainConfig> read = {chain_named("c"), chain_named("a")};
  AuxChainEdits edits;
  {
    FutexLock guard(engine.lock);
    edits = reconcile_aux_chains(engine, read);
  }
  ASSERT_EQ(edits.count, 2u);
  EXPECT_EQ(edits.edits[0].change, AuxChainChange::removed);
  EXPECT_EQ(edits.edits[0].chain_id, "b");
  EXPECT_EQ(edits.edits[1].change, AuxChainChange::added);
  EXPECT_EQ(edits.edits[1].entry, 1u);
  EXPECT_EQ(engine.states[0].generation, a_fetch.generation);
  EXPECT_TRUE(engine.states[0].templ.valid);
  EXPECT_EQ(engine.states[0].position, 1u);

  // b's answer must not become c's template; c's own fetch is already wanted.
  EXPECT_FALSE(finish_aux_fetch(engine, 1, b_fetch, template_reply(kHash)));
  EXPECT_FALSE(engine.states[1].templ.valid);
  EXPECT_NE(pending_stale_fetches(engine).request[1], 0u);
  EXPECT_EQ(next_aux_fetch(engine, 1).chain_id, "c");
  AuxWork work;
  {
    FutexLock guard(engine.lock);
    take_aux_work(engine, work);
  }
  ASSERT_EQ(work.chain_count, 2u);
  EXPECT_EQ(work.chains[0].chain_id, "c");
  EXPECT_EQ(work.chains[1].chain_id, "a");
}

}  // namespace
}  // namespace skerrow
