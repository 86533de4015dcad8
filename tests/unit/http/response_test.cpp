#include "http/response.h"

#include <signal.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/socket_pair.h"

namespace skerrow {
namespace {

using test::SocketPair;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

void ignore_sigpipe() {
  // The program catches SIGPIPE; without that a write to a closed peer would end the test.
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigaction(SIGPIPE, &action, nullptr);
}

void set_send_limit(int fd, std::chrono::milliseconds limit) {
  timeval tv{static_cast<time_t>(limit.count() / 1000),
             static_cast<suseconds_t>(limit.count() % 1000 * 1000)};
  ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv), 0);
}

std::string expected(std::string_view status_line, std::size_t length, std::string_view rest) {
  return std::string(status_line) + "\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(length) + "\r\nConnection: close\r\n\r\n" + std::string(rest);
}

std::string sent(std::uint16_t status, std::string_view body) {
  SocketPair pair;
  EXPECT_TRUE(send_response(pair.server, status, body));
  return pair.received();
}

TEST(SendResponse, StatusLineAndOwedNewline) {
  EXPECT_EQ(sent(200, "{\"result\":1}"), expected("HTTP/1.1 200 OK", 13, "{\"result\":1}\n"));
  // A body that already ends in a line feed is not given a second one.
  EXPECT_EQ(sent(200, "{}\n"), expected("HTTP/1.1 200 OK", 3, "{}\n"));
  EXPECT_EQ(sent(200, ""), expected("HTTP/1.1 200 OK", 1, "\n"));
  EXPECT_EQ(sent(400, "{\"error\":\"empty body\"}"),
            expected("HTTP/1.1 400 Bad Request", 23, "{\"error\":\"empty body\"}\n"));
  EXPECT_EQ(sent(502, "x"), expected("HTTP/1.1 502 Bad Request", 2, "x\n"));
}

TEST(SendResponse, ClosedClientIsBrokenPipe) {
  ignore_sigpipe();
  SocketPair pair;
  pair.close_client();
  Status st = send_response(pair.server, 200, "{}");
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error(), ErrorCode::BrokenPipe);
}

// Once part of a response is out, a failure says so whatever its cause: the caller must not
// answer again into the middle of the body.
TEST(SendResponse, ClientGoneMidBodyIsResponseCutOff) {
  ignore_sigpipe();
  const std::string body(8 << 20, 'x');
  for (bool limited : {false, true}) {
    SocketPair pair(SocketPair::Tcp{});
    if (limited) set_send_limit(pair.server, 5000ms);
    std::size_t taken = 0;
    std::thread client([&] {
      char chunk[65536];
      const ssize_t n = ::read(pair.client, chunk, sizeof chunk);
      taken = n > 0 ? static_cast<std::size_t>(n) : 0;
      const linger reset{1, 0};  // a reset, so the writer's next call fails at once
      ::setsockopt(pair.client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
      pair.close_client();
    });
    Status st = send_response(pair.server, 200, body);
    client.join();
    EXPECT_GT(taken, 0u);
    ASSERT_FALSE(st) << "limited " << limited;
    EXPECT_EQ(st.error(), ErrorCode::ResponseCutOff) << error_name(st.error());
  }
}

TEST(SendResponse, LargeBodyUnderSendLimitArrivesWhole) {
  SocketPair pair(SocketPair::Tcp{});
  set_send_limit(pair.server, 5000ms);
  std::string body(3 << 20, 'x');
  for (std::size_t i = 0; i < body.size(); i += 4093) body[i] = static_cast<char>('a' + i % 26);
  std::string got;
  // Far more than the socket buffers hold, so the writer has to wait for room many times.
  std::thread client([&] { got = pair.received_by_client(); });
  EXPECT_TRUE(send_response(pair.server, 200, body));
  pair.close_server();
  client.join();
  EXPECT_EQ(got, expected("HTTP/1.1 200 OK", body.size() + 1, body + "\n"));
}

// A body in pieces is the same response as the body in one: the length, the owed newline
// (decided by the last byte of the last non-empty piece) and every byte, also when the
// pieces are far larger than the socket takes at once, with and without a send limit.
TEST(SendResponse, PiecesGiveTheBytesOfTheJoinedBody) {
  std::string big(3 << 20, 'x');
  for (std::size_t i = 0; i < big.size(); i += 4093) big[i] = static_cast<char>('a' + i % 26);
  const std::vector<std::vector<std::string_view>> cases = {
      {},
      {"", ""},
      {"{\"a\":", "", "1}"},
      {"{}\n", ""},
      {"{}", "\n", ""},
      {std::string_view(big).substr(0, 1 << 20), ",", "", std::string_view(big).substr(1 << 20)},
  };
  for (bool limited : {false, true}) {
    for (const auto& pieces : cases) {
      std::string body;
      for (std::string_view p : pieces) body += p;
      SocketPair pair(SocketPair::Tcp{});
      if (limited) set_send_limit(pair.server, 5000ms);
      std::string got;
      std::thread client([&] { got = pair.received_by_client(); });
      EXPECT_TRUE(send_response(pair.server, 200, std::span<const std::string_view>(pieces)));
      pair.close_server();
      client.join();
      const bool owes = body.empty() || body.back() != '\n';
      EXPECT_EQ(got, expected("HTTP/1.1 200 OK", body.size() + owes, body + (owes ? "\n" : "")))
          << "limited " << limited << ", pieces " << pieces.size() << ", body " << body.size();
    }
  }
  SocketPair pair;
  const std::vector<std::string_view> too_many(17, "x");
  EXPECT_EQ(send_response(pair.server, 200, std::span<const std::string_view>(too_many)).error(),
            ErrorCode::InvalidArgument);
}

TEST(SendResponse, SendLimitBeyondTheClockIsNoLimit) {
  SocketPair pair(SocketPair::Tcp{});
  // Over 30,000 years: its end lies past what the clock can count in nanoseconds.
  timeval tv{static_cast<time_t>(1'000'000'000'000), 0};
  ASSERT_EQ(setsockopt(pair.server, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv), 0);
  EXPECT_TRUE(send_response(pair.server, 200, "{}"));
  EXPECT_EQ(pair.received(), expected("HTTP/1.1 200 OK", 3, "{}\n"));
}

TEST(SendResponse, SendLimitBoundsTheWholeResponseNotEachWrite) {
  ignore_sigpipe();
  SocketPair pair(SocketPair::Tcp{});
  set_send_limit(pair.server, 300ms);
  std::atomic<bool> stop{false};
  std::atomic<std::size_t> taken{0};
  // Takes a little every few milliseconds: each wait for room ends well inside the limit,
  // so only a limit on the response as a whole stops this client.
  std::thread client([&] {
    char chunk[2048];
    const Clock::time_point until = Clock::now() + 6s;
    while (!stop && Clock::now() < until) {
      ssize_t n = ::recv(pair.client, chunk, sizeof chunk, MSG_DONTWAIT);
      if (n > 0) taken += static_cast<std::size_t>(n);
      if (n == 0) return;
      std::this_thread::sleep_for(10ms);
    }
    pair.close_client();
  });
  const std::string body(8 << 20, 'x');
  const Clock::time_point began = Clock::now();
  Status st = send_response(pair.server, 200, body);
  const Clock::duration took = Clock::now() - began;
  stop = true;
  client.join();
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error(), ErrorCode::ResponseCutOff) << error_name(st.error());
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 1500ms);
  EXPECT_GT(taken.load(), 0u);
}

}  // namespace
}  // namespace skerrow
