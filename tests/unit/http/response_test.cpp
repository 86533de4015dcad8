#include "http/response.h"

#include <signal.h>

#include <string>

#include <gtest/gtest.h>

#include "socket_pair.h"

namespace skerrow {
namespace {

using test::SocketPair;

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
  // The program catches SIGPIPE; without that a write to a closed peer would end the test.
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigaction(SIGPIPE, &action, nullptr);
  SocketPair pair;
  pair.close_client();
  Status st = send_response(pair.server, 200, "{}");
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error(), ErrorCode::BrokenPipe);
}

}  // namespace
}  // namespace skerrow
