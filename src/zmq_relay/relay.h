// The hashblock relay: SUB sockets on every configured "zmq_hashblock" endpoint, one PUB
// socket at "zmq_pub", and one aggregator thread that forwards every message unchanged.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <string_view>

#include "config/config.h"
#include "log/error.h"

namespace skerrow {

inline constexpr std::size_t kMaxSubscriptions = 33;
inline constexpr std::size_t kEndpointBuffer = 256;
inline constexpr std::size_t kRelayPartBytes = 256;

struct RelayState {
  void* context = nullptr;
  void* publisher = nullptr;
  std::array<void*, kMaxSubscriptions> subscribers{};
  std::array<std::string_view, kMaxSubscriptions> labels{};
  std::size_t count = 0;
};

// Called by the front end at start when "zmq_pub" is configured: sets the relay up and starts
// the aggregator thread, logging the front end's "continuing without ZMQ" lines on failure
// (sockets closed, context destroyed). Never fails the proxy. A notification relayed from an
// aux chain's subscriber sets *aux_refresh_needed (when not null), so the next
// getblocktemplate carries fresh aux work.
void start_relay(RelayState& state, const Config& config, std::atomic<bool>* aux_refresh_needed);

}  // namespace skerrow
