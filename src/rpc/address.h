// Address texts: "[scheme://]host[:port]" split into host and port, and numeric hosts: dotted
// IPv4, or IPv6 in brackets ("[::1]:8332").
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string_view>

#include "error/error.h"
#include "platform/socket.h"

namespace skerrow {

inline constexpr std::uint16_t kDefaultPort = 8332;

struct Endpoint {
  std::string_view host;  // a view into the address text; may be empty
  std::uint16_t port = kDefaultPort;
};

// A daemon to call: where it listens and its RPC credentials. An empty user means no
// Authorization header is sent.
struct ChainEndpoint {
  Endpoint endpoint;
  std::string_view user;
  std::string_view pass;
};

// Whether two daemons are called at the same place with the same credentials.
inline bool same_daemon(const ChainEndpoint& a, const ChainEndpoint& b) {
  return a.endpoint.host == b.endpoint.host && a.endpoint.port == b.endpoint.port && a.user == b.user &&
         a.pass == b.pass;
}

// Splits an address text. Everything up to and including the first "://" is skipped; the
// last ':' of the rest separates host and port (8332 when there is none), except inside a
// host in brackets, which is an IPv6 address and keeps its brackets ("[::1]", as a Host header
// and the log write it). Pure; the host refers into `text`. Errors: InvalidPort.
Result<Endpoint> split_address(std::string_view text);

// Reads a port text: optional '+' (or '-' followed only by zeros), digits with inner '_'
// separators, at most 65535. Errors: InvalidPort.
Result<std::uint16_t> parse_port(std::string_view text);

// Reads a dotted IPv4 host (exactly four canonical octets) into a socket address with the
// port in network byte order. Errors: InvalidCharacter, InvalidEnd, NonCanonical, Overflow,
// Incomplete.
Result<sockaddr_in> parse_ipv4(std::string_view host, std::uint16_t port);

// A host to listen on: dotted IPv4 as parse_ipv4 reads it, or an IPv6 address in brackets.
// Errors: parse_ipv4's; InvalidCharacter for brackets around something else.
Result<SocketAddress> parse_listen_host(std::string_view host, std::uint16_t port);

}  // namespace skerrow
