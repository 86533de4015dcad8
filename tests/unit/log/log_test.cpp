// Log lines: exact format, long lines, and whole lines under concurrency.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cmath>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/captured_stderr.h"
#include "error/error.h"
#include "log/format.h"
#include "log/log.h"
#include "log/safe_text.h"
#include "log/throttle.h"

namespace skerrow {
namespace {

using testing::CapturedStderr;

TEST(LogLine, FormatsLevelScopeAndPieces) {
  CapturedStderr cap;
  log_line(LogLevel::info, LogScope::skerrow, {"listen: ", std::string_view("127.0.0.1:8332")});
  log_line(LogLevel::warning, LogScope::http, {"HTTP handler error: ", ErrorCode::ConnectionRefused});
  log_line(LogLevel::error, LogScope::zmq, {"count ", 0u, " port ", std::uint16_t{65535}, " n ", -5});
  log_line(LogLevel::info, LogScope::auxpow, {"diff=", FixedPoint{65793.00392156863, 3}});
  log_line(LogLevel::info, LogScope::auxpow, {"x\ny"});
  write_startup_error(ErrorCode::OutOfMemory);
  cap.restore();
  EXPECT_EQ(cap.text(),
            "info(skerrow): listen: 127.0.0.1:8332\n"
            "warning(http): HTTP handler error: error.ConnectionRefused\n"
            "error(zmq): count 0 port 65535 n -5\n"
            "info(auxpow): diff=65793.004\n"
            "info(auxpow): x\ny\n"
            "error: OutOfMemory\n");
}

TEST(LogLine, LongLinesArriveWhole) {
  CapturedStderr cap;
  std::string big(1000, 'q');
  log_line(LogLevel::info, LogScope::http, {"a", big, "b", big.substr(0, 63), "c"});
  cap.restore();
  EXPECT_EQ(cap.text(), "info(http): a" + big + "b" + big.substr(0, 63) + "c\n");
}

// Each line is built from many pieces, so it leaves in several writes; without the lock,
// another thread's writes would land between them.
TEST(LogLine, ConcurrentLinesNeverInterleave) {
  CapturedStderr cap;
  constexpr int kLines = 400;
  auto writer = [](char mark) {
    std::string piece(50, mark);
    for (int i = 0; i < kLines; ++i) {
      log_line(LogLevel::info, LogScope::http,
               {piece, piece, piece, piece, piece, piece, piece, piece, piece, piece});
    }
  };
  std::thread a(writer, 'A'), b(writer, 'B'), c(writer, 'C');
  a.join();
  b.join();
  c.join();
  cap.restore();

  std::istringstream in(cap.text());
  std::string line;
  int count = 0;
  while (std::getline(in, line)) {
    ++count;
    ASSERT_EQ(line.size(), std::string("info(http): ").size() + 500) << line.substr(0, 80);
    std::string body = line.substr(12);
    EXPECT_EQ(body, std::string(500, body[0])) << "mixed line";
  }
  EXPECT_EQ(count, 3 * kLines);
}

TEST(LogSafeText, ControlBytesEscapedAndLongTextsCut) {
  const auto shown = [](std::string_view text, std::size_t max_bytes = std::string_view::npos) {
    return std::string(LogSafeText(text, max_bytes).view());
  };
  EXPECT_EQ(shown("getblockcount", kMaxLoggedPoolText), "getblockcount");
  EXPECT_EQ(shown("a\nwarning(http): forged\r\x7f\t", kMaxLoggedPoolText),
            "a\\x0awarning(http): forged\\x0d\\x7f\\x09");
  EXPECT_EQ(shown(std::string(kMaxLoggedPoolText, 'm'), kMaxLoggedPoolText), std::string(kMaxLoggedPoolText, 'm'));
  EXPECT_EQ(shown(std::string(kMaxLoggedPoolText + 1, 'm'), kMaxLoggedPoolText),
            std::string(kMaxLoggedPoolText, 'm') + "...");
  // The cut counts bytes of the text, before escaping: the worst case is four bytes shown per byte.
  EXPECT_EQ(shown(std::string(1000, '\n'), kMaxLoggedPoolText).size(), 4 * kMaxLoggedPoolText + 3);
  // Without a limit (a daemon's own message) nothing is cut.
  EXPECT_EQ(shown(std::string(1000, 'm')), std::string(1000, 'm'));
}

std::string fixed(double v, int digits) {
  std::array<char, kNumberTextSize> room;
  return std::string(format_fixed(v, digits, room));
}

TEST(FixedPoint, RoundsTheShortestDigits) {
  EXPECT_EQ(fixed(256.0, 3), "256.000");
  EXPECT_EQ(fixed(16777216.0 / 255.0, 3), "65793.004");  // 65793.00392156863
  EXPECT_EQ(fixed(16777216.0 / 255.0, 6), "65793.003922");
  EXPECT_EQ(fixed(0.0, 6), "0.000000");
  EXPECT_EQ(fixed(0.0005, 3), "0.001");    // first dropped digit 5 rounds up
  EXPECT_EQ(fixed(0.0004999, 3), "0.000");
  EXPECT_EQ(fixed(9.9995, 3), "10.000");   // carry into a new integer digit
  EXPECT_EQ(fixed(1.5e-7, 6), "0.000000");
  EXPECT_EQ(fixed(5e-7, 6), "0.000001");
  EXPECT_EQ(fixed(std::numeric_limits<double>::infinity(), 3), "inf");
  // 2^256: integer positions beyond the shortest digits are zeros.
  EXPECT_EQ(fixed(std::ldexp(1.0, 256), 3),
            "115792089237316200000000000000000000000000000000000000000000000000000000000000.000");
  // 1.0005 is stored as 1.000499999..., but its shortest digits are 1.0005: rounds up.
  EXPECT_EQ(fixed(1.0005, 3), "1.001");
}

TEST(LogThrottle, OneLineASecondCountingTheLinesLeftOut) {
  // (milliseconds since the first event, what admit says: -1 for a line left out)
  const std::vector<std::pair<int, long>> events = {
      {0, 0},    {10, -1}, {999, -1}, {1000, 2},  // a line a second, then the count of the two left out
      {1500, -1}, {3000, 1},                      // a quiet second: the next event is written at once
      {4500, 0},                                  // nothing left out since the last line
  };
  LogThrottle throttle;
  const auto start = LogThrottle::Clock::now();
  for (const auto& [ms, expected] : events) {
    const auto left_out = throttle.admit(start + std::chrono::milliseconds(ms));
    EXPECT_EQ(left_out ? static_cast<long>(*left_out) : -1L, expected) << "at " << ms << " ms";
  }
}

}  // namespace
}  // namespace skerrow
