#include "platform/event_loop.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include <gtest/gtest.h>

#include "common/socket_pair.h"

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

// Drains events for `ms` milliseconds (a periodic timer keeps every wait short) and counts
// them per tag.
std::vector<int> collect(EventLoop& loop, int ms, std::size_t tags) {
  std::vector<int> seen(tags);
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) {
    auto events = loop.wait();
    EXPECT_TRUE(events);
    if (!events) break;
    for (const LoopEvent& e : *events) seen.at(e.tag) += 1;
  }
  return seen;
}

TEST(EventLoop, OneShotTimerFiresOncePerArming) {
  EventLoop loop = make_loop();
  ASSERT_TRUE(loop.add_timer(10, 0));  // the heartbeat that bounds every wait
  ASSERT_TRUE(loop.add_oneshot_timer(1));
  EXPECT_EQ(collect(loop, 60, 2)[1], 0);  // silent until armed
  ASSERT_TRUE(loop.arm_timer(1, 20));
  EXPECT_EQ(collect(loop, 300, 2)[1], 1);
  // Re-arming before it fires replaces the earlier arming instead of adding a second one.
  ASSERT_TRUE(loop.arm_timer(1, 600));
  ASSERT_TRUE(loop.arm_timer(1, 20));
  EXPECT_EQ(collect(loop, 300, 2)[1], 1);
  EXPECT_EQ(collect(loop, 500, 2)[1], 0);
  EXPECT_EQ(loop.arm_timer(7, 10).error(), ErrorCode::EventNotFound);
}

TEST(EventLoop, PausedDescriptorIsReportedAgainAfterResuming) {
  EventLoop loop = make_loop();
  SocketPair pair;
  ASSERT_TRUE(loop.add_readable(pair.server, 2));
  ASSERT_TRUE(loop.add_timer(10, 0));
  pair.send("x");
  ASSERT_TRUE(loop.pause_readable(pair.server));
  EXPECT_EQ(collect(loop, 50, 3)[2], 0);
  ASSERT_TRUE(loop.resume_readable(pair.server));
  EXPECT_GE(collect(loop, 30, 3)[2], 1);  // the byte that waited all along
  SocketPair other;
  EXPECT_EQ(loop.pause_readable(other.server).error(), ErrorCode::EventNotFound);
}

}  // namespace
}  // namespace skerrow
