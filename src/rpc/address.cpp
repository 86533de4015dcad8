#include "rpc/address.h"

#include <arpa/inet.h>

#include <cstring>

namespace skerrow {

Result<Endpoint> split_address(std::string_view text) {
  // Whatever precedes "://" is never interpreted, so any scheme (or none) is accepted and a
  // ':' inside it cannot be mistaken for the port separator.
  std::string_view authority = text;
  if (std::size_t scheme_end = text.find("://"); scheme_end != std::string_view::npos) {
    authority = text.substr(scheme_end + 3);
  }

  std::size_t colon = authority.rfind(':');
  // The colons of an IPv6 address in brackets are its own.
  if (const std::size_t close = authority.rfind(']');
      !authority.empty() && authority.front() == '[' && close != std::string_view::npos &&
      (colon == std::string_view::npos || colon < close)) {
    colon = std::string_view::npos;
    if (close + 1 != authority.size()) return fail(ErrorCode::InvalidPort);
  }
  if (colon == std::string_view::npos) return Endpoint{authority, kDefaultPort};

  std::string_view port_text = authority.substr(colon + 1);
  if (port_text.empty()) return fail(ErrorCode::InvalidPort);
  auto port = parse_port(port_text);
  if (!port) return fail(ErrorCode::InvalidPort);
  return Endpoint{authority.substr(0, colon), *port};
}

Result<std::uint16_t> parse_port(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() == '_' || text.back() == '_') return fail(ErrorCode::InvalidPort);

  std::uint32_t value = 0;
  for (char c : text) {
    if (c == '_') continue;
    if (c < '0' || c > '9') return fail(ErrorCode::InvalidPort);
    // A minus sign is tolerated only in front of a zero value.
    if (negative && c != '0') return fail(ErrorCode::InvalidPort);
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 65535) return fail(ErrorCode::InvalidPort);
  }
  return static_cast<std::uint16_t>(value);
}

Result<sockaddr_in> parse_ipv4(std::string_view host, std::uint16_t port) {
  std::uint8_t octets[4] = {};
  std::size_t index = 0;
  unsigned current = 0;
  bool saw_digit = false;

  for (char c : host) {
    if (c == '.') {
      if (!saw_digit) return fail(ErrorCode::InvalidCharacter);
      if (index == 3) return fail(ErrorCode::InvalidEnd);
      octets[index++] = static_cast<std::uint8_t>(current);
      current = 0;
      saw_digit = false;
    } else if (c >= '0' && c <= '9') {
      // "0" is an octet of its own; "01" would read as octal elsewhere, so it is refused.
      if (saw_digit && current == 0) return fail(ErrorCode::NonCanonical);
      current = current * 10 + static_cast<unsigned>(c - '0');
      if (current > 255) return fail(ErrorCode::Overflow);
      saw_digit = true;
    } else {
      return fail(ErrorCode::InvalidCharacter);
    }
  }
  if (index != 3 || !saw_digit) return fail(ErrorCode::Incomplete);
  octets[3] = static_cast<std::uint8_t>(current);

  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  std::memcpy(&address.sin_addr.s_addr, octets, sizeof octets);
  return address;
}

Result<SocketAddress> parse_listen_host(std::string_view host, std::uint16_t port) {
  if (host.empty() || host.front() != '[') {
    auto ipv4 = parse_ipv4(host, port);
    if (!ipv4) return fail(ipv4.error());
    return SocketAddress::of(*ipv4);
  }
  // INET6_ADDRSTRLEN holds the longest form, with its terminator.
  char text[INET6_ADDRSTRLEN];
  if (host.size() < 3 || host.back() != ']' || host.size() - 2 >= sizeof text) return fail(ErrorCode::InvalidCharacter);
  std::memcpy(text, host.data() + 1, host.size() - 2);
  text[host.size() - 2] = '\0';
  sockaddr_in6 ipv6;
  std::memset(&ipv6, 0, sizeof ipv6);
  if (::inet_pton(AF_INET6, text, &ipv6.sin6_addr) != 1) return fail(ErrorCode::InvalidCharacter);
  ipv6.sin6_family = AF_INET6;
  ipv6.sin6_port = htons(port);
  return SocketAddress::of(ipv6);
}

}  // namespace skerrow
