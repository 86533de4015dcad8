// A chain's daemons with backups, against scripted daemons on 127.0.0.1: which failures mark
// a node down, the order calls take, the 5 s rest, repeating only what may be repeated, the
// node that issued aux work, and a found block sent to every node at once.
#include "proxy/daemon_pool.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/captured_stderr.h"
#include "metrics/metrics.h"

namespace skerrow {
namespace {

using namespace std::chrono_literals;

// How a scripted daemon answers each request.
enum class Mode { answer, unavailable, not_connected, cut_off, silent };

// Serves every connection in turn until destroyed: reads one request and answers as `mode`
// says; `answer` is the body of a normal reply.
class ScriptedDaemon {
 public:
  explicit ScriptedDaemon(std::string answer) : answer_(std::move(answer)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof address;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), len);
    ::listen(fd_, 16);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &len);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedDaemon() {
    stop_ = true;
    thread_.join();
    ::close(fd_);
  }
  ChainEndpoint endpoint() const { return {{"127.0.0.1", port_}, "", ""}; }
  std::atomic<Mode> mode{Mode::answer};
  std::atomic<int> requests{0};

 private:
  void serve() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const int c = ::accept(fd_, nullptr, nullptr);
      std::string in;
      char chunk[4096];
      while (in.find("}") == std::string::npos) {
        pollfd r{c, POLLIN, 0};
        if (::poll(&r, 1, 2000) <= 0) break;
        const ssize_t n = ::read(c, chunk, sizeof chunk);
        if (n <= 0) break;
        in.append(chunk, static_cast<std::size_t>(n));
      }
      ++requests;
      std::string reply;
      switch (mode.load()) {
        case Mode::answer: reply = reply_with("200 OK", answer_); break;
        case Mode::unavailable: reply = reply_with("503 Service Unavailable", ""); break;
        case Mode::not_connected:
          reply = reply_with("500 Internal Server Error",
                             R"({"result":null,"error":{"code":-9,"message":"not connected!"},"id":1})");
          break;
        case Mode::cut_off: reply = "HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\n{\"res"; break;
        case Mode::silent: std::this_thread::sleep_for(400ms); break;
      }
      ::send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
      ::close(c);
    }
  }
  static std::string reply_with(std::string_view status, std::string_view body) {
    return "HTTP/1.1 " + std::string(status) + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           std::string(body);
  }

  int fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  std::uint16_t port_ = 0;
  std::string answer_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::atomic<std::int64_t> fake_now{0};
std::int64_t test_clock() { return fake_now.load(); }

struct Pair {
  ScriptedDaemon main{R"({"result":"main","error":null,"id":1})"};
  ScriptedDaemon backup{R"({"result":"backup","error":null,"id":1})"};
  std::vector<ChainEndpoint> nodes{main.endpoint(), backup.endpoint()};
  DaemonPool pool{metrics::kParentDaemon, {}, nodes};
  Pair() {
    fake_now = 0;
    pool.set_clock(test_clock);
  }
  // The call's answer ("main", "backup") or the error's name.
  std::string call(const CallRules& rules, std::size_t* node = nullptr) {
    auto reply = pool.call(std::pmr::new_delete_resource(), R"({"method":"x"})", 200, rules, node);
    if (!reply) return std::string(error_name(reply.error()));
    const std::size_t at = reply->find("\"result\":\"");
    const std::string text(*reply);
    return at == std::string::npos ? text : text.substr(at + 10, text.find('"', at + 10) - at - 10);
  }
};

TEST(DaemonPool, EveryWayANodeCannotServeMarksItDown) {
  struct Case {
    Mode mode;
    bool template_call;
    std::string_view why;
  };
  const Case cases[] = {
      {Mode::unavailable, false, "HTTP 503"},
      {Mode::cut_off, false, "error.ReadFailed"},
      {Mode::silent, false, "error.ConnectionTimedOut"},
      {Mode::not_connected, true, "RPC error -9"},
  };
  CallRules repeatable;
  repeatable.repeatable = true;
  for (const Case& c : cases) {
    Pair pair;
    pair.main.mode = c.mode;
    repeatable.template_call = c.template_call;
    testing::CapturedStderr captured;
    std::size_t node = 9;
    EXPECT_EQ(pair.call(repeatable, &node), "backup") << c.why;
    captured.restore();
    EXPECT_EQ(node, 1u);
    EXPECT_TRUE(pair.pool.is_down(0)) << c.why;
    const Endpoint main = pair.main.endpoint().endpoint, backup = pair.backup.endpoint().endpoint;
    EXPECT_EQ(captured.text(), "warning(rpc): parent daemon 127.0.0.1:" + std::to_string(main.port) + " down (" +
                                   std::string(c.why) + "), using 127.0.0.1:" + std::to_string(backup.port) + "\n");
  }
  // An RPC error is an answer like any other outside the template calls.
  repeatable.template_call = false;
  Pair pair;
  pair.main.mode = Mode::not_connected;
  EXPECT_EQ(pair.call(repeatable), R"({"result":null,"error":{"code":-9,"message":"not connected!"},"id":1})");
  EXPECT_FALSE(pair.pool.is_down(0));
}

TEST(DaemonPool, DownNodeRestsFiveSecondsThenIsFirstAgainOnceItAnswers) {
  Pair pair;
  CallRules rules;
  rules.repeatable = true;
  pair.main.mode = Mode::unavailable;
  testing::CapturedStderr captured;
  EXPECT_EQ(pair.call(rules), "backup");
  pair.main.mode = Mode::answer;
  fake_now = kNodeRetryNs - 1;
  EXPECT_EQ(pair.call(rules), "backup");
  EXPECT_EQ(pair.main.requests.load(), 1) << "a resting node was called";
  fake_now = kNodeRetryNs + 1'000'000;
  EXPECT_EQ(pair.call(rules), "main");
  EXPECT_FALSE(pair.pool.is_down(0));
  EXPECT_EQ(pair.call(rules), "main");

  // With every node down, calls still try them, in order.
  pair.main.mode = Mode::unavailable;
  pair.backup.mode = Mode::unavailable;
  EXPECT_EQ(pair.call(rules), "");
  pair.main.mode = Mode::answer;
  EXPECT_EQ(pair.call(rules), "main");
  captured.restore();
  EXPECT_NE(captured.text().find("info(rpc): parent daemon 127.0.0.1:" +
                                 std::to_string(pair.main.endpoint().endpoint.port) + " is back\n"),
            std::string::npos);
}

TEST(DaemonPool, OnlyWhatIsSafeToRepeatGoesOnOnceTheRequestWasSent) {
  Pair pair;
  pair.main.mode = Mode::silent;
  testing::CapturedStderr captured;
  EXPECT_EQ(pair.call(CallRules{}), "ConnectionTimedOut");
  EXPECT_EQ(pair.backup.requests.load(), 0);

  // Refused before anything was sent: any call moves on.
  Pair gone;
  gone.nodes[0] = ChainEndpoint{{"127.0.0.1", 1}, "", ""};
  DaemonPool pool(metrics::kParentDaemon, {}, gone.nodes);
  auto reply = pool.call(std::pmr::new_delete_resource(), "{}", 200, CallRules{});
  ASSERT_TRUE(reply) << error_name(reply.error());
  EXPECT_NE(reply->find("backup"), std::string::npos);

  for (auto [body, repeatable] : {std::pair{R"({"method":"getblockcount"})", true},
                                  {R"({"method":"submitblock","params":["00"]})", true},
                                  {R"({"method":"sendtoaddress"})", false},
                                  {R"([{"method":"getblockcount"},{"method":"sendtoaddress"}])", false}}) {
    const std::string_view text(body);
    const std::size_t at = text.find("\"method\":\"") + 10;
    EXPECT_EQ(repeatable_parent_call(text, text.substr(at, text.find('"', at) - at)), repeatable) << body;
  }
}

TEST(DaemonPool, AuxWorkGoesBackToTheNodeThatIssuedIt) {
  Pair pair;
  const std::string hash(64, 'a');
  pair.pool.remember_issuer(hash, 1);
  CallRules rules;
  rules.first = pair.pool.issuer(std::string(64, 'A'));
  EXPECT_EQ(rules.first, 1u);
  EXPECT_EQ(pair.call(rules), "backup");
  EXPECT_EQ(pair.pool.issuer(std::string(64, 'b')), std::nullopt);
  // The issuer down, the others in order.
  pair.backup.mode = Mode::unavailable;
  testing::CapturedStderr captured;
  rules.repeatable = true;
  EXPECT_EQ(pair.call(rules), "main");
  EXPECT_EQ(pair.call(rules), "main");
  EXPECT_EQ(pair.backup.requests.load(), 2);
}

TEST(DaemonPool, FoundBlockGoesToEveryNodeAndTheTakerAnswers) {
  ScriptedDaemon main(R"({"result":"inconclusive","error":null,"id":1})");
  ScriptedDaemon taker(R"({"result":null,"error":null,"id":1})");
  ScriptedDaemon down(R"({"result":null,"error":null,"id":1})");
  std::vector<ChainEndpoint> nodes{main.endpoint(), taker.endpoint(), down.endpoint()};
  DaemonPool pool(metrics::kParentDaemon, {}, nodes);
  fake_now = 0;
  pool.set_clock(test_clock);
  down.mode = Mode::unavailable;
  testing::CapturedStderr captured;
  CallRules rules;
  rules.repeatable = true;
  rules.first = 2;
  // Marks `down` down (and main answers in its place).
  ASSERT_TRUE(pool.call(std::pmr::new_delete_resource(), "{}", 2000, rules));

  auto reply = pool.fan_out(std::pmr::new_delete_resource(), R"({"method":"submitblock"})", 2000);
  ASSERT_TRUE(reply) << error_name(reply.error());
  EXPECT_EQ(*reply, R"({"result":null,"error":null,"id":1})");
  EXPECT_EQ(down.requests.load(), 1) << "a node marked down was sent the block";
  EXPECT_EQ(taker.requests.load(), 1);
  EXPECT_EQ(main.requests.load(), 2);
  EXPECT_NE(captured.text().find("info(rpc): submitblock to parent daemon 127.0.0.1:" +
                                 std::to_string(taker.endpoint().endpoint.port) +
                                 R"(: {"result":null,"error":null,"id":1})"),
            std::string::npos);

  // Nobody took it: the first node's answer.
  main.mode = Mode::answer;
  taker.mode = Mode::unavailable;
  reply = pool.fan_out(std::pmr::new_delete_resource(), R"({"method":"submitblock"})", 2000);
  ASSERT_TRUE(reply);
  EXPECT_EQ(*reply, R"({"result":"inconclusive","error":null,"id":1})");
  captured.restore();
}

}  // namespace
}  // namespace skerrow
