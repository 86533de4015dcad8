// Moving one multi-part message from a subscriber to the publisher, part by part.
#pragma once

#include <zmq.h>

#include <atomic>
#include <cstddef>
#include <span>

#include "zmq_relay/relay.h"

namespace skerrow {

// The ZeroMQ calls a forward makes, with libzmq's own signatures. Production uses
// zmq_part_calls(); tests drive the same logic from a scripted source.
struct PartCalls {
  int (*recv)(void* socket, void* buffer, std::size_t length, int flags);
  int (*getsockopt)(void* socket, int option, void* value, std::size_t* length);
  int (*send)(void* socket, const void* buffer, std::size_t length, int flags);
};

const PartCalls& zmq_part_calls();

using PartBuffer = std::span<std::byte, kRelayPartBytes>;

// Forwards one message from `subscriber` to `publisher`: every part in order, SNDMORE on each
// part that had more parts after it, each cut to 256 bytes. Returns the number of parts
// forwarded (0 when the first receive failed; nothing was sent then). When a later receive
// fails, the outgoing message is closed with an empty final part. Send results are ignored.
std::size_t forward_message(const PartCalls& calls, void* subscriber, void* publisher,
                            PartBuffer buffer);

// One pass over the results of a poll: for every item (in subscriber order) whose revents hold
// ZMQ_POLLIN, forwards one message (from a chain with several subscribers, held whole and
// dropped when another node of the chain relayed its hash within kSeenHashNs) and, when at least one part went out, logs
// "hashblock from <label> (<n> parts forwarded)" and, for an aux chain's subscriber, tells
// `listener` (when not null) which chain it was. REQUIRES: items[i].socket is
// state.subscribers[i] for i < state.count.
void forward_ready(const PartCalls& calls, RelayState& state, const zmq_pollitem_t* items,
                   const AuxBlockListener* listener, PartBuffer buffer);

}  // namespace skerrow
