// A connected pair of stream sockets standing in for a client connection.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
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

  // A TCP connection over 127.0.0.1 instead, for flow control as a pool client has it.
  struct Tcp {};
  explicit SocketPair(Tcp) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), size), 0);
    EXPECT_EQ(::listen(listener, 1), 0);
    EXPECT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size), 0);
    client = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&address), size), 0);
    server = ::accept(listener, nullptr, nullptr);
    EXPECT_GE(server, 0);
    ::close(listener);
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
    return received_by_client();
  }

  // The same, for a client reading on its own thread while the server side still writes.
  std::string received_by_client() const {
    std::string out;
    char chunk[65536];
    for (ssize_t n; (n = ::read(client, chunk, sizeof chunk)) > 0;) out.append(chunk, static_cast<std::size_t>(n));
    return out;
  }
};

}  // namespace skerrow::test
