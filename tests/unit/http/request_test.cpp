#include "http/request.h"

#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/socket_pair.h"
#include "http/handler.h"
#include "http/response.h"

namespace skerrow {
namespace {

using test::SocketPair;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Should the deadline be ignored, the read fails after this instead of hanging the test.
void guard_reads(int fd, std::chrono::seconds limit) {
  timeval tv{static_cast<time_t>(limit.count()), 0};
  ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv), 0);
}

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

struct Reader {
  std::vector<char> buffer;
  explicit Reader(std::size_t size = kRequestBufferBytes) : buffer(size) {}
  RequestRead read(int fd, ClientDeadline deadline = std::nullopt) {
    return read_request(fd, buffer, deadline);
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
  RequestRead got = reader.read(pair.server);  // the client never closes: Content-Length ends it
  client.join();
  // Bytes past the announced length that came in the same read stay in the body.
  EXPECT_EQ(got.body, "{\"a\":12345}extra");
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
  guard_reads(pair.server, 5s);
  Reader reader;
  RequestRead got = reader.read(pair.server);
  client.join();
  ASSERT_TRUE(got.header_end.has_value());
  EXPECT_EQ(*got.header_end, (HeaderEnd{request.size() - body.size() - 2, 2}));
  EXPECT_EQ(got.filled, request.size());
  EXPECT_EQ(got.body, body);
}

TEST(ReadRequest, ClientClosingEarlyKeepsPartialBody) {
  SocketPair pair;
  pair.send("POST / HTTP/1.1\r\nContent-Length: 100\r\n\r\n{\"method\":");
  pair.finish_sending();
  Reader reader;
  EXPECT_EQ(reader.read(pair.server).body, "{\"method\":");
}

TEST(ReadRequest, ReceiveTimeoutEndsReadingWithWhatArrived) {
  SocketPair pair;
  timeval tv{0, 100 * 1000};
  ASSERT_EQ(setsockopt(pair.server, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv), 0);
  Reader reader;
  EXPECT_EQ(reader.read(pair.server).filled, 0u);  // a silent client
  pair.send("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc");
  EXPECT_EQ(reader.read(pair.server).body, "abc");  // a client that stalls mid-body
}

TEST(ClientDeadline, CountsFromAcceptAndIsNoneForZeroOrOutOfRange) {
  const Clock::time_point accepted = Clock::now();
  EXPECT_EQ(client_deadline(accepted, 0), std::nullopt);
  EXPECT_EQ(client_deadline(accepted, 1500), accepted + 1500ms);
  // Past the clock's range the sum would overflow; such a limit is never reached anyway.
  EXPECT_EQ(client_deadline(accepted, UINT64_MAX), std::nullopt);
  EXPECT_EQ(client_deadline(accepted, static_cast<std::uint64_t>(INT64_MAX)), std::nullopt);
}

TEST(ReadRequest, TricklingClientIsCutOffAtTheDeadline) {
  SocketPair pair;
  guard_reads(pair.server, 5s);
  std::atomic<bool> stop{false};
  // Never completes its header block, and each byte comes well inside any per-read limit.
  std::thread client([&] {
    const std::string start = "POST / HTTP/1.1\r\nX-Slow: ";
    for (std::size_t i = 0; !stop && i < 400; ++i) {
      const char c = i < start.size() ? start[i] : 'a';
      if (::write(pair.client, &c, 1) != 1) return;
      std::this_thread::sleep_for(20ms);
    }
  });
  Reader reader;
  const Clock::time_point began = Clock::now();
  RequestRead got = reader.read(pair.server, began + 300ms);
  const Clock::duration took = Clock::now() - began;
  stop = true;
  client.join();
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 1000ms);
  EXPECT_GE(got.filled, 5u);  // it was sending all along
  EXPECT_FALSE(got.header_end.has_value());
}

TEST(ReadRequest, PastTheDeadlineWhatArrivedIsTakenWithoutWaiting) {
  Reader reader;
  const Clock::time_point began = Clock::now();
  {
    // A request that came whole while its connection waited for a worker is served.
    SocketPair pair;
    guard_reads(pair.server, 2s);
    pair.send("POST / HTTP/1.1\r\nContent-Length: 2\r\n\r\n{}");
    EXPECT_EQ(reader.read(pair.server, began - 1s).body, "{}");
  }
  SocketPair pair;
  guard_reads(pair.server, 2s);
  EXPECT_EQ(reader.read(pair.server, began - 1s).filled, 0u);  // nothing there, no wait
  pair.send("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc");
  EXPECT_EQ(reader.read(pair.server, Clock::now() - 1ms).body, "abc");  // cut where it stands
  EXPECT_LT(Clock::now() - began, 500ms);
}

TEST(HandleRequest, SilentClientPastItsDeadlineEndsWithoutReply) {
  PageArena arena;
  ServerContext ctx;
  SocketPair pair;
  guard_reads(pair.server, 2s);
  const Clock::time_point began = Clock::now();
  RequestTally tally;
  Status st = handle_request(arena, pair.server, ctx, began - 1ms, tally);
  EXPECT_LT(Clock::now() - began, 500ms);
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error(), ErrorCode::EndOfStream);
  EXPECT_EQ(tally.kind, metrics::RequestKind::refused);
  EXPECT_EQ(pair.received(), "");
}

TEST(HandleRequest, IncompleteHeaderBlockIsDroppedWithoutReply) {
  PageArena arena;
  ServerContext ctx;
  SocketPair pair;
  pair.send("POST / HTTP/1.1\r\nHost: x\r\n");
  pair.finish_sending();
  RequestTally tally;
  EXPECT_TRUE(handle_request(arena, pair.server, ctx, std::nullopt, tally));
  EXPECT_EQ(tally.outcome, metrics::RequestOutcome::client_error);  // counted as the client's doing
  EXPECT_EQ(pair.received(), "");
}

}  // namespace
}  // namespace skerrow
