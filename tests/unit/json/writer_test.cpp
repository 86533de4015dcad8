#include "json/writer.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <bit>
#include <cmath>
#include <random>
#include <string>

#include "json/test_memory.h"
#include "platform/thread.h"

namespace skerrow {
namespace {

using namespace std::literals;

std::string compact(std::string_view text) {
  auto doc = parse_json(text);
  if (!doc) return "<" + std::string(error_name(doc.error())) + ">";
  std::pmr::string out;
  EXPECT_TRUE(write_compact_json(doc->root(), out));
  return std::string(out);
}

TEST(JsonWriter, CompactText) {
  for (std::string_view text :
       {"true"sv, "false"sv, "null"sv, "-9223372036854775808"sv, "9223372036854775808"sv, "1e400"sv, "\"\""sv,
        "[[],{},[{}]]"sv, R"({"result":{"hash":"00ab","ok":[true,false,null],"n":{"":[1,2.5,"x"]}}})"sv,
        R"({"k\"\n\u0000":"v\\\u001b"})"sv}) {
    EXPECT_EQ(compact(text), text);
  }
  EXPECT_EQ(compact(" {\n \"a\" : [ 1 ,\t2 ] ,\r\n \"b\" : { } } "), R"({"a":[1,2],"b":{}})");
  EXPECT_EQ(compact(R"("\u0041\/\ud83d\ude00")"), "\"A/\xF0\x9F\x98\x80\"");
}

TEST(JsonWriter, FloatsAreShortestAndStayFloats) {
  for (auto [in, out] : {std::pair{"0.1", "0.1"}, {"1.0", "1.0"}, {"1e2", "100.0"}, {"-0", "-0.0"},
                         {"1e100", "1e+100"}, {"2.50e-3", "0.0025"}, {"4.9406564584124654e-324", "5e-324"}}) {
    EXPECT_EQ(compact(in), out);
  }
  std::mt19937_64 rng(20240601);
  for (int i = 0; i < 20000; ++i) {  // any finite double reads back as the same bits and kind
    double d = std::bit_cast<double>(rng());
    if (!std::isfinite(d)) continue;
    std::pmr::string out;
    ASSERT_TRUE(write_compact_json(JsonValue::make_float(d), out));
    auto back = parse_json(out);
    ASSERT_TRUE(back && back->root().is_float()) << out;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back->root().as_float()), std::bit_cast<std::uint64_t>(d)) << out;
  }
}

TEST(JsonWriter, EscapingIsMinimalAndReadsBack) {
  std::string all;
  for (int c = 1; c < 0x80; ++c) all += static_cast<char>(c);
  all += "\0\xC3\xA9\xF0\x9F\x98\x80"s;
  std::pmr::string escaped = "prefix:";
  ASSERT_TRUE(append_json_escaped(all, escaped));
  std::string expected = R"(prefix:\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r)"
                         R"(\u000e\u000f\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a)"
                         R"(\u001b\u001c\u001d\u001e\u001f !\"#$%&'()*+,-./0123456789:;<=>?@)"
                         R"(ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~)"
                         "\x7F\\u0000\xC3\xA9\xF0\x9F\x98\x80";
  EXPECT_EQ(std::string_view(escaped), expected);
  auto back = parse_json("\"" + std::string(escaped.substr(7)) + "\"");
  ASSERT_TRUE(back);
  EXPECT_EQ(back->root().as_text(), all);
}

TEST(JsonWriter, MillionLevelsOnAWorkerStack) {
  constexpr std::size_t kDepth = 1'000'000;
  std::string text;
  for (std::size_t i = 0; i < kDepth / 2; ++i) text += "[{\"k\":";
  text += "[1,\"s\"]";
  for (std::size_t i = 0; i < kDepth / 2; ++i) text += "}]";
  std::string out;
  auto thread = start_thread([&] { out = compact(text); });
  ASSERT_TRUE(thread);
  pthread_join(*thread, nullptr);
  EXPECT_TRUE(out == text);
}

TEST(JsonWriter, RefusedMemoryLeavesOutputAsItWas) {
  auto doc = parse_json(R"({"list":[1,2,3,"a long enough string to need more room than the start"]})");
  ASSERT_TRUE(doc);
  for (std::size_t budget : {0u, 40u, 100u}) {
    testing::CountingResource limited(budget);
    std::pmr::string out("kept", &limited);
    auto written = write_compact_json(doc->root(), out);
    ASSERT_FALSE(written) << budget;
    EXPECT_EQ(written.error(), ErrorCode::OutOfMemory);
    auto appended = append_json_escaped(std::string(200, '\n'), out);
    ASSERT_FALSE(appended);
    EXPECT_EQ(appended.error(), ErrorCode::OutOfMemory);
    EXPECT_EQ(out, "kept");
  }
}

}  // namespace
}  // namespace skerrow
