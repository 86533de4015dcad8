// The listening socket the pool connects to.
#pragma once

#include <string_view>

#include "error/error.h"
#include "rpc/address.h"

namespace skerrow {

inline constexpr int kListenBacklog = 128;

struct Listener {
  int fd = -1;
  Endpoint address;       // host as written in the "listen" text (a view into it), and port
  bool loopback = false;  // the host is in 127.0.0.0/8 or ::1: only this machine can connect
};

// Opens a listening socket for the "listen" text ("[scheme://]a.b.c.d[:port]", or an IPv6
// address in brackets such as "[::1]:8332"; port 8332 when absent) with SO_REUSEADDR and a backlog of 128, and logs "HTTP JSON-RPC proxy
// listening on <host>:<port>". The socket is non-blocking, so accepting can stop at an empty
// backlog; accepted sockets do not inherit that. The caller owns the returned descriptor.
// Errors: InvalidListenAddress (after logging "invalid listen address: <text>"), the socket
// table, the SO_REUSEADDR table, InvalidCharacter/InvalidEnd/NonCanonical/Overflow/Incomplete
// (a host that is not a dotted IPv4 address nor an IPv6 one in brackets), the bind and listen tables, Unexpected.
Result<Listener> open_listener(std::string_view listen);

// Reads the "listen" text as open_listener does, with the same errors and line, but opens
// nothing: a configuration check.
Status check_listen(std::string_view listen);

}  // namespace skerrow
