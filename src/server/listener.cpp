#include "server/listener.h"

#include "log/log.h"
#include "platform/socket.h"
#include "rpc/address.h"

namespace skerrow {

namespace {

struct ListenText {
  Endpoint address;
  SocketAddress socket;
};

Result<ListenText> read_listen(std::string_view listen) {
  auto address = split_address(listen);
  if (!address) {
    log_line(LogLevel::error, LogScope::http, {"invalid listen address: ", listen});
    return fail(ErrorCode::InvalidListenAddress);
  }
  auto socket = parse_listen_host(address->host, address->port);
  if (!socket) return fail(socket.error());
  return ListenText{*address, *socket};
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
  auto socket = listen_tcp(text->socket, kListenBacklog);
  if (!socket) return fail(socket.error());

  log_line(LogLevel::info, LogScope::http,
           {"HTTP JSON-RPC proxy listening on ", address->host, ":", address->port});
  return Listener{socket->release(), *address, text->socket.loopback()};
}

}  // namespace skerrow
