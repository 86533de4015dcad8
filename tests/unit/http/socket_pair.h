// A connected pair of stream sockets standing in for a client connection.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace skerrow::test {

struct SocketPair {
  int server = -1;  // the side the code under test uses
  int client = -1;  // the side the test plays the client on

  SocketPair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    server = fds[0];
    client = fds[1];
  }
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;
  ~SocketPair() {
    close_server();
    close_client();
  }
  void close_server() {
    if (server >= 0) ::close(server);
    server = -1;
  }
  void close_client() {
    if (client >= 0) ::close(client);
    client = -1;
  }
  void send(std::string_view bytes) const {
    ASSERT_EQ(::write(client, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void finish_sending() const { ::shutdown(client, SHUT_WR); }

  // Everything the code under test wrote, once it has closed its side.
  std::string received() {
    close_server();
    std::string out;
    char chunk[65536];
    for (ssize_t n; (n = ::read(client, chunk, sizeof chunk)) > 0;) out.append(chunk, n);
    return out;
  }
};

}  // namespace skerrow::test
