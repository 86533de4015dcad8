#include "zmq_relay/forward.h"

#include <algorithm>
#include <cstdint>

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

void forward_ready(const PartCalls& calls, const RelayState& state, const zmq_pollitem_t* items,
                   const AuxBlockListener* listener, PartBuffer buffer) {
  for (std::size_t i = 0; i < state.count; ++i) {
    if ((items[i].revents & ZMQ_POLLIN) == 0) continue;
    std::size_t parts = forward_message(calls, state.subscribers[i], state.publisher, buffer);
    if (parts == 0) continue;
    log_line(LogLevel::info, LogScope::zmq,
             {"hashblock from ", state.labels[i], " (", parts, " parts forwarded)"});
    metrics::zmq_relayed(state.labels[i]);
    // A new aux block makes the aux work in the templates stale.
    if (i >= state.first_aux && listener != nullptr && listener->notify != nullptr) {
      listener->notify(listener->context, state.aux_chain[i]);
    }
  }
}

}  // namespace skerrow
