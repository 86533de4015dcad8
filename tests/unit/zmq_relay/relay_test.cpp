// Subscription limits and clean-up on real ZeroMQ sockets (inproc only). The running relay
// and the set-up failures are covered end to end by the functional tests.
#include <zmq.h>

#include <string>

#include <gtest/gtest.h>

#include "support.h"
#include "zmq_relay/relay.h"

namespace skerrow {
namespace {

std::string sized_inproc(std::size_t total) {
  std::string e = "inproc://";
  e.append(total - e.size(), 'e');
  return e;
}

TEST(AddSubscription, LimitsFailuresAndCleanUp) {
  using namespace std::string_view_literals;
  RelayState state;
  state.context = zmq_ctx_new();
  ASSERT_NE(state.context, nullptr);
  std::string longest = sized_inproc(255);
  std::string too_long = sized_inproc(256);

  testing::CapturedStderr captured;
  EXPECT_TRUE(add_subscription(state, longest, "parent").has_value());
  EXPECT_EQ(add_subscription(state, too_long, "long").error(), ErrorCode::EndpointTooLong);
  EXPECT_EQ(add_subscription(state, "bogus://x", "doge").error(), ErrorCode::ZmqConnectFailed);
  // Zero-terminated, this would quietly become "inproc://a".
  EXPECT_EQ(add_subscription(state, "inproc://a\0b"sv, "nul").error(),
            ErrorCode::ZmqConnectFailed);
  EXPECT_EQ(state.count, 1u);

  for (std::size_t i = 1; i < kMaxSubscriptions; ++i) {
    std::string endpoint = "inproc://chain" + std::to_string(i);
    ASSERT_TRUE(add_subscription(state, endpoint, "aux").has_value());
  }
  EXPECT_EQ(add_subscription(state, "inproc://one-too-many", "late").error(),
            ErrorCode::TooManySubscriptions);
  EXPECT_EQ(state.count, kMaxSubscriptions);
  EXPECT_EQ(state.labels[0], "parent");
  captured.restore();

  std::string text = captured.text();
  EXPECT_EQ(text.rfind("info(zmq): ZMQ SUB connected to " + longest + " (parent)\n", 0), 0u);
  EXPECT_NE(text.find("error(zmq): zmq_connect(bogus://x) failed for doge\n"), std::string::npos);
  EXPECT_NE(text.find(") failed for nul\n"), std::string::npos);
  // The length and capacity refusals have no line of their own.
  EXPECT_EQ(text.find("long"), std::string::npos);
  EXPECT_EQ(text.find("late"), std::string::npos);

  // zmq_ctx_destroy waits for every socket of the context, so a socket left open by any of
  // the refusals above (the 256-byte one was already created) would hang here.
  testing::within_seconds(10, "release_relay", [&] { release_relay(state); });
  EXPECT_EQ(state.context, nullptr);
  EXPECT_EQ(state.count, 0u);
}

}  // namespace
}  // namespace skerrow
