// The JSON-RPC client against small scripted daemons on 127.0.0.1: request bytes, reply
// cutting, failures, time limits, and that every path gives back its descriptor and memory.
#include "rpc/client.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/arena.h"
#include "rpc/base64.h"

namespace skerrow {
namespace {

using namespace std::chrono_literals;
using Ms = std::chrono::milliseconds;
constexpr std::string_view kGetAux = R"({"method":"getauxblock","params":[]})";

// Counts what is still allocated, to prove a call leaves nothing behind but its result.
class CountingResource final : public std::pmr::memory_resource {
 public:
  std::atomic<long> live{0};

 private:
  void* do_allocate(std::size_t n, std::size_t a) override {
    live += static_cast<long>(n);
    return std::pmr::new_delete_resource()->allocate(n, a);
  }
  void do_deallocate(void* p, std::size_t n, std::size_t a) override {
    live -= static_cast<long>(n);
    std::pmr::new_delete_resource()->deallocate(p, n, a);
  }
  bool do_is_equal(const memory_resource& o) const noexcept override { return this == &o; }
};

int open_descriptors() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

bool readable_within(int fd, Ms limit) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(limit.count())) > 0;
}

void send_text(int fd, std::string_view text) {
  for (ssize_t n; !text.empty() && (n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL)) > 0;) {
    text.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Reads one request: the header block and as many body bytes as Content-Length announces.
std::string read_request(int fd) {
  std::string in;
  char chunk[65536];
  for (;;) {
    const std::size_t end = in.find("\r\n\r\n"), at = in.find("Content-Length: ");
    if (end != std::string::npos && in.size() >= end + 4 + std::stoul(in.substr(at + 16))) return in;
    const ssize_t n = readable_within(fd, 5000ms) ? ::read(fd, chunk, sizeof chunk) : 0;
    if (n <= 0) return in;
    in.append(chunk, static_cast<std::size_t>(n));
  }
}

void hard_close_on_exit(int fd) {
  linger hard{1, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

struct Listener {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  explicit Listener(int backlog = 8) {
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), len);
    ::listen(fd, backlog);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &len);
  }
  ~Listener() { ::close(fd); }
  std::uint16_t port() const { return ntohs(address.sin_port); }
  ChainEndpoint endpoint(std::string_view user = "", std::string_view pass = "") const {
    return {{"127.0.0.1", port()}, user, pass};
  }
};

// Serves exactly one connection with `script` on its own thread.
class Daemon : public Listener {
 public:
  explicit Daemon(std::function<void(Daemon&, int)> script)
      : thread_([this, script = std::move(script)] {
          if (!readable_within(fd, 10000ms)) return;
          const int c = ::accept(fd, nullptr, nullptr);
          script(*this, c);
          ::close(c);
        }) {}
  // Reads the request, then answers `reply` and closes.
  explicit Daemon(std::string reply)
      : Daemon([reply = std::move(reply)](Daemon& d, int c) {
          d.request_ = read_request(c);
          send_text(c, reply);
        }) {}
  ~Daemon() { thread_.join(); }
  // The bytes received, once the exchange is over.
  const std::string& request() {
    thread_.join();
    thread_ = std::thread([] {});
    return request_;
  }

  std::string request_;

 private:
  std::thread thread_;
};

TEST(Base64, EncodesStandardVectorsAndHighBytes) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xff\xfe\xfd", "//79"},
      {std::string_view("\x00\x80\xff\x01", 4), "AID/AQ=="}};
  for (auto [in, want] : cases) {
    char out[16];
    ASSERT_EQ(base64_length(in.size()), want.size());
    EXPECT_EQ(std::string_view(out, base64_encode(in, out)), want) << in;
  }
}

TEST(BuildRequest, WritesExactBytes) {
  auto* memory = std::pmr::new_delete_resource();
  auto r = build_request_head({{"127.0.0.1", 18332}, "user", "pass"}, kGetAux.size(), memory);
  ASSERT_TRUE(r);
  EXPECT_EQ(std::string_view(*r),
            "POST / HTTP/1.1\r\nHost: 127.0.0.1:18332\r\nContent-Type: application/json\r\n"
            "Content-Length: 36\r\nAuthorization: Basic dXNlcjpwYXNz\r\nConnection: close\r\n\r\n");

  // Default port still written; empty user means no header whatever the pass; empty body.
  r = build_request_head({{"localhost", kDefaultPort}, "", "secret"}, 0, memory);
  ASSERT_TRUE(r);
  EXPECT_EQ(std::string_view(*r),
            "POST / HTTP/1.1\r\nHost: localhost:8332\r\nContent-Type: application/json\r\n"
            "Content-Length: 0\r\nConnection: close\r\n\r\n");

  r = build_request_head({{"h", 0}, "rpc", ""}, 2, memory);
  ASSERT_TRUE(r);
  EXPECT_NE(r->find("Host: h:0\r\n"), std::string::npos);
  EXPECT_TRUE(r->ends_with("\r\nAuthorization: Basic cnBjOg==\r\nConnection: close\r\n\r\n"));
}

TEST(BuildRequest, CredentialsFillAtMost256Bytes) {
  auto* memory = std::pmr::new_delete_resource();
  const std::string a128(128, 'a'), a127(127, 'a'), a255(255, 'u'), a256(256, 'u');
  EXPECT_TRUE(build_request_head({{"h", 1}, a128, a127}, 0, memory));
  EXPECT_TRUE(build_request_head({{"h", 1}, a255, ""}, 0, memory));
  EXPECT_EQ(build_request_head({{"h", 1}, a128, a128}, 0, memory).error(), ErrorCode::NoSpaceLeft);
  EXPECT_EQ(build_request_head({{"h", 1}, a256, ""}, 0, memory).error(), ErrorCode::NoSpaceLeft);
  EXPECT_EQ(build_request_head({{"h", 1}, "u", std::string(1000, 'p')}, 0, memory).error(),
            ErrorCode::NoSpaceLeft);
}

// The same exchanges with and without a time limit: both paths must read the same way.
class Exchange : public testing::TestWithParam<std::uint64_t> {};
INSTANTIATE_TEST_SUITE_P(TimeLimit, Exchange, testing::Values(0u, 5000u));

TEST_P(Exchange, SendsExactRequestAndReturnsBody) {
  // The blank line straddles two writes, and the body arrives in pieces, its last byte on its
  // own: a reply taken one byte short of its Content-Length would lack it.
  for (std::string_view length : {"", "Content-Length: 15\r\n"}) {
    CountingResource memory;
    Daemon daemon([length](Daemon& d, int c) {
      d.request_ = read_request(c);
      const std::string head = "HTTP/1.1 200 OK\r\n" + std::string(length) + "X: 1\r";
      const std::string_view pieces[] = {head, "\n\r", "\n{\"res", "ult\":true", "}"};
      for (std::string_view piece : pieces) {
        send_text(c, piece);
        std::this_thread::sleep_for(piece == pieces[3] ? 100ms : 20ms);
      }
    });
    {
      auto body = call(daemon.endpoint("user", "pass"), &memory, kGetAux, GetParam());
      ASSERT_TRUE(body) << error_name(body.error()) << " with \"" << length << '"';
      EXPECT_EQ(*body, R"({"result":true})") << length;
      EXPECT_EQ(body->get_allocator().resource(), &memory);
    }
    EXPECT_EQ(memory.live.load(), 0);
    EXPECT_EQ(daemon.request(),
              std::string(*build_request_head(daemon.endpoint("user", "pass"), kGetAux.size(), &memory)) +
                  std::string(kGetAux));
  }
}

// Serves `reply` from a daemon that then closes, and returns what the call made of it.
Result<std::pmr::string> exchange(std::string reply, std::pmr::memory_resource* memory,
                                  std::uint64_t timeout_ms) {
  Daemon daemon(std::move(reply));
  return call(daemon.endpoint(), memory, "{}", timeout_ms);
}

TEST_P(Exchange, WholeRepliesGiveWhatFollowsTheFirstBlankLine) {
  std::string big(kMaxReplyBytes, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i * 7 % 23);
  const std::string head = "HTTP/1.1 200 OK\r\n\r\n";
  const std::string fits = big.substr(0, kMaxReplyBytes - head.size());
  const std::pair<std::string, std::string> cases[] = {
      {"HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n", ""},
      {"HTTP/1.1 401 Unauthorized\r\n\r\n", ""},  // the close ends an empty body
      {"HTTP/1.1 500 x\r\n\r\n{\"a\":1}\r\n\r\nsecond", "{\"a\":1}\r\n\r\nsecond"},
      {"HTTP/1.1 200 OK\r\ncontent-LENGTH: \t5 \r\n\r\nhello", "hello"},
      {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nhello", "hello"},  // more than announced
      // Values that are not plain decimal, and other fields, announce nothing.
      {"HTTP/1.1 200 OK\r\nContent-Length: 9x\r\nX-Content-Length: 99\r\n\r\nab", "ab"},
      {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\nContent-Length: 2\r\n\r\nab", "ab"},
      {"HTTP/1.1 200 OK\r\n\r\nContent-Length: 99\r\n\r\n", "Content-Length: 99\r\n\r\n"},
      {head + fits, fits},  // exactly 4 MiB in all
      {"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(fits.size() - 40) + "\r\n\r\n" +
           fits.substr(0, fits.size() - 40),
       fits.substr(0, fits.size() - 40)},
  };
  for (const auto& [reply, want] : cases) {
    PageArena arena;
    auto body = exchange(reply, &arena, GetParam());
    ASSERT_TRUE(body) << error_name(body.error()) << " for " << reply.substr(0, 60);
    ASSERT_EQ(body->size(), want.size());
    EXPECT_TRUE(std::string_view(*body) == want) << reply.substr(0, 60);  // no megabyte dumps
  }
}

TEST_P(Exchange, UnfinishedOrOversizedRepliesFail) {
  std::string big(kMaxReplyBytes + 300000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i * 7 % 23);
  const std::string head = "HTTP/1.1 200 OK\r\n\r\n";
  const std::pair<std::string, ErrorCode> cases[] = {
      {"", ErrorCode::ReadFailed},
      {"HTTP/1.1 200 OK\r\nContent-Le", ErrorCode::ReadFailed},
      {"no header block at all\r\njust bytes", ErrorCode::ReadFailed},
      {"HTTP/1.1 200 OK\n\n{}", ErrorCode::ReadFailed},  // bare line feeds end no header block
      {big.substr(0, 3 << 20), ErrorCode::ReadFailed},
      {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: close\r\n\r\n", ErrorCode::ReadFailed},
      {"HTTP/1.1 200 OK\r\ncontent-length:\t10 \r\n\r\n{\"res", ErrorCode::ReadFailed},
      {"HTTP/1.1 200 OK\r\nContent-Length: 15\r\n\r\n{\"result\":true",  // one byte short
       ErrorCode::ReadFailed},
      {"HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\nab",
       ErrorCode::ReadFailed},
      {head + big.substr(0, kMaxReplyBytes - head.size() + 1), ErrorCode::StreamTooLong},
      {head + big, ErrorCode::StreamTooLong},
      {big + head + "tail", ErrorCode::StreamTooLong},  // blank line beyond the cap
      {"HTTP/1.1 200 OK\r\nContent-Length: 5000000\r\n\r\n" + big, ErrorCode::StreamTooLong},
  };
  for (const auto& [reply, want] : cases) {
    PageArena arena;
    auto body = exchange(reply, &arena, GetParam());
    ASSERT_FALSE(body) << "returned " << body->size() << " bytes for " << reply.substr(0, 60);
    EXPECT_EQ(error_name(body.error()), error_name(want)) << reply.substr(0, 60);
  }
}

// The daemon sends `sent`, then resets the connection instead of closing it.
Result<std::pmr::string> reset_after(std::string sent, std::uint64_t timeout_ms) {
  Daemon daemon([sent = std::move(sent)](Daemon&, int c) {
    read_request(c);
    send_text(c, sent);
    std::this_thread::sleep_for(100ms);
    hard_close_on_exit(c);
  });
  return call(daemon.endpoint(), std::pmr::new_delete_resource(), "{}", timeout_ms);
}

TEST_P(Exchange, ResetFailsUnlessTheAnnouncedBodyIsWhole) {
  for (std::string sent : {"", "HTTP/1.1 200 O", "HTTP/1.1 200 OK\r\n\r\n{\"partial\"",
                           "HTTP/1.1 200 OK\r\nContent-Length: 500\r\n\r\n{\"result\":\"abc",
                           "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhell"}) {  // one byte short
    auto body = reset_after(sent, GetParam());
    ASSERT_FALSE(body) << "returned " << *body << " for " << sent;
    EXPECT_EQ(error_name(body.error()), "ConnectionResetByPeer") << sent;
  }
  // Its length announced and met, the reply needs no close to end it.
  auto body = reset_after("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", GetParam());
  ASSERT_TRUE(body) << error_name(body.error());
  EXPECT_EQ(*body, "hello");

  // A daemon that answers without reading the request is reset by its kernel on close.
  Daemon rude([](Daemon&, int c) {
    readable_within(c, 5000ms);
    send_text(c, "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\n\r\n");
  });
  body = call(rude.endpoint(), std::pmr::new_delete_resource(), "{}", GetParam());
  ASSERT_TRUE(body) << error_name(body.error());
  EXPECT_EQ(*body, "");
}

TEST(Call, OversizedCredentialsNeverConnect) {
  Listener listener;
  const std::string a128(128, 'a');
  EXPECT_EQ(call(listener.endpoint(a128, a128), std::pmr::new_delete_resource(), "{}").error(),
            ErrorCode::NoSpaceLeft);
  EXPECT_FALSE(readable_within(listener.fd, 200ms)) << "a connection reached the daemon";
}

TEST(Call, UnreachableDaemons) {
  auto* memory = std::pmr::new_delete_resource();
  // The freed port may be taken by anyone meanwhile; the limit keeps that from hanging here.
  const ChainEndpoint gone = Listener().endpoint();
  EXPECT_EQ(call(gone, memory, "{}", 5000).error(), ErrorCode::ConnectionRefused);
  EXPECT_EQ(call({{"nonexistent.invalid", 8332}, "", ""}, memory, "{}").error(),
            ErrorCode::DnsResolutionFailed);
  EXPECT_EQ(call({{"", 8332}, "", ""}, memory, "{}").error(), ErrorCode::DnsResolutionFailed);
  // A zero byte must not let the text resolve as the name in front of it.
  Listener listener;
  const std::string host("127.0.0.1\0.evil", 15);
  EXPECT_EQ(call({{host, listener.port()}, "", ""}, memory, "{}", 2000).error(),
            ErrorCode::DnsResolutionFailed);
  EXPECT_FALSE(readable_within(listener.fd, 200ms));
}

TEST(Call, WriteToVanishedDaemonFails) {
  // The daemon hangs up without reading, then resets, while a body far larger than the
  // socket buffers is still being sent: BrokenPipe, not SIGPIPE (no handler is installed
  // here) and not success.
  Daemon daemon([](Daemon&, int c) {
    ::shutdown(c, SHUT_WR);
    std::this_thread::sleep_for(100ms);
    hard_close_on_exit(c);
  });
  auto r = call(daemon.endpoint(), std::pmr::new_delete_resource(), std::string(32 << 20, 'x'), 10000);
  ASSERT_FALSE(r);
  EXPECT_EQ(error_name(r.error()), "BrokenPipe");
}

// What a caller choosing whether to try another daemon learns: did the whole request go out,
// and what status the daemon answered.
TEST(Call, TraceTellsHowFarTheCallGot) {
  auto* memory = std::pmr::new_delete_resource();
  CallTrace trace{true, 1};
  const ChainEndpoint gone = Listener().endpoint();
  EXPECT_FALSE(call(gone, memory, "{}", 5000, &trace));
  EXPECT_FALSE(trace.request_sent);
  EXPECT_EQ(trace.status, 0);

  const std::pair<std::string, int> replies[] = {
      {"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n", 503},
      {"HTTP/1.0 200 OK\r\n\r\n{}", 200},
      {"ICY 200 OK\r\n\r\n{}", 0},
  };
  for (const auto& [reply, status] : replies) {
    Daemon daemon(reply);
    trace = CallTrace{};
    EXPECT_TRUE(call(daemon.endpoint(), memory, "{}", 5000, &trace)) << reply;
    EXPECT_TRUE(trace.request_sent) << reply;
    EXPECT_EQ(trace.status, status) << reply;
  }

  Listener silent;  // takes the request and never answers
  trace = CallTrace{};
  EXPECT_EQ(call(silent.endpoint(), memory, "{}", 200, &trace).error(), ErrorCode::ConnectionTimedOut);
  EXPECT_TRUE(trace.request_sent);
}

// Runs a call with a limit and checks it ends with ConnectionTimedOut in bounded time. A call
// that ignored its limit would never return, so the run is ended instead of hanging.
void expect_timeout(const ChainEndpoint& daemon, Ms limit) {
  const auto start = std::chrono::steady_clock::now();
  auto pending = std::async(std::launch::async, [&] {
    return call(daemon, std::pmr::new_delete_resource(), "{}", static_cast<std::uint64_t>(limit.count()));
  });
  if (pending.wait_for(limit + 5000ms) != std::future_status::ready) {
    std::fputs("call ignored its time limit\n", stderr);
    std::abort();
  }
  auto r = pending.get();
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(r) << "returned " << r->size() << " bytes";
  EXPECT_EQ(r.error(), ErrorCode::ConnectionTimedOut);
  EXPECT_GE(took, limit - 5ms);
  EXPECT_LT(took, limit + 2000ms);
}

TEST(Call, TimeLimitBoundsTheWholeExchange) {
  {
    Listener silent;  // the kernel completes the handshake; nobody ever answers
    expect_timeout(silent.endpoint(), 300ms);
  }
  // Part of a reply, and a whole one by its length: without the close, neither is returned.
  for (std::string sent : {"HTTP/1.1 200 OK\r\n\r\n{\"result\":",
                           "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}"}) {
    Daemon daemon([&sent](Daemon&, int c) {
      read_request(c);
      send_text(c, sent);
      char sink[64];  // stay silent until the client gives up
      while (readable_within(c, 10000ms) && ::read(c, sink, sizeof sink) > 0) {
      }
    });
    expect_timeout(daemon.endpoint(), 300ms);
  }
  {
    // A byte now and then keeps every single read short; the limit still holds for the call.
    std::atomic<bool> stop{false};
    Daemon daemon([&stop](Daemon&, int c) {
      read_request(c);
      for (int i = 0; i < 100 && !stop; ++i) {
        send_text(c, "x");
        std::this_thread::sleep_for(50ms);
      }
    });
    expect_timeout(daemon.endpoint(), 400ms);
    stop = true;
  }
  {
    // A full accept queue drops new handshakes, so connect itself would wait for ever.
    Listener full(0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
      fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
      ::connect(fillers.back(), reinterpret_cast<const sockaddr*>(&full.address), sizeof full.address);
    }
    std::this_thread::sleep_for(50ms);
    expect_timeout(full.endpoint(), 300ms);
    for (int f : fillers) ::close(f);
  }
}

TEST(Call, EveryPathReleasesDescriptorsAndMemory) {
  CountingResource memory;
  const int before = open_descriptors();
  const ChainEndpoint gone = Listener().endpoint("u", "p");
  EXPECT_FALSE(call(gone, &memory, "{}", 5000));
  EXPECT_FALSE(call({{"nonexistent.invalid", 1}, "u", "p"}, &memory, "{}"));
  EXPECT_FALSE(call(Listener().endpoint("u", "p"), &memory, "{}", 100));  // silent daemon
  {
    Daemon daemon(std::string("HTTP/1.1 200 OK\r\n\r\n{\"result\":null}"));
    auto doc = call_json(daemon.endpoint(), &memory, kGetAux);
    ASSERT_TRUE(doc);
    const JsonValue* result = get_member(doc->root(), "result");
    ASSERT_NE(result, nullptr);
    EXPECT_TRUE(result->is_null());
  }
  {
    Daemon daemon(std::string("HTTP/1.1 401 Unauthorized\r\n\r\n"));
    EXPECT_FALSE(call_json(daemon.endpoint(), &memory, kGetAux));
  }
  EXPECT_EQ(memory.live.load(), 0);
  EXPECT_EQ(open_descriptors(), before);
}

}  // namespace
}  // namespace skerrow
