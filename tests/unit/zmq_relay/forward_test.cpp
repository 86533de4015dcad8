// Part-by-part forwarding, driven by scripted subscribers so that receive failures in the
// middle of a message (which real sockets rarely produce on demand) can be exercised.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support.h"
#include "zmq_relay/forward.h"

namespace skerrow {
namespace {

struct ScriptedPart {
  std::string bytes;
  bool more = false;
  bool fail = false;  // the receive of this part fails
};

// A subscriber: hands out its parts in order, with zmq_recv's habit of reporting the full
// size of a part even when only the first `length` bytes were stored.
struct Source {
  std::vector<ScriptedPart> parts;
  std::size_t next = 0;
  bool last_more = false;
  int bad_option_calls = 0;
};

struct SentPart {
  std::string bytes;
  int flags;
};

struct Sink {
  std::vector<SentPart> sent;
};

int fake_recv(void* socket, void* buffer, std::size_t length, int flags) {
  auto* source = static_cast<Source*>(socket);
  if (flags != 0 || source->next >= source->parts.size()) return -1;
  const ScriptedPart& part = source->parts[source->next++];
  if (part.fail) return -1;
  std::memcpy(buffer, part.bytes.data(), std::min(length, part.bytes.size()));
  source->last_more = part.more;
  return static_cast<int>(part.bytes.size());
}

int fake_getsockopt(void* socket, int option, void* value, std::size_t* length) {
  auto* source = static_cast<Source*>(socket);
  // The caller must offer exactly a 4-byte integer, as libzmq expects for ZMQ_RCVMORE.
  if (option != ZMQ_RCVMORE || *length != sizeof(int)) {
    ++source->bad_option_calls;
    return -1;
  }
  int more = source->last_more ? 1 : 0;
  std::memcpy(value, &more, sizeof(more));
  return 0;
}

int fake_send(void* socket, const void* buffer, std::size_t length, int flags) {
  auto* sink = static_cast<Sink*>(socket);
  sink->sent.push_back({std::string(static_cast<const char*>(buffer), length), flags});
  return static_cast<int>(length);
}

constexpr PartCalls kFakeCalls{fake_recv, fake_getsockopt, fake_send};

std::string bytes_of(char seed, std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(static_cast<unsigned char>(seed) + i * 7);
  return s;
}

std::vector<ScriptedPart> notification(char seed) {
  return {{"hashblock", true}, {bytes_of(seed, 32), true}, {std::string("\x01\x00\x00\x00", 4), false}};
}

class Forward : public ::testing::Test {
 protected:
  std::size_t forward(Source& source) {
    return forward_message(kFakeCalls, &source, &sink, buffer);
  }
  std::array<std::byte, kRelayPartBytes> buffer{};
  Sink sink;
};

TEST_F(Forward, KeepsPartsAndStructureAndCutsLongParts) {
  std::string hash = bytes_of('a', 32);
  std::string big = bytes_of('x', 300);
  Source source{{{"hashblock", true},
                 {hash, true},
                 {"", true},
                 {bytes_of('z', 256), true},
                 {bytes_of('w', 257), true},
                 {big, false},
                 {"hashblock", false}}};  // the next message stays queued
  EXPECT_EQ(forward(source), 6u);
  EXPECT_EQ(source.next, 6u);
  EXPECT_EQ(source.bad_option_calls, 0);
  std::vector<std::string> bytes;
  std::vector<int> flags;
  for (const auto& part : sink.sent) {
    bytes.push_back(part.bytes);
    flags.push_back(part.flags);
  }
  EXPECT_EQ(bytes, (std::vector<std::string>{"hashblock", hash, "", bytes_of('z', 256),
                                             bytes_of('w', 257).substr(0, 256),
                                             big.substr(0, 256)}));
  EXPECT_EQ(flags, (std::vector<int>{ZMQ_SNDMORE, ZMQ_SNDMORE, ZMQ_SNDMORE, ZMQ_SNDMORE,
                                     ZMQ_SNDMORE, 0}));
}

TEST_F(Forward, ReceiveFailures) {
  Source first{{{"", false, true}}};
  EXPECT_EQ(forward(first), 0u);
  EXPECT_TRUE(sink.sent.empty());

  Source source{{{"hashblock", true}, {bytes_of('a', 32), true}, {"", false, true}}};
  EXPECT_EQ(forward(source), 2u);
  ASSERT_EQ(sink.sent.size(), 3u);
  EXPECT_EQ(sink.sent[0].flags, ZMQ_SNDMORE);
  EXPECT_EQ(sink.sent[1].flags, ZMQ_SNDMORE);
  // The terminator: empty and without SNDMORE, so what follows starts a new message.
  EXPECT_EQ(sink.sent[2].bytes, "");
  EXPECT_EQ(sink.sent[2].flags, 0);
}

// A relay state whose "sockets" are scripted sources and whose publisher is a sink.
struct ScriptedRelay {
  explicit ScriptedRelay(std::vector<std::string_view> labels, std::size_t first_aux) {
    sources.resize(labels.size());
    state.publisher = &sink;
    state.first_aux = first_aux;
    for (std::size_t i = 0; i < labels.size(); ++i) {
      state.subscribers[i] = &sources[i];
      state.labels[i] = labels[i];
      items[i].socket = &sources[i];
      items[i].events = ZMQ_POLLIN;
    }
    state.count = labels.size();
  }
  void ready(std::size_t i, std::vector<ScriptedPart> parts) {
    sources[i].parts = std::move(parts);
    items[i].revents = ZMQ_POLLIN;
  }
  void pass(std::vector<std::string>* told) {
    AuxBlockListener listener{[](void* context, std::string_view chain) {
                                static_cast<std::vector<std::string>*>(context)->emplace_back(chain);
                              },
                              told};
    forward_ready(kFakeCalls, state, items.data(), told ? &listener : nullptr, buffer);
  }

  std::vector<Source> sources;
  Sink sink;
  RelayState state;
  std::array<zmq_pollitem_t, kMaxSubscriptions> items{};
  std::array<std::byte, kRelayPartBytes> buffer{};
};

TEST(ForwardReady, OnePassForwardsEveryReadySubscriberInOrder) {
  ScriptedRelay relay({"parent", "dogecoin", "namecoin"}, 1);
  relay.ready(2, notification('n'));
  relay.ready(0, notification('p'));
  relay.sources[1].parts = notification('d');  // has data but the poll did not report it

  std::vector<std::string> refresh;
  testing::CapturedStderr captured;
  relay.pass(&refresh);
  captured.restore();

  ASSERT_EQ(relay.sink.sent.size(), 6u);
  EXPECT_EQ(relay.sink.sent[1].bytes, bytes_of('p', 32));
  EXPECT_EQ(relay.sink.sent[4].bytes, bytes_of('n', 32));
  EXPECT_EQ(relay.sources[1].next, 0u);
  EXPECT_EQ(captured.text(),
            "info(zmq): hashblock from parent (3 parts forwarded)\n"
            "info(zmq): hashblock from namecoin (3 parts forwarded)\n");
  EXPECT_EQ(refresh, std::vector<std::string>{"namecoin"});
}

TEST(ForwardReady, OnlyRelayedAuxNotificationsAskForARefresh) {
  std::vector<std::string> refresh;
  testing::CapturedStderr captured;

  ScriptedRelay parent_only({"parent", "dogecoin"}, 1);
  parent_only.ready(0, notification('p'));
  parent_only.pass(&refresh);
  EXPECT_TRUE(refresh.empty());

  // Nothing relayed from the aux chain: no refresh either.
  ScriptedRelay failed_aux({"parent", "dogecoin"}, 1);
  failed_aux.ready(1, {{"", false, true}});
  failed_aux.pass(&refresh);
  EXPECT_TRUE(refresh.empty());

  // An aux chain that happens to be called "parent" is still an aux chain.
  ScriptedRelay misleading({"parent"}, 0);
  misleading.ready(0, notification('q'));
  misleading.pass(&refresh);
  EXPECT_EQ(refresh.size(), 1u);

  // A broken aux message that still relayed parts counts as a notification.
  refresh.clear();
  ScriptedRelay partial({"dogecoin"}, 0);
  partial.ready(0, {{"hashblock", true}, {"", false, true}});
  partial.pass(&refresh);
  EXPECT_EQ(refresh.size(), 1u);

  // Without a flag to set, forwarding goes on all the same.
  ScriptedRelay no_flag({"dogecoin"}, 0);
  no_flag.ready(0, notification('r'));
  no_flag.pass(nullptr);
  EXPECT_EQ(no_flag.sink.sent.size(), 3u);

  captured.restore();
  EXPECT_EQ(captured.text(),
            "info(zmq): hashblock from parent (3 parts forwarded)\n"
            "info(zmq): hashblock from parent (3 parts forwarded)\n"
            "info(zmq): hashblock from dogecoin (1 parts forwarded)\n"
            "info(zmq): hashblock from dogecoin (3 parts forwarded)\n");
}

// A chain with a main node and a backup relays each block hash once: the same hash from the
// other node within a minute is dropped, a new hash or one a minute later goes out, and a
// chain with one node relays every message as it comes.
std::int64_t fake_now_ns = 0;

TEST(ForwardReady, ChainWithSeveralNodesRelaysEachHashOnce) {
  ScriptedRelay relay({"parent", "parent", "dogecoin"}, 2);
  relay.state.clock_ns = [] { return fake_now_ns; };
  for (std::size_t i : {0u, 1u}) {
    relay.state.deduplicated[i] = true;
    relay.state.node[i] = i;
  }
  relay.state.chain[2] = 1;
  struct Step {
    std::size_t subscriber;
    char hash;
    std::int64_t at_s;
    bool relayed;
  };
  const Step steps[] = {
      {0, 'a', 0, true},   {1, 'a', 1, false},  // the backup's copy of the same block
      {1, 'b', 2, true},   {0, 'b', 3, false},  // either node may be first
      {0, 'a', 4, true},                        // the same node again: a notification of its own
      {1, 'a', 64, true},                       // a minute after it was last relayed
      {2, 'a', 64, true},  {2, 'a', 65, true},  // one node only: everything as it comes
  };
  std::size_t expected_parts = 0;
  testing::CapturedStderr captured;
  for (const Step& step : steps) {
    fake_now_ns = step.at_s * 1'000'000'000;
    relay.ready(step.subscriber, notification(step.hash));
    relay.pass(nullptr);
    relay.items[step.subscriber].revents = 0;
    relay.sources[step.subscriber].next = 0;
    if (step.relayed) expected_parts += 3;
    ASSERT_EQ(relay.sink.sent.size(), expected_parts) << step.subscriber << ' ' << step.hash << ' ' << step.at_s;
  }
  captured.restore();
  // Held whole, a relayed message keeps its parts and their flags.
  EXPECT_EQ(relay.sink.sent[1].bytes, bytes_of('a', 32));
  EXPECT_EQ(relay.sink.sent[1].flags, ZMQ_SNDMORE);
  EXPECT_EQ(relay.sink.sent[2].flags, 0);
  EXPECT_NE(captured.text().find("info(zmq): hashblock from parent already relayed from another node\n"),
            std::string::npos);
}

}  // namespace
}  // namespace skerrow
