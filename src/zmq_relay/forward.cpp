#include "zmq_relay/forward.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "log/log.h"
#include "metrics/metrics.h"

namespace skerrow {

const PartCalls& zmq_part_calls() {
  static constexpr PartCalls calls{zmq_recv, zmq_getsockopt, zmq_send};
  return calls;
}

std::size_t forward_message(const PartCalls& calls, void* subscriber, void* publisher,
                            PartBuffer buffer) {
  std::size_t parts = 0;
  for (;;) {
    int received = calls.recv(subscriber, buffer.data(), buffer.size(), 0);
    if (received < 0) {
      // Every part already sent carried SNDMORE (that is why another receive was made), so
      // the outgoing message is still open. Closing it with an empty part keeps the next
      // notification from being glued onto this broken one at the subscribers' side.
      if (parts > 0) calls.send(publisher, buffer.data(), 0, 0);
      return parts;
    }

    std::int32_t more = 0;
    std::size_t more_size = sizeof(more);
    calls.getsockopt(subscriber, ZMQ_RCVMORE, &more, &more_size);

    // zmq_recv reports the part's full size even when it only stored the first 256 bytes.
    auto length = std::min(static_cast<std::size_t>(received), buffer.size());
    calls.send(publisher, buffer.data(), length, more != 0 ? ZMQ_SNDMORE : 0);
    ++parts;
    if (more == 0) return parts;
  }
}

namespace {

// The parts of one message held back until it is known whether it is relayed.
constexpr std::size_t kHeldParts = 4;
struct HeldMessage {
  std::array<std::array<std::byte, kRelayPartBytes>, kHeldParts> parts{};
  std::array<std::size_t, kHeldParts> sizes{};
  std::size_t count = 0;
};

// Receives a whole message; parts past kHeldParts are read and dropped (a hashblock
// notification has three). False when the first receive failed.
bool receive_message(const PartCalls& calls, void* subscriber, HeldMessage& message) {
  for (;;) {
    std::array<std::byte, kRelayPartBytes> spill;
    std::byte* into = message.count < kHeldParts ? message.parts[message.count].data() : spill.data();
    const int received = calls.recv(subscriber, into, kRelayPartBytes, 0);
    if (received < 0) return message.count > 0;
    std::int32_t more = 0;
    std::size_t more_size = sizeof(more);
    calls.getsockopt(subscriber, ZMQ_RCVMORE, &more, &more_size);
    if (message.count < kHeldParts) {
      message.sizes[message.count] = std::min(static_cast<std::size_t>(received), kRelayPartBytes);
      ++message.count;
    }
    if (more == 0) return true;
  }
}

std::int64_t system_clock_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Whether another node of the chain relayed `hash` within kSeenHashNs; when not, notes that
// `node` relays it now.
bool seen_from_another_node(SeenHashes& seen, std::span<const std::byte> hash, std::size_t node, std::int64_t now) {
  for (SeenHash& entry : seen.entries) {
    if (!entry.used || entry.size != hash.size() || now - entry.at_ns >= kSeenHashNs ||
        std::memcmp(entry.hash.data(), hash.data(), hash.size()) != 0) {
      continue;
    }
    if (entry.node != node) return true;
    entry.at_ns = now;
    return false;
  }
  SeenHash& entry = seen.entries[seen.next];
  std::memcpy(entry.hash.data(), hash.data(), hash.size());
  entry.size = hash.size();
  entry.node = node;
  entry.at_ns = now;
  entry.used = true;
  seen.next = (seen.next + 1) % kSeenHashesKept;
  return false;
}

// A message from a chain with several nodes: held whole, and relayed unless another node of
// the chain relayed its hash (the second part) lately. Returns the parts forwarded.
std::size_t forward_once(const PartCalls& calls, RelayState& state, std::size_t subscriber) {
  HeldMessage message;
  if (!receive_message(calls, state.subscribers[subscriber], message)) return 0;
  if (message.count >= 2) {
    const std::int64_t now = state.clock_ns != nullptr ? state.clock_ns() : system_clock_ns();
    const std::span<const std::byte> hash(message.parts[1].data(), message.sizes[1]);
    if (seen_from_another_node(state.seen[state.chain[subscriber]], hash, state.node[subscriber], now)) {
      log_line(LogLevel::info, LogScope::zmq,
               {"hashblock from ", state.labels[subscriber], " already relayed from another node"});
      return 0;
    }
  }
  for (std::size_t i = 0; i < message.count; ++i) {
    calls.send(state.publisher, message.parts[i].data(), message.sizes[i], i + 1 < message.count ? ZMQ_SNDMORE : 0);
  }
  return message.count;
}

}  // namespace

void forward_ready(const PartCalls& calls, RelayState& state, const zmq_pollitem_t* items,
                   const AuxBlockListener* listener, PartBuffer buffer) {
  for (std::size_t i = 0; i < state.count; ++i) {
    if ((items[i].revents & ZMQ_POLLIN) == 0) continue;
    std::size_t parts = state.deduplicated[i] ? forward_once(calls, state, i)
                                              : forward_message(calls, state.subscribers[i], state.publisher, buffer);
    if (parts == 0) continue;
    log_line(LogLevel::info, LogScope::zmq,
             {"hashblock from ", state.labels[i], " (", parts, " parts forwarded)"});
    metrics::zmq_relayed(state.labels[i]);
    // A new aux block makes the aux work in the templates stale.
    if (i >= state.first_aux && listener != nullptr && listener->notify != nullptr) {
      listener->notify(listener->context, state.labels[i]);
    }
  }
}

}  // namespace skerrow
