// The hashblock relay: SUB sockets on every configured "zmq_hashblock" endpoint, one PUB
// socket at "zmq_pub", and one aggregator thread that forwards every message unchanged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "config/config.h"
#include "error/error.h"

namespace skerrow {

// The parent and every aux chain, each with its main node and up to kMaxBackups backups.
inline constexpr std::size_t kMaxChainsRelayed = kMaxAuxChains + 1;
inline constexpr std::size_t kMaxSubscriptions = kMaxChainsRelayed * (kMaxBackups + 1);
// A chain with several nodes relays a block hash once: a hash relayed from one of its nodes is
// not relayed again from another within this time.
inline constexpr std::int64_t kSeenHashNs = 60'000'000'000;
inline constexpr std::size_t kSeenHashesKept = 16;
inline constexpr std::size_t kEndpointBuffer = 256;   // an endpoint has at most 255 bytes
inline constexpr std::size_t kRelayPartBytes = 256;   // longer parts are forwarded cut
inline constexpr std::string_view kParentLabel = "parent";
inline constexpr std::string_view kHashblockTopic = "hashblock";

// The block hashes a chain with several nodes relayed lately, with the node each came from.
struct SeenHash {
  std::array<std::byte, kRelayPartBytes> hash{};
  std::size_t size = 0;
  std::size_t node = 0;
  std::int64_t at_ns = 0;
  bool used = false;
};
struct SeenHashes {
  std::array<SeenHash, kSeenHashesKept> entries{};
  std::size_t next = 0;
};

// All handles are libzmq's opaque pointers. After set-up, only the aggregator thread touches
// the sockets. Lives (with the Config the labels point into) until the process ends.
struct RelayState {
  void* context = nullptr;
  void* publisher = nullptr;
  std::array<void*, kMaxSubscriptions> subscribers{};
  std::array<std::string_view, kMaxSubscriptions> labels{};  // views into the configuration
  std::size_t count = 0;
  // Subscribers from this index on belong to aux chains (0 when the parent has none). Kept
  // apart from the labels because an aux chain may well be called "parent".
  std::size_t first_aux = 0;
  // Every subscriber's chain (0 the parent, i + 1 aux chain i) and node position in it, and
  // whether that chain has more than one subscriber, whose hashes are then relayed once.
  std::array<std::size_t, kMaxSubscriptions> chain{};
  std::array<std::size_t, kMaxSubscriptions> node{};
  std::array<bool, kMaxSubscriptions> deduplicated{};
  std::array<SeenHashes, kMaxChainsRelayed> seen{};
  std::int64_t (*clock_ns)() = nullptr;  // steady clock nanoseconds; nullptr: the system's
};

// Told of every notification relayed from an aux chain, with the chain's name (by name, as a
// reload may move chains about); called on the aggregator thread.
struct AuxBlockListener {
  void (*notify)(void* context, std::string_view chain_id) = nullptr;
  void* context = nullptr;
};

// Adds a SUB socket connected to `endpoint` and subscribed to "hashblock", stored at index
// `count` with `label`. REQUIRES: state.context is a live context. Logs its own lines.
// Errors: TooManySubscriptions (33 already), ZmqSocketFailed, EndpointTooLong (256 bytes or
// more), ZmqConnectFailed (also for an endpoint holding a zero byte, which ZeroMQ would read
// as a shorter endpoint). On failure nothing is added and no socket is left open.
Status add_subscription(RelayState& state, std::string_view endpoint, std::string_view label);

// Creates the context, binds the publisher at `config.zmq_pub` and subscribes to the
// parent's and then every aux chain's "zmq_hashblock" (each chain's main node, then its
// backups in order), stopping at the first failure.
// REQUIRES: config.zmq_pub is set; `state` is empty. Logs its own zmq lines. On failure the
// state keeps whatever was created; release it with release_relay.
// Errors: ZmqContextFailed, ZmqSocketFailed, EndpointTooLong, ZmqBindFailed,
// ZmqConnectFailed, TooManySubscriptions.
Status setup_relay(RelayState& state, const Config& config);

// Closes every socket, destroys the context and empties `state`. Pending messages are
// discarded, so this never waits on a peer. REQUIRES: no aggregator thread uses `state`.
void release_relay(RelayState& state);

// The aggregator thread's body: returns at once (with its warning) when there are no
// subscriptions, otherwise polls and forwards forever. A message relayed from an aux chain's
// subscriber is told to `listener` when it is not null.
void run_aggregator(RelayState& state, const AuxBlockListener* listener);

// Called by the front end at start. Without "zmq_pub" it does nothing and calls no ZeroMQ
// function. Otherwise it sets the relay up and starts the detached aggregator thread; on
// failure it logs the front end's "continuing without ZMQ" line and releases everything, and
// the proxy runs on without a relay. Never fails the proxy.
// REQUIRES: `listener`, when given, lives until the process ends.
void start_relay(RelayState& state, const Config& config, const AuxBlockListener* listener);

}  // namespace skerrow
