#include <pthread.h>
#include <signal.h>

#include <array>

#include <gtest/gtest.h>

#include "platform/event_loop.h"
#include "platform/signals.h"

namespace skerrow {
namespace {

// A signal that came before its source existed (one sent during start-up) must not be lost,
// and each one read must be gone from the next wait, or the loop would see it for ever.
TEST(EventLoopSignals, EachSignalIsReportedOnceByNumberEvenIfItCameFirst) {
  const std::array<int, 2> signals{SIGUSR1, SIGUSR2};
  block_signals(signals);
  ASSERT_EQ(::raise(SIGUSR2), 0);
  auto loop = EventLoop::create();
  ASSERT_TRUE(loop);
  ASSERT_TRUE(loop->add_signals(signals, 5));

  auto events = loop->wait_for(2000);
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 1u);
  EXPECT_EQ((*events)[0].tag, 5u);
  EXPECT_EQ((*events)[0].data, SIGUSR2);

  ASSERT_EQ(::raise(SIGUSR1), 0);
  events = loop->wait_for(2000);
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 1u);
  EXPECT_EQ((*events)[0].data, SIGUSR1);

  events = loop->wait_for(50);
  ASSERT_TRUE(events);
  EXPECT_TRUE(events->empty());

  sigset_t set;
  sigemptyset(&set);
  for (int signal : signals) sigaddset(&set, signal);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

}  // namespace
}  // namespace skerrow
