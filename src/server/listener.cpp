#include "server/listener.h"

#include <arpa/inet.h>

#include "log/log.h"
#include "platform/socket.h"
#include "rpc/address.h"

namespace skerrow {

namespace {

struct ListenText {
  Endpoint address;
  sockaddr_in ipv4;
};

Result<ListenText> read_listen(std::string_view listen) {
  auto address = split_address(listen);
  if (!address) {
    log_line(LogLevel::error, LogScope::http, {"invalid listen address: ", listen});
    return fail(ErrorCode::InvalidListenAddress);
  }
  auto ipv4 = parse_ipv4(address->host, address->port);
  if (!ipv4) return fail(ipv4.error());
  return ListenText{*address, *ipv4};
}

}  // namespace

Status check_listen(std::string_view listen) {
  auto text = read_listen(listen);
  if (!text) return fail(text.error());
  return {};
}

Result<Listener> open_listener(std::string_view listen) {
  auto text = read_listen(listen);
  if (!text) return fail(text.error());
  const Endpoint* address = &text->address;
  const sockaddr_in* ipv4 = &text->ipv4;
  auto socket = listen_tcp(*ipv4, kListenBacklog);
  if (!socket) return fail(socket.error());

  log_line(LogLevel::info, LogScope::http,
           {"HTTP JSON-RPC proxy listening on ", address->host, ":", address->port});
  const bool loopback = (ntohl(ipv4->sin_addr.s_addr) >> 24) == 127;
  return Listener{socket->release(), *address, loopback};
}

}  // namespace skerrow
