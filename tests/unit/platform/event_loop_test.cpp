#include "platform/event_loop.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>
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

// The one event of a wait that must report exactly one.
LoopEvent only_event(EventLoop& loop) {
  auto events = loop.wait_for(1000);
  EXPECT_TRUE(events);
  if (!events || events->size() != 1) {
    ADD_FAILURE() << "expected one event, got " << (events ? events->size() : 0);
    return LoopEvent{~std::uint64_t{0}, 0};
  }
  return (*events)[0];
}

TEST(EventLoop, ConnectionIsReportedForItsCurrentInterestAndTag) {
  EventLoop loop = make_loop();
  SocketPair pair;
  ASSERT_TRUE(loop.add_connection(pair.server, Interest::read, 4));
  auto idle = loop.wait_for(30);
  ASSERT_TRUE(idle);
  EXPECT_TRUE(idle->empty());  // nothing to read yet
  pair.send("x");  // never read: the socket stays readable and writable throughout
  struct Step {
    Interest interest;
    std::uint64_t tag;
    std::int64_t reported;
  };
  const Step steps[] = {
      {Interest::read, 5, kConnectionReadable},   // keeps the interest, replaces the tag
      {Interest::write, 6, kConnectionWritable},  // switches the interest
      {Interest::write, 7, kConnectionWritable},
      {Interest::read, kConnectionTagLimit - 1, kConnectionReadable},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.tag);
    ASSERT_TRUE(loop.change_connection(pair.server, step.interest, step.tag));
    const LoopEvent event = only_event(loop);
    EXPECT_EQ(event.tag, step.tag);
    EXPECT_EQ(event.data, step.reported);
  }
  SocketPair other;
  EXPECT_EQ(loop.change_connection(other.server, Interest::write, 9).error(),
            ErrorCode::EventNotFound);
  auto after = loop.wait_for(30);  // the failed change left nothing watched behind
  ASSERT_TRUE(after);
  for (const LoopEvent& e : *after) {
    EXPECT_NE(e.tag, 9u);
  }
}

TEST(EventLoop, ForgottenConnectionIsNeverReported) {
  for (Interest interest : {Interest::read, Interest::write}) {
    SCOPED_TRACE(interest == Interest::read ? "read" : "write");
    EventLoop loop = make_loop();
    SocketPair kept, forgotten;
    ASSERT_TRUE(loop.add_connection(kept.server, interest, 1));
    ASSERT_TRUE(loop.add_connection(forgotten.server, interest, 2));
    kept.send("x");
    forgotten.send("x");
    ASSERT_TRUE(loop.forget_connection(forgotten.server));
    for (int round = 0; round < 3; ++round) EXPECT_EQ(only_event(loop).tag, 1u);
    EXPECT_EQ(loop.forget_connection(forgotten.server).error(), ErrorCode::EventNotFound);
  }
}

TEST(EventLoop, PeerResetIsAHangupWhateverTheInterest) {
  const std::pair<Interest, std::int64_t> cases[] = {{Interest::read, kConnectionReadable},
                                                     {Interest::write, kConnectionWritable}};
  for (const auto& [interest, ready] : cases) {
    SCOPED_TRACE(ready);
    EventLoop loop = make_loop();
    SocketPair pair{SocketPair::Tcp{}};
    const linger reset{1, 0};
    ASSERT_EQ(::setsockopt(pair.client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
    pair.close_client();
    pollfd arrived{pair.server, POLLIN, 0};  // the reset has arrived once the socket reads
    ASSERT_EQ(::poll(&arrived, 1, 1000), 1);
    ASSERT_TRUE(loop.add_connection(pair.server, interest, 4));
    const LoopEvent event = only_event(loop);
    EXPECT_EQ(event.tag, 4u);
    EXPECT_EQ(event.data & (ready | kConnectionHangup), ready | kConnectionHangup);
  }
}

TEST(EventLoop, WakeEndsAWaitFromAnotherThreadAndWakesBeforeAWaitReportOnce) {
  EventLoop loop = make_loop();
  SocketPair idle;
  ASSERT_TRUE(loop.add_readable(idle.server, 1));
  ASSERT_TRUE(loop.add_wakeup(2));
  std::thread waker([&loop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    loop.wake();
  });
  auto woken = loop.wait_for(10'000);
  waker.join();
  ASSERT_TRUE(woken);
  ASSERT_EQ(woken->size(), 1u);
  EXPECT_EQ((*woken)[0].tag, 2u);
  for (int i = 0; i < 3; ++i) loop.wake();
  EXPECT_EQ(only_event(loop).tag, 2u);
  auto quiet = loop.wait_for(50);
  ASSERT_TRUE(quiet);
  EXPECT_TRUE(quiet->empty());
}

TEST(EventLoop, MoreConnectionsThanOneWaitHoldsAreAllReported) {
  constexpr std::size_t kConnections = 300;
  static_assert(kConnections > kMaxLoopEvents);
  EventLoop loop = make_loop();
  std::vector<SocketPair> pairs(kConnections);
  for (std::size_t i = 0; i < kConnections; ++i) {
    ASSERT_TRUE(loop.add_connection(pairs[i].server, Interest::write, i));
  }
  // Each is forgotten once reported, as a connection that was served would be.
  std::vector<int> seen(kConnections);
  int waits = 0;
  for (std::size_t left = kConnections; left > 0 && waits < 10; ++waits) {
    auto events = loop.wait_for(1000);
    ASSERT_TRUE(events);
    EXPECT_LE(events->size(), kMaxLoopEvents);
    for (const LoopEvent& e : *events) {
      ASSERT_LT(e.tag, kConnections);
      seen[e.tag] += 1;
      EXPECT_EQ(e.data, kConnectionWritable);
      ASSERT_TRUE(loop.forget_connection(pairs[e.tag].server));
      --left;
    }
  }
  EXPECT_GE(waits, 2);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(kConnections));
}

}  // namespace
}  // namespace skerrow
