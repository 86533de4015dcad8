// Socket calls that never wait, and one bounded wait for readiness: the layer under the
// front end's connections and the daemon client. Errors carry the read and write table names
// of platform/io.h.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <span>

#include "error/error.h"
#include "platform/deadline.h"

namespace skerrow {

enum class Readiness : short { readable, writable };

// Waits until `fd` is ready for `wanted` (or reports an error or hang-up, which the next call
// on it then names), at most until `deadline`. Errors: ConnectionTimedOut when the deadline
// passed first, SystemResources or Unexpected when the wait itself failed.
Status wait_ready(int fd, Readiness wanted, const Deadline& deadline);

// One read that does not wait, whatever the descriptor's own mode: the count read, 0 at the
// end of the stream, WouldBlock when nothing is there yet; otherwise the read table.
Result<std::size_t> read_nonblocking(int fd, std::span<char> buffer);

// One gathered send that does not wait and raises no SIGPIPE (a peer that went away is
// BrokenPipe): drops the bytes sent from the front of `pieces` and returns their count, 0
// when the socket takes nothing now. Errors: the write table.
Result<std::size_t> write_nonblocking(int fd, std::span<iovec>& pieces);

}  // namespace skerrow
