#include "zmq_relay/relay.h"

#include <zmq.h>

#include <cstring>
#include <new>

#include "log/log.h"
#include "platform/thread.h"
#include "zmq_relay/forward.h"

namespace skerrow {
namespace {

using EndpointText = std::array<char, kEndpointBuffer>;

// ZeroMQ wants zero-terminated endpoints; the configuration's texts are not.
Status copy_endpoint(std::string_view text, EndpointText& out) {
  if (text.size() >= out.size()) return fail(ErrorCode::EndpointTooLong);
  std::memcpy(out.data(), text.data(), text.size());
  out[text.size()] = '\0';
  return {};
}

// A zero byte would silently shorten the endpoint once it is zero-terminated, so ZeroMQ
// would bind or connect somewhere other than what the configuration says.
bool holds_zero_byte(std::string_view text) { return text.find('\0') != std::string_view::npos; }

}  // namespace

Status add_subscription(RelayState& state, std::string_view endpoint, std::string_view label) {
  if (state.count >= kMaxSubscriptions) return fail(ErrorCode::TooManySubscriptions);

  void* socket = zmq_socket(state.context, ZMQ_SUB);
  if (socket == nullptr) {
    log_line(LogLevel::error, LogScope::zmq, {"zmq_socket(SUB) failed for ", label});
    return fail(ErrorCode::ZmqSocketFailed);
  }

  EndpointText text;
  if (auto copied = copy_endpoint(endpoint, text); !copied) {
    // Not stored yet, so release_relay would not see it, and zmq_ctx_destroy waits for
    // every open socket: left open, it would stall the front end's start for good.
    zmq_close(socket);
    return copied;
  }
  if (holds_zero_byte(endpoint) || zmq_connect(socket, text.data()) != 0) {
    log_line(LogLevel::error, LogScope::zmq,
             {"zmq_connect(", endpoint, ") failed for ", label});
    zmq_close(socket);
    return fail(ErrorCode::ZmqConnectFailed);
  }
  // Set after the connect; a failure here would only show as silence, like a daemon that
  // publishes nothing, so it is not treated as an error.
  zmq_setsockopt(socket, ZMQ_SUBSCRIBE, kHashblockTopic.data(), kHashblockTopic.size());

  state.subscribers[state.count] = socket;
  state.labels[state.count] = label;
  ++state.count;
  log_line(LogLevel::info, LogScope::zmq, {"ZMQ SUB connected to ", endpoint, " (", label, ")"});
  return {};
}

Status setup_relay(RelayState& state, const Config& config) {
  state.context = zmq_ctx_new();
  if (state.context == nullptr) {
    log_line(LogLevel::error, LogScope::zmq, {"zmq_ctx_new failed"});
    return fail(ErrorCode::ZmqContextFailed);
  }
  // Every socket of the context then takes IPv6 endpoints ("tcp://[::1]:28332") besides IPv4.
  (void)zmq_ctx_set(state.context, ZMQ_IPV6, 1);

  state.publisher = zmq_socket(state.context, ZMQ_PUB);
  if (state.publisher == nullptr) {
    log_line(LogLevel::error, LogScope::zmq, {"zmq_socket(PUB) failed"});
    return fail(ErrorCode::ZmqSocketFailed);
  }

  std::string_view pub = *config.zmq_pub;
  EndpointText text;
  if (auto copied = copy_endpoint(pub, text); !copied) return copied;
  if (holds_zero_byte(pub) || zmq_bind(state.publisher, text.data()) != 0) {
    log_line(LogLevel::error, LogScope::zmq, {"zmq_bind(", pub, ") failed"});
    return fail(ErrorCode::ZmqBindFailed);
  }
  log_line(LogLevel::info, LogScope::zmq, {"ZMQ PUB bound to ", pub});

  // Each chain's subscriptions: its main node's, then its backups'.
  auto subscribe_chain = [&](std::size_t chain, std::string_view label,
                             const std::optional<std::string_view>& main,
                             const std::vector<BackupDaemon>& backups) -> Status {
    const std::size_t first = state.count;
    for (std::size_t node = 0; node <= backups.size(); ++node) {
      const std::optional<std::string_view>& endpoint = node == 0 ? main : backups[node - 1].zmq_hashblock;
      if (!endpoint) continue;
      if (auto added = add_subscription(state, *endpoint, label); !added) return added;
      state.chain[state.count - 1] = chain;
      state.node[state.count - 1] = node;
    }
    for (std::size_t i = first; i < state.count; ++i) state.deduplicated[i] = state.count - first > 1;
    return {};
  };
  if (auto added = subscribe_chain(0, kParentLabel, config.parent_zmq_hashblock, config.parent_backups); !added) {
    return added;
  }
  state.first_aux = state.count;
  for (std::size_t i = 0; i < config.aux_chains.size(); ++i) {
    const AuxChainConfig& aux = config.aux_chains[i];
    if (auto added = subscribe_chain(i + 1, aux.chain_id, aux.zmq_hashblock, aux.backups); !added) return added;
  }
  return {};
}

void release_relay(RelayState& state) {
  for (std::size_t i = 0; i < state.count; ++i) zmq_close(state.subscribers[i]);
  if (state.publisher != nullptr) zmq_close(state.publisher);
  if (state.context != nullptr) zmq_ctx_destroy(state.context);
  state = RelayState{};
}

void run_aggregator(RelayState& state, const AuxBlockListener* listener) {
  if (state.count == 0) {
    log_line(LogLevel::warning, LogScope::zmq,
             {"no ZMQ subscriptions configured, aggregator exiting"});
    return;
  }

  std::array<zmq_pollitem_t, kMaxSubscriptions> items{};
  for (std::size_t i = 0; i < state.count; ++i) {
    items[i].socket = state.subscribers[i];
    items[i].fd = 0;
    items[i].events = ZMQ_POLLIN;
  }
  log_line(LogLevel::info, LogScope::zmq,
           {"aggregator polling ", state.count, " subscription(s)"});

  alignas(16) std::array<std::byte, kRelayPartBytes> buffer;
  const PartCalls& calls = zmq_part_calls();
  const int count = static_cast<int>(state.count);
  for (;;) {
    // An interrupted wait is simply issued again.
    if (zmq_poll(items.data(), count, -1) < 0) continue;
    forward_ready(calls, state, items.data(), listener, buffer);
  }
}

void start_relay(RelayState& state, const Config& config, const AuxBlockListener* listener) {
  if (!config.zmq_pub) return;

  if (auto set = setup_relay(state, config); !set) {
    log_line(LogLevel::error, LogScope::http,
             {"ZMQ aggregator init failed: ", set.error(), ", continuing without ZMQ"});
    release_relay(state);
    return;
  }

  ErrorCode spawn_error = ErrorCode::None;
  try {
    ThreadOptions options;
    options.stack_size = kThreadStackSize;
    options.guard_size = kThreadGuardSize;
    options.detached = true;
    auto started = start_thread(
        [&state, listener] { run_aggregator(state, listener); }, options);
    if (!started) spawn_error = started.error();
  } catch (const std::bad_alloc&) {
    spawn_error = ErrorCode::OutOfMemory;
  }
  if (spawn_error != ErrorCode::None) {
    log_line(LogLevel::error, LogScope::http,
             {"ZMQ thread spawn failed: ", spawn_error, ", continuing without ZMQ"});
    release_relay(state);
  }
}

}  // namespace skerrow
