#include "platform/tcp_forward.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>

#include "platform/deadline.h"
#include "platform/io.h"
#include "platform/thread.h"

namespace skerrow {
namespace {

constexpr std::size_t kForwardStack = 256 * 1024;
constexpr std::uint64_t kConnectMs = 2000;

std::atomic<std::size_t> joined{0};

// Copies what `from` has now into `to`; false once `from` is done or either side failed.
bool copy_some(int from, int to) {
  char buffer[16384];
  const ssize_t got = ::recv(from, buffer, sizeof buffer, MSG_DONTWAIT);
  if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  if (got == 0) return false;
  for (ssize_t sent = 0; sent < got;) {
    const ssize_t n = ::send(to, buffer + sent, static_cast<std::size_t>(got - sent), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        pollfd wait{to, POLLOUT, 0};
        if (::poll(&wait, 1, 1000) <= 0) return false;
        continue;
      }
      return false;
    }
    sent += n;
  }
  return true;
}

void join(Descriptor client, const SocketAddress& target, std::uint64_t idle_ms) {
  auto server = connect_tcp(target, Deadline::after(kConnectMs));
  if (!server) return;
  pollfd fds[2] = {{client.get(), POLLIN, 0}, {server->get(), POLLIN, 0}};
  for (;;) {
    const int ready = ::poll(fds, 2, static_cast<int>(idle_ms));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return;
    if (fds[0].revents != 0 && !copy_some(client.get(), server->get())) {
      // The client is done sending: let the server answer what it has.
      ::shutdown(server->get(), SHUT_WR);
      fds[0].fd = -1;
    }
    if (fds[1].revents != 0 && !copy_some(server->get(), client.get())) return;
  }
}

}  // namespace

Status start_tcp_forwarder(Descriptor listener, SocketAddress target, ForwardLimits limits) {
  const int fd = listener.release();
  auto started = start_thread(
      [fd, target, limits] {
        for (;;) {
          pollfd wait{fd, POLLIN, 0};
          (void)::poll(&wait, 1, -1);
          auto accepted = accept_nonblocking(fd);
          if (!accepted) {
            // Out of descriptors, say: the backlog stays readable, so wait instead of spinning.
            if (accepted.error() != ErrorCode::WouldBlock) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
          }
          Descriptor client(*accepted);
          if (joined.load(std::memory_order_relaxed) >= limits.max_connections) continue;
          joined.fetch_add(1, std::memory_order_relaxed);
          auto served = start_thread(
              [connection = std::move(client), target, idle = limits.idle_ms]() mutable {
                join(std::move(connection), target, idle);
                joined.fetch_sub(1, std::memory_order_relaxed);
              },
              ThreadOptions{kForwardStack, kThreadGuardSize, true});
          if (!served) joined.fetch_sub(1, std::memory_order_relaxed);
        }
      },
      ThreadOptions{kForwardStack, kThreadGuardSize, true});
  if (!started) {
    close_fd(fd);
    return fail(started.error());
  }
  return {};
}

}  // namespace skerrow
