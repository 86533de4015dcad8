#include "http/response.h"

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/socket_pair.h"
#include "platform/deadline.h"
#include "platform/nonblocking_io.h"

namespace skerrow {
namespace {

using test::SocketPair;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string expected(std::string_view status_line, std::size_t length, std::string_view rest) {
  return std::string(status_line) + "\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(length) + "\r\nConnection: close\r\n\r\n" + std::string(rest);
}

// Writes the whole reply as the event loop does: what the socket takes, then a wait for room.
// Bounded, so a writer that never finishes fails the test instead of hanging it.
Status write_all(int fd, Reply& reply) {
  const Deadline deadline = Deadline::after(10000);
  for (;;) {
    auto done = reply.write_some(fd);
    if (!done) return fail(done.error());
    if (*done) return {};
    if (auto ready = wait_ready(fd, Readiness::writable, deadline); !ready) return ready;
  }
}

std::string sent(std::uint16_t status, std::string_view body) {
  SocketPair pair;
  Reply reply;
  EXPECT_TRUE(reply.set(status, body));
  EXPECT_TRUE(write_all(pair.server, reply));
  return pair.received();
}

TEST(Reply, StatusLineAndOwedNewline) {
  EXPECT_EQ(sent(200, "{\"result\":1}"), expected("HTTP/1.1 200 OK", 13, "{\"result\":1}\n"));
  // A body that already ends in a line feed is not given a second one.
  EXPECT_EQ(sent(200, "{}\n"), expected("HTTP/1.1 200 OK", 3, "{}\n"));
  EXPECT_EQ(sent(200, ""), expected("HTTP/1.1 200 OK", 1, "\n"));
  EXPECT_EQ(sent(400, "{\"error\":\"empty body\"}"),
            expected("HTTP/1.1 400 Bad Request", 23, "{\"error\":\"empty body\"}\n"));
  EXPECT_EQ(sent(502, "x"), expected("HTTP/1.1 502 Bad Request", 2, "x\n"));
}

TEST(Reply, CopiedBodyOutlivesItsSource) {
  SocketPair pair;
  Reply reply;
  {
    std::string temporary = "{\"result\":true}";
    ASSERT_TRUE(reply.set_copy(200, temporary));
    temporary.assign(temporary.size(), '#');
  }
  ASSERT_TRUE(write_all(pair.server, reply));
  EXPECT_EQ(pair.received(), expected("HTTP/1.1 200 OK", 16, "{\"result\":true}\n"));
}

TEST(Reply, ClosedClientIsBrokenPipe) {
  SocketPair pair;
  pair.close_client();
  Reply reply;
  ASSERT_TRUE(reply.set(200, "{}"));
  Status st = write_all(pair.server, reply);
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error(), ErrorCode::BrokenPipe);
  EXPECT_FALSE(reply.started());
}

// Once part of a response is out, a failure says so whatever its cause: nothing else may be
// answered into the middle of the body.
TEST(Reply, ClientGoneMidBodyIsResponseCutOff) {
  const std::string body(8 << 20, 'x');
  SocketPair pair(SocketPair::Tcp{});
  std::size_t taken = 0;
  std::thread client([&] {
    char chunk[65536];
    const ssize_t n = ::read(pair.client, chunk, sizeof chunk);
    taken = n > 0 ? static_cast<std::size_t>(n) : 0;
    const linger reset{1, 0};  // a reset, so the writer's next call fails at once
    ::setsockopt(pair.client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    pair.close_client();
  });
  Reply reply;
  ASSERT_TRUE(reply.set(200, body));
  Status st = write_all(pair.server, reply);
  client.join();
  EXPECT_GT(taken, 0u);
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error(), ErrorCode::ResponseCutOff) << error_name(st.error());
}

// A body in pieces is the same response as the body in one: the length, the owed newline
// (decided by the last byte of the last non-empty piece) and every byte, also when the
// pieces are far larger than the socket takes at once and are written over many calls.
TEST(Reply, PiecesGiveTheBytesOfTheJoinedBody) {
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
  for (const auto& pieces : cases) {
    std::string body;
    for (std::string_view p : pieces) body += p;
    SocketPair pair(SocketPair::Tcp{});
    std::string got;
    std::thread client([&] { got = pair.received_by_client(); });
    Reply reply;
    ASSERT_TRUE(reply.set(200, std::span<const std::string_view>(pieces)));
    EXPECT_TRUE(write_all(pair.server, reply));
    pair.close_server();
    client.join();
    const bool owes = body.empty() || body.back() != '\n';
    EXPECT_EQ(got, expected("HTTP/1.1 200 OK", body.size() + owes, body + (owes ? "\n" : "")))
        << "pieces " << pieces.size() << ", body " << body.size();
  }
  Reply reply;
  const std::vector<std::string_view> too_many(17, "x");
  EXPECT_EQ(reply.set(200, std::span<const std::string_view>(too_many)).error(), ErrorCode::InvalidArgument);
}

}  // namespace
}  // namespace skerrow
