#include "http/request.h"

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/socket_pair.h"
#include "http/handler.h"
#include "platform/deadline.h"
#include "platform/nonblocking_io.h"

namespace skerrow {
namespace {

using test::SocketPair;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;


TEST(FindHeaderEnd, FirstBlankLineOfEitherForm) {
  EXPECT_EQ(find_header_end("GET / HTTP/1.1\r\nA: b\r\n\r\nbody"), (HeaderEnd{20, 4}));
  EXPECT_EQ(find_header_end("GET / HTTP/1.1\nA: b\n\nbody"), (HeaderEnd{19, 2}));
  // What follows the first blank line is body, whatever blank lines it holds of either form.
  EXPECT_EQ(find_header_end("POST /\n\n{\"a\":\r\n\r\n1}"), (HeaderEnd{6, 2}));
  EXPECT_EQ(find_header_end("POST /\r\n\r\n{\"a\":\n\n1}"), (HeaderEnd{6, 4}));
  // A line feed that ends a CRLF line followed by a bare one is a blank line too.
  EXPECT_EQ(find_header_end("POST /\r\nA: b\r\n\n{}\r\n\r\n"), (HeaderEnd{13, 2}));
  EXPECT_EQ(find_header_end("POST / HTTP/1.1\r\nHost: x\r\n"), std::nullopt);
  EXPECT_EQ(find_header_end("POST /\r\n\r"), std::nullopt);
  EXPECT_EQ(find_header_end(""), std::nullopt);
}

TEST(ContentLength, NumberRule) {
  EXPECT_EQ(parse_content_length("44"), 44u);
  EXPECT_EQ(parse_content_length("+5"), 5u);
  EXPECT_EQ(parse_content_length("5_0"), 50u);
  EXPECT_EQ(parse_content_length("-0"), 0u);
  EXPECT_EQ(parse_content_length("-0_0"), 0u);
  EXPECT_EQ(parse_content_length("18446744073709551615"), UINT64_MAX);
  for (const char* bad : {"", "-", "+", "-5", "5x", "_5", "5_", "++5", " 5",
                          "18446744073709551616", "99999999999999999999999"}) {
    EXPECT_EQ(parse_content_length(bad), std::nullopt) << '"' << bad << '"';
  }
}

TEST(ContentLength, HeaderLineMatching) {
  EXPECT_EQ(find_content_length("POST / HTTP/1.1\r\nHost: a\r\nCONTENT-LENGTH: 7"), 7u);
  EXPECT_EQ(find_content_length("POST /\r\ncontent-length:\t 9 \t"), 9u);
  EXPECT_EQ(find_content_length("POST /\nContent-Length : 5"), 5u);   // blank before colon
  EXPECT_EQ(find_content_length("POST /\nContent-Lengthy: 5"), 5u);   // longer name matches
  EXPECT_EQ(find_content_length("POST /\nContent-Len: 5"), std::nullopt);
  EXPECT_EQ(find_content_length("POST /\nContent-Length"), std::nullopt);
  // The first matching line decides, even when its value is unusable.
  EXPECT_EQ(find_content_length("POST /\nContent-Length: x\nContent-Length: 5"), std::nullopt);
  EXPECT_EQ(find_content_length("POST /\nContent-Length: 3\nContent-Length: 5"), 3u);
  // Only ASCII letters fold: a byte that merely differs by 0x20 elsewhere must not match.
  EXPECT_EQ(find_content_length("POST /\nContent\rLength: 5"), std::nullopt);
}

// Reads as the event loop does: whatever is there whenever the socket is readable, past the
// end of the header block, until the request is no longer waiting. Bounded, so a reader that
// never finishes fails instead of hanging.
struct Reader {
  explicit Reader(RequestLimits limits = {}) : request(limits) {}
  RequestReader request;
  std::optional<ReadState> read(int fd, std::chrono::milliseconds limit = 5000ms) {
    const Deadline deadline = Deadline::after(static_cast<std::uint64_t>(limit.count()));
    for (;;) {
      auto state = request.read_available(fd);
      if (!state) return std::nullopt;
      if (*state != ReadState::waiting && *state != ReadState::head) return *state;
      if (*state == ReadState::waiting && !wait_ready(fd, Readiness::readable, deadline)) {
        return std::nullopt;
      }
    }
  }
};

TEST(ReadRequest, WaitsForBodyAnnouncedByContentLength) {
  SocketPair pair;
  // The announced body's last byte comes on its own: a reader one byte short would stop
  // before it.
  std::thread client([&] {
    pair.send("POST / HTTP/1.1\r\nContent-Length: 11\r\n\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pair.send("{\"a\":12345");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pair.send("}extra");
  });
  Reader reader;
  ASSERT_EQ(reader.read(pair.server), ReadState::complete);  // the client never closes
  client.join();
  // Bytes past the announced length that came in the same read stay in the body.
  EXPECT_EQ(reader.request.body(), "{\"a\":12345}extra");
}

TEST(ReadRequest, BareBlankLineHoldsWhenTheBodyHoldsACrlfOne) {
  SocketPair pair;
  const std::string body = "{\"a\":\r\n\r\n1}";
  const std::string request =
      "POST /\nContent-Length: " + std::to_string(body.size()) + "\n\n" + body;
  // One byte per read, so the scan has to notice separators straddling reads; the client
  // never closes, so only the whole announced body ends the reading.
  std::thread client([&] {
    for (char c : request) {
      pair.send(std::string_view(&c, 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  Reader reader;
  ASSERT_EQ(reader.read(pair.server), ReadState::complete);
  client.join();
  ASSERT_TRUE(reader.request.header_end().has_value());
  EXPECT_EQ(*reader.request.header_end(), (HeaderEnd{request.size() - body.size() - 2, 2}));
  EXPECT_EQ(reader.request.filled(), request.size());
  EXPECT_EQ(reader.request.body(), body);
}

TEST(ReadRequest, ABodyShortOfItsContentLengthIsUnfinished) {
  SocketPair pair;
  pair.send("POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\n{\"method\":");
  pair.finish_sending();
  Reader reader;
  ASSERT_EQ(reader.read(pair.server), ReadState::unfinished);
  EXPECT_EQ(reader.request.body(), "{\"method\":");
}

// A request is read whole up to the limits and refused past them; the buffer grows with the
// bytes that arrive and never holds room for more than the announced body.
TEST(ReadRequest, RequestsAreWholeWithinTheLimitsAndRefusedPastThem) {
  const RequestLimits limits{256, 100000};
  const auto head = [](std::size_t length) {
    return "POST / HTTP/1.1\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
  };
  struct Case {
    std::string sent;
    ReadState expected;
    std::size_t capacity;  // the buffer's size at the end
  } cases[] = {
      {head(100000) + std::string(100000, 'x'), ReadState::complete, head(100000).size() + 100000},
      {head(5000) + std::string(5000, 'x'), ReadState::complete, head(5000).size() + 5000},
      // Refused once the header block is in, before any room is made for the body.
      {head(100001) + std::string(100001, 'x'), ReadState::too_large, 256},
      {"POST / HTTP/1.1\r\nX: " + std::string(300, 'a') + "\r\n\r\n{}", ReadState::too_large, 256},
      {"POST / HTTP/1.1\r\nX: " + std::string(220, 'a') + "\r\n\r\n{}", ReadState::complete, 256},
  };
  for (const Case& c : cases) {
    SocketPair pair(SocketPair::Tcp{});
    std::thread client([&] { (void)::send(pair.client, c.sent.data(), c.sent.size(), MSG_NOSIGNAL); });
    Reader reader(limits);
    EXPECT_EQ(reader.request.capacity(), 0u);  // an idle connection holds no buffer yet
    EXPECT_EQ(reader.read(pair.server), c.expected) << c.sent.substr(0, 40);
    EXPECT_EQ(reader.request.capacity(), c.capacity) << c.sent.substr(0, 40);
    if (c.expected == ReadState::complete) {
      EXPECT_TRUE(c.sent.ends_with(reader.request.body()));
    }
    ::shutdown(pair.server, SHUT_RDWR);
    client.join();
  }
}

TEST(ReadRequest, GrowthWaitsForRequestMemoryAndGivesItBack) {
  SocketPair pair(SocketPair::Tcp{});
  const std::string sent = "POST /\r\nContent-Length: 60000\r\n\r\n" + std::string(60000, 'x');
  std::thread client([&] { (void)::send(pair.client, sent.data(), sent.size(), MSG_NOSIGNAL); });
  RequestMemory memory(24000);
  ASSERT_TRUE(memory.take(4000));  // another request's share
  {
    Reader reader;
    reader.request.charge_to(&memory);
    // 4 KiB, then 16 KiB: the next step (64 KiB) does not fit beside the other request's share.
    ASSERT_EQ(reader.read(pair.server), ReadState::over_budget);
    EXPECT_EQ(reader.request.capacity(), 16384u);
    EXPECT_EQ(memory.used(), 4000u + 16384u);
    EXPECT_FALSE(memory.released_since_asked());
    memory.give(4000);
    EXPECT_TRUE(memory.released_since_asked());
    EXPECT_EQ(reader.read(pair.server), ReadState::over_budget);  // still no room for 48 KiB more
    reader.request.stop_charging();
    EXPECT_EQ(memory.used(), 0u);
  }
  EXPECT_EQ(memory.used(), 0u);  // nothing given back twice
  ::shutdown(pair.server, SHUT_RDWR);
  client.join();
}

TEST(ClientDeadline, CountsFromStartAndIsNoneForZeroOrOutOfRange) {
  const Clock::time_point accepted = Clock::now();
  EXPECT_FALSE(Deadline::after(0, accepted).bounded());
  EXPECT_EQ(Deadline::after(1500, accepted).when(), accepted + 1500ms);
  // Past the clock's range the sum would overflow; such a limit is never reached anyway.
  EXPECT_FALSE(Deadline::after(UINT64_MAX, accepted).bounded());
  EXPECT_FALSE(Deadline::after(static_cast<std::uint64_t>(INT64_MAX), accepted).bounded());
}

// What the front end decides before a worker is involved, from the bytes that arrived.
TEST(ScreenRequest, OnlyAnAuthorisedRequestWithABodyTakesAWorker) {
  const std::string_view user = "pool";
  const std::string good = "Authorization: Basic cG9vbDpzZWNyZXQ=";  // pool:secret
  struct Case {
    std::string bytes;
    bool credentials_required;
    Screening expected;
  } cases[] = {
      {"", false, Screening::drop},                                       // nothing arrived
      {"POST / HTTP/1.1\r\nHost: x\r\n", false, Screening::drop},        // no blank line
      {"POST /\r\n\r\n{}", false, Screening::dispatch},
      {"POST /\r\n\r\n", false, Screening::empty_body},
      {"POST /\r\n\r\n{}", true, Screening::unauthorized},
      // Credentials come before the body: a stranger cannot learn the body was empty.
      {"POST /\r\n\r\n", true, Screening::unauthorized},
      {"POST /\r\n" + good + "\r\n\r\n", true, Screening::empty_body},
      {"POST /\r\n" + good + "\r\n\r\n{}", true, Screening::dispatch},
  };
  for (const Case& c : cases) {
    SocketPair pair;
    if (!c.bytes.empty()) pair.send(c.bytes);
    pair.finish_sending();
    Reader reader;
    ASSERT_TRUE(reader.read(pair.server));
    ClientAccess access;
    if (c.credentials_required) {
      access.user = user;
      access.pass = "secret";
    }
    EXPECT_EQ(screen_request(reader.request, access), c.expected) << c.bytes;
  }
}

}  // namespace
}  // namespace skerrow
