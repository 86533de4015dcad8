#include "rpc/address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>

namespace skerrow {
namespace {

struct SplitCase {
  std::string_view text;
  std::string_view host;
  std::uint16_t port;
};

TEST(SplitAddress, SeparatesHostAndPort) {
  const SplitCase cases[] = {
      {"scheme://127.0.0.1:8332", "127.0.0.1", 8332},
      {"127.0.0.1:443", "127.0.0.1", 443},
      {"node1", "node1", 8332},
      {"abc://h:1", "h", 1},
      {"://h:1", "h", 1},
      {"http://node:9332", "node", 9332},
      {":8332", "", 8332},
      {"a:b:9", "a:b", 9},
      {"h:+8332", "h", 8332},
      {"h:8_332", "h", 8332},
      {"h:-0", "h", 0},
      {"h:0", "h", 0},
      {"h:65535", "h", 65535},
      {"", "", 8332},
      {"host/", "host/", 8332},               // a slash after a bare host stays in the host
      {"[::1]:8332", "[::1]", 8332},         // IPv6 in brackets, which stay in the host
      {"http://[::1]", "[::1]", 8332},       // ... whose colons are never the separator
      {"[fe80::1:2]:0", "[fe80::1:2]", 0},
      {"x:y://h", "h", 8332},                // the ':' of the scheme is never the separator
      {"a://b://c:5", "b://c", 5},           // only the first "://" ends the scheme
      {" h ", " h ", 8332},                  // blanks are not trimmed
  };
  for (const auto& c : cases) {
    auto result = split_address(c.text);
    ASSERT_TRUE(result.has_value()) << c.text;
    EXPECT_EQ(result->host, c.host) << c.text;
    EXPECT_EQ(result->port, c.port) << c.text;
  }
}

TEST(SplitAddress, HostIsAViewIntoTheText) {
  std::string text = "http://daemon.example:18332";
  auto result = split_address(text);
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->host.data(), text.data() + 7);
  EXPECT_EQ(result->host.size(), 14u);
}

TEST(SplitAddress, RejectsUnreadablePorts) {
  for (std::string_view text : {"h:", "h:65536", "h:abc", "h:8332/", "h:_8332", "h:8332_", "h:-1",
                                "h:-01", "h:+", "h:-", "h: 1", "h:1 ", "http://h:", "h:99999999999",
                                "h:0x10", "h:+-1", "h:++1", "[::1]x", "[::1]:"}) {
    auto result = split_address(text);
    ASSERT_FALSE(result.has_value()) << text;
    EXPECT_EQ(result.error(), ErrorCode::InvalidPort) << text;
  }
}

TEST(ParsePort, SignsSeparatorsAndLimits) {
  for (auto [text, port] : {std::pair<std::string_view, std::uint16_t>{"0", 0}, {"-0", 0}, {"-0_0", 0}, {"-000", 0},
                            {"+0", 0}, {"00008332", 8332}, {"6_5_5_3_5", 65535}, {"1__2", 12}, {"+65535", 65535}}) {
    EXPECT_EQ(parse_port(text), port) << text;
  }

  for (std::string_view text : {"", "+", "-", "_", "_1", "1_", "+_1", "-10", "65536", "70000",
                                "4294967297", "18446744073709551617", "1a", "١"}) {
    auto result = parse_port(text);
    ASSERT_FALSE(result.has_value()) << text;
    EXPECT_EQ(result.error(), ErrorCode::InvalidPort) << text;
  }
}

std::string dotted(const sockaddr_in& address) {
  char buffer[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address.sin_addr, buffer, sizeof buffer);
  return buffer;
}

TEST(ParseIpv4, AcceptsCanonicalDottedQuads) {
  for (auto [host, port] : {std::pair<std::string_view, std::uint16_t>{"0.0.0.0", 8332}, {"127.0.0.1", 1},
                            {"255.255.255.255", 65535}, {"10.0.200.9", 0}}) {
    auto address = parse_ipv4(host, port);
    ASSERT_TRUE(address.has_value()) << host;
    EXPECT_EQ(address->sin_family, AF_INET) << host;
    EXPECT_EQ(dotted(*address), host);
    EXPECT_EQ(ntohs(address->sin_port), port) << host;
  }
  // Network byte order, the high byte first in memory, for the address and the port alike.
  auto loopback = parse_ipv4("127.0.0.1", 1);
  ASSERT_TRUE(loopback.has_value());
  EXPECT_EQ(ntohl(loopback->sin_addr.s_addr), 0x7f000001u);
  auto port_bytes = reinterpret_cast<const unsigned char*>(&loopback->sin_port);
  EXPECT_EQ(port_bytes[0], 0);
  EXPECT_EQ(port_bytes[1], 1);
}

TEST(ParseListenHost, DottedIpv4OrIpv6InBrackets) {
  struct Case {
    std::string_view host;
    int family;  // 0: refused with InvalidCharacter
    bool loopback;
  };
  const Case cases[] = {
      {"[::1]", AF_INET6, true},           {"[::]", AF_INET6, false},
      {"[::ffff:127.0.0.2]", AF_INET6, true}, {"[2001:db8::7]", AF_INET6, false},
      {"127.0.0.1", AF_INET, true},        {"10.0.0.1", AF_INET, false},
      {"[::1", 0, false},                  {"[]", 0, false},
      {"[1.2.3.4]", 0, false},             {"[::g]", 0, false},
      {"::1", 0, false},                   {"localhost", 0, false},
  };
  for (const Case& c : cases) {
    auto address = parse_listen_host(c.host, 8333);
    if (c.family == 0) {
      ASSERT_FALSE(address.has_value()) << c.host;
      EXPECT_EQ(address.error(), ErrorCode::InvalidCharacter) << c.host;
      continue;
    }
    ASSERT_TRUE(address.has_value()) << c.host;
    EXPECT_EQ(address->family(), c.family) << c.host;
    EXPECT_EQ(address->port(), 8333) << c.host;
    EXPECT_EQ(address->loopback(), c.loopback) << c.host;
  }
}

TEST(ParseIpv4, NamesEachKindOfMalformedHost) {
  struct Case {
    std::string_view host;
    ErrorCode error;
  };
  const Case cases[] = {
      {"localhost", ErrorCode::InvalidCharacter},
      {"1.2.3.a", ErrorCode::InvalidCharacter},
      {"1.2.3.4 ", ErrorCode::InvalidCharacter},
      {".1.2.3", ErrorCode::InvalidCharacter},
      {"1..2.3", ErrorCode::InvalidCharacter},
      {"-1.2.3.4", ErrorCode::InvalidCharacter},
      {"127.0.0.01", ErrorCode::NonCanonical},
      {"00.1.2.3", ErrorCode::NonCanonical},
      {"1.007.2.3", ErrorCode::NonCanonical},
      {"256.0.0.1", ErrorCode::Overflow},
      {"1.2.3.1000", ErrorCode::Overflow},
      {"1.2.3.99999999999", ErrorCode::Overflow},
      {"1.2.3.4.5", ErrorCode::InvalidEnd},
      {"1.2.3.4.", ErrorCode::InvalidEnd},
      {"1.2.3", ErrorCode::Incomplete},
      {"1.2.3.", ErrorCode::Incomplete},
      {"", ErrorCode::Incomplete},
      {"1", ErrorCode::Incomplete},
  };
  for (const auto& c : cases) {
    auto result = parse_ipv4(c.host, 8332);
    ASSERT_FALSE(result.has_value()) << c.host;
    EXPECT_EQ(result.error(), c.error) << c.host << " gave " << error_name(result.error());
  }
}

}  // namespace
}  // namespace skerrow
