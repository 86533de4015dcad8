// Address texts: splitting into host and port (IPv6 hosts in brackets), reading port texts, and
// dotted IPv4 hosts.
// The IPv4 reader is held against the C library's inet_pton, which accepts exactly the
// canonical four-octet form the listener wants; ports against a reading of the rule itself.
#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "rpc/address.h"

namespace {

using skerrow::ErrorCode;
using skerrow::fuzz::lies_within;

// The port rule evaluated on the whole text at once: the digits, underscores removed, read
// as a number of unlimited size.
std::optional<std::uint16_t> reference_port(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() == '_' || text.back() == '_') return std::nullopt;
  std::string digits;
  for (char c : text) {
    if (c == '_') continue;
    if (c < '0' || c > '9') return std::nullopt;
    digits.push_back(c);
  }
  if (negative && digits.find_first_not_of('0') != std::string::npos) return std::nullopt;
  const std::size_t first = digits.find_first_not_of('0');
  if (first == std::string::npos) return 0;
  if (digits.size() - first > 5) return std::nullopt;
  const unsigned long value = std::stoul(digits.substr(first));
  if (value > 65535) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

void check_split(std::string_view text) {
  const auto endpoint = skerrow::split_address(text);
  const std::size_t scheme = text.find("://");
  const std::string_view authority = scheme == std::string_view::npos ? text : text.substr(scheme + 3);
  const std::size_t colon = authority.rfind(':');
  // An IPv6 host in brackets: no colon after its last ']', which must end the text.
  const std::size_t close = authority.rfind(']');
  if (!authority.empty() && authority.front() == '[' && close != std::string_view::npos &&
      (colon == std::string_view::npos || colon < close)) {
    if (close + 1 != authority.size()) {
      FUZZ_CHECK(!endpoint && endpoint.error() == ErrorCode::InvalidPort);
      return;
    }
    FUZZ_CHECK(endpoint && endpoint->host.data() == authority.data() && endpoint->host.size() == authority.size());
    FUZZ_CHECK(endpoint->port == skerrow::kDefaultPort);
    return;
  }
  if (!endpoint) {
    FUZZ_CHECK(endpoint.error() == ErrorCode::InvalidPort);
    FUZZ_CHECK(colon != std::string_view::npos);
    FUZZ_CHECK(!reference_port(authority.substr(colon + 1)));
    return;
  }
  FUZZ_CHECK(lies_within(endpoint->host, text));
  if (colon == std::string_view::npos) {
    FUZZ_CHECK(endpoint->host.data() == authority.data() && endpoint->host.size() == authority.size());
    FUZZ_CHECK(endpoint->port == skerrow::kDefaultPort);
  } else {
    FUZZ_CHECK(endpoint->host.data() == authority.data() && endpoint->host.size() == colon);
    FUZZ_CHECK(reference_port(authority.substr(colon + 1)) == endpoint->port);
  }
}

void check_ipv4(std::string_view host, std::uint16_t port) {
  const auto address = skerrow::parse_ipv4(host, port);
  const std::string terminated(host);
  in_addr expected{};
  // inet_pton stops at a zero byte, which the reader must refuse instead.
  const bool libc_ok = terminated.find('\0') == std::string::npos &&
                       ::inet_pton(AF_INET, terminated.c_str(), &expected) == 1;
  FUZZ_CHECK(address.has_value() == libc_ok);
  if (!address) {
    const ErrorCode e = address.error();
    FUZZ_CHECK(e == ErrorCode::InvalidCharacter || e == ErrorCode::InvalidEnd || e == ErrorCode::NonCanonical ||
               e == ErrorCode::Overflow || e == ErrorCode::Incomplete);
    return;
  }
  FUZZ_CHECK(address->sin_family == AF_INET);
  FUZZ_CHECK(address->sin_port == htons(port));
  FUZZ_CHECK(address->sin_addr.s_addr == expected.s_addr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<char> copy(data, data + size);
  const std::string_view text(copy.data(), copy.size());

  check_split(text);
  const auto port = skerrow::parse_port(text);
  const auto expected = reference_port(text);
  FUZZ_CHECK(port.has_value() == expected.has_value());
  if (port) FUZZ_CHECK(*port == *expected);
  if (!port) FUZZ_CHECK(port.error() == ErrorCode::InvalidPort);

  // The listener's way: the host of the split text, read as dotted IPv4.
  if (const auto endpoint = skerrow::split_address(text)) check_ipv4(endpoint->host, endpoint->port);
  check_ipv4(text, 8332);
  return 0;
}
