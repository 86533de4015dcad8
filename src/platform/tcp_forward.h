// A TCP forwarder, for a server library that cannot listen on an address family itself: each
// connection accepted on one socket is joined to a new connection to another address, and
// bytes are copied both ways until either side is done.
#pragma once

#include <cstddef>
#include <cstdint>

#include "error/error.h"
#include "platform/socket.h"

namespace skerrow {

struct ForwardLimits {
  std::size_t max_connections = 64;  // joined at once; more are closed as they are accepted
  std::uint64_t idle_ms = 5000;      // a connection without a byte either way for this long is closed
};

// Takes `listener` (a listening socket, blocking or not) and accepts on it, on a thread of its
// own, for the rest of the process; each connection is served on a small detached thread.
// Errors: the thread start's.
Status start_tcp_forwarder(Descriptor listener, SocketAddress target, ForwardLimits limits = {});

}  // namespace skerrow
