#include "platform/event_loop.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include <gtest/gtest.h>

#include "socket_pair.h"

namespace skerrow {
namespace {

using test::SocketPair;

EventLoop make_loop() {
  auto loop = EventLoop::create();
  EXPECT_TRUE(loop.has_value());
  return std::move(*loop);
}

TEST(EventLoop, ReadableSourceIsReportedUntilDrained) {
  EventLoop loop = make_loop();
  SocketPair a, b;
  ASSERT_TRUE(loop.add_readable(a.server, 7));
  ASSERT_TRUE(loop.add_readable(b.server, 9));
  b.send("x");
  // Level-triggered: not reading the byte means the next wait reports it again.
  for (int round = 0; round < 2; ++round) {
    auto events = loop.wait();
    ASSERT_TRUE(events);
    ASSERT_EQ(events->size(), 1u);
    EXPECT_EQ((*events)[0].tag, 9u);
    EXPECT_GE((*events)[0].data, 1);
  }
  char byte;
  ASSERT_EQ(::read(b.server, &byte, 1), 1);
  a.send("y");
  auto events = loop.wait();
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 1u);
  EXPECT_EQ((*events)[0].tag, 7u);
}

TEST(EventLoop, OneWaitReportsEveryReadySourceAndTheTableIsBounded) {
  EventLoop loop = make_loop();
  std::vector<SocketPair> pairs(kMaxLoopSources);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    ASSERT_TRUE(loop.add_readable(pairs[i].server, i));
    pairs[i].send("x");
  }
  SocketPair extra;
  EXPECT_EQ(loop.add_readable(extra.server, 99).error(), ErrorCode::TooManySubscriptions);
  auto events = loop.wait();
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), kMaxLoopSources);
  std::vector<bool> tags(kMaxLoopSources);
  for (const LoopEvent& e : *events) tags.at(e.tag) = true;
  EXPECT_EQ(std::count(tags.begin(), tags.end(), true), static_cast<long>(kMaxLoopSources));
}

TEST(EventLoop, PeriodicTimerCountsElapsedPeriods) {
  EventLoop loop = make_loop();
  ASSERT_TRUE(loop.add_timer(20, 1));
  auto start = std::chrono::steady_clock::now();
  auto events = loop.wait();
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 1u);
  EXPECT_EQ((*events)[0].tag, 1u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(15));
  // Periods that pass while nobody waits are reported together, not lost or repeated.
  ::usleep(110 * 1000);
  events = loop.wait();
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 1u);
  EXPECT_GE((*events)[0].data, 4);
  EXPECT_LE((*events)[0].data, 8);
}

}  // namespace
}  // namespace skerrow
