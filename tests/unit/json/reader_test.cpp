#include "json/reader.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>

#include "json/test_memory.h"
#include "platform/thread.h"

namespace skerrow {
namespace {

using namespace std::literals;
using testing::CountingResource;

// The error name of parsing `text`, or "ok".
std::string outcome(std::string_view text) {
  auto doc = parse_json(text);
  return doc ? "ok" : std::string(error_name(doc.error()));
}

void expect_all(const char* expected, std::initializer_list<std::string_view> inputs) {
  for (std::string_view text : inputs) {
    EXPECT_EQ(outcome(text), expected) << ::testing::PrintToString(std::string(text));
  }
}

TEST(JsonReaderGrammar, WhichInputGivesWhichError) {
  expect_all("ok", {"{} \n", "\r\n\t[] ", "1", "\"x\"", " null ", "true", "false", R"({"a":[1,{}],"b":""})"});
  expect_all("UnexpectedEndOfInput",
             {"", " \t\r\n ", "{", "tru", "[1", "[1,", "{\"a\"", "{\"a\":", "{\"a\":1,", "\"abc", "[[[]]",
              "{\"a\":[{}"});
  expect_all("SyntaxError",
             {"}", "{}{}", "{} 1", "[]]", "\xEF\xBB\xBF{}", "\f{}", "{}\v", "{} // c", "/* c */ {}", "True", "NULL",
              "nan", "Infinity", "-Infinity", "truex", "[nul]", "[1,]", "[,1]", "[1 2]", "[1:2]", "{\"a\":1,}",
              "{a:1}", "{1:1}", "{'a':1}", "['a']", "{\"a\" 1}", "{\"a\":1 \"b\":2}", "{\"a\":1]", "[1}"});
  // A number ends where its digits stop, so a missing digit is a bad number even at the end.
  expect_all("SyntaxError", {"01", "-01", "+1", ".5", "1.", "1e", "1e+", "-", "-a", "1.e5", "0x1", "[-]", "[01]",
                             "{\"a\":-}", "1.5.5", "--1"});
}

TEST(JsonReaderNumbers, Classification) {
  auto parse = [](std::string_view text) {  // scalars own no storage, so they may outlive the document
    auto doc = parse_json(text);
    EXPECT_TRUE(doc.has_value()) << text;
    return doc ? doc->root() : JsonValue::make_null();
  };
  EXPECT_EQ(parse("0").as_integer(), 0);
  EXPECT_EQ(parse("9223372036854775807").as_integer(), INT64_MAX);
  EXPECT_EQ(parse("-9223372036854775808").as_integer(), INT64_MIN);
  for (auto [text, value] : {std::pair{"1.0", 1.0}, {"1e2", 100.0}, {"1E+2", 100.0}, {"-2.5e-3", -0.0025},
                             {"0.1", 0.1}, {"1.7976931348623157e308", 1.7976931348623157e308},
                             {"4.9e-324", 4.9e-324}, {"1e-400", 0.0}, {"0.000001e-320", 0.0}}) {
    JsonValue v = parse(text);
    ASSERT_TRUE(v.is_float()) << text;
    EXPECT_EQ(v.as_float(), value) << text;
    EXPECT_EQ(std::signbit(v.as_float()), std::signbit(value)) << text;
  }
  for (const char* text : {"-0", "-1e-400"}) {
    ASSERT_TRUE(parse(text).is_float()) << text;
    EXPECT_TRUE(std::signbit(parse(text).as_float())) << text;
  }
  for (std::string_view text : {"9223372036854775808", "-9223372036854775809", "18446744073709551617",
                                "123456789012345678901234567890", "1e400", "-1e400", "12345.6e305", "0.0001e313"}) {
    auto doc = parse_json(text);
    ASSERT_TRUE(doc) << text;
    ASSERT_TRUE(doc->root().is_number_text()) << text;
    EXPECT_EQ(doc->root().as_text(), text);
  }
}

// The decoded bytes of a one-string document, or the error name in angle brackets.
std::string decode(std::string_view body) {
  auto doc = parse_json("\"" + std::string(body) + "\"");
  if (!doc) return "<" + std::string(error_name(doc.error())) + ">";
  return std::string(doc->root().as_text());
}

TEST(JsonReaderStrings, EscapesAndUtf8) {
  EXPECT_EQ(decode(R"(\"\\\/\b\f\n\r\t)"), "\"\\/\b\f\n\r\t");
  EXPECT_EQ(decode(R"(\u0041\u00e9\u00E9\u20ac)"), "A\xC3\xA9\xC3\xA9\xE2\x82\xAC");
  EXPECT_EQ(decode(R"(\ud83d\ude00\uDBFF\uDFFF)"), "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF");
  EXPECT_EQ(decode(R"(a\u0000b)"), "a\0b"s);
  EXPECT_EQ(decode(R"(x\\u0041)"), "x\\u0041");  // an escaped backslash starts no escape
  EXPECT_EQ(decode("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x7F"), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x7F");

  for (std::string_view body :
       {"a\tb"sv, "\x01"sv, "\x1F"sv, "\0"sv, R"(\ude00)"sv, R"(\ud83d)"sv, R"(\ud83dx)"sv, R"(\ud83d\u0041)"sv,
        R"(\ude00\ud83d)"sv, R"(\x)"sv, R"(\u12g4)"sv, R"(\U0041)"sv, R"(\')"sv, "\xC0\x80"sv, "\xC1\xBF"sv,
        "\xE0\x9F\xBF"sv, "\xF0\x8F\xBF\xBF"sv, "\xED\xA0\x80"sv, "\xED\xBF\xBF"sv, "\xF4\x90\x80\x80"sv,
        "\xF5\x80\x80\x80"sv, "\xFF"sv, "\x80"sv, "\xE2\x82"sv, "\xC3\x41"sv, "\xF0\x9F\x98"sv}) {
    EXPECT_EQ(decode(body), "<SyntaxError>") << ::testing::PrintToString(std::string(body));
  }
  expect_all("UnexpectedEndOfInput", {"\"\\", "\"\\u12", "\"\\ud83d", "\"\\ud83d\\", "\"\xE2\x82", "\"abc\xF0"});
}

std::string object_with_keys(std::size_t n, std::string_view prefix = "k") {
  std::string text = "{";
  for (std::size_t i = 0; i < n; ++i) {
    text += (i ? ",\"" : "\"") + std::string(prefix) + std::to_string(i) + "\":" + std::to_string(i);
  }
  return text;
}

TEST(JsonReaderObjects, DuplicateKeys) {
  expect_all("DuplicateField", {R"({"a":1,"a":1})", R"({"a":1,"b":2,"a":3})", R"({"a":1,"a":2,)",
                                R"({"a":1,"\u0061":2})", R"({"a":{"b":1,"b":2}})"});
  expect_all("SyntaxError", {R"({"a":1,"a":x})"});          // the bad value comes before the insertion
  expect_all("UnexpectedEndOfInput", {R"({"a":1,"a":[1)"});  // never inserted
  expect_all("ok", {R"({"a":1,"A":2,"a\u0000":3,"":4})", R"([{"a":1},{"a":2}])", R"({"a":{"a":{"a":1}}})"});

  // Small objects are scanned, larger ones indexed: a repeat must be found on both sides.
  for (std::size_t n : {1u, 2u, 15u, 16u, 17u, 33u, 1000u}) {
    for (std::size_t repeat : {std::size_t{0}, n / 2, n - 1}) {
      EXPECT_EQ(outcome(object_with_keys(n) + ",\"k" + std::to_string(repeat) + "\":0}"), "DuplicateField") << n;
    }
    EXPECT_EQ(outcome(object_with_keys(n) + "}"), "ok") << n;
  }
  // Inner objects, indexed or not, come and go while the outer one keeps its own index.
  std::string text = object_with_keys(40) + ",\"inner\":" + object_with_keys(40) + "},\"inner2\":" +
                     object_with_keys(40, "j") + ",\"k1\":[]},\"small\":{\"x\":{}}";
  EXPECT_EQ(outcome(text + "}"), "ok");
  EXPECT_EQ(outcome(text + ",\"k39\":1}"), "DuplicateField");
  EXPECT_EQ(outcome(text + ",\"inner\":1}"), "DuplicateField");
}

TEST(JsonReaderObjects, HugeObjectStaysLinear) {
  auto start = std::chrono::steady_clock::now();
  auto doc = parse_json(object_with_keys(200'000) + "}");
  EXPECT_EQ(outcome(object_with_keys(200'000) + ",\"k0\":1}"), "DuplicateField");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_TRUE(doc);
  ASSERT_EQ(doc->root().members().size(), 200'000u);
  EXPECT_EQ(doc->root().members()[123'456].key, "k123456");  // input order
  EXPECT_EQ(get_member(doc->root(), "k199999")->as_integer(), 199'999);
  EXPECT_EQ(get_member(doc->root(), "K1"), nullptr);  // case-sensitive
  EXPECT_EQ(get_member(doc->root().members()[0].value, "k0"), nullptr);  // not an object
  EXPECT_LT(seconds, 10.0) << "a pairwise key check would take minutes here";
}

TEST(JsonReaderMemory, DocumentOwnsItsTextsAndFailuresLeaveNothing) {
  CountingResource counting;
  {
    auto input = std::make_unique<std::string>(R"({"key":"value","n":123456789012345678901234,"s":"a\nb"})");
    auto parsed = parse_json(*input, &counting);
    ASSERT_TRUE(parsed);
    std::memset(input->data(), '#', input->size());
    input.reset();
    JsonDocument doc = std::move(*parsed);  // moving keeps every view valid
    EXPECT_EQ(doc.root().members()[0].key, "key");
    EXPECT_EQ(get_member(doc.root(), "key")->as_text(), "value");
    EXPECT_EQ(get_member(doc.root(), "n")->as_text(), "123456789012345678901234");
    EXPECT_EQ(get_member(doc.root(), "s")->as_text(), "a\nb");
  }
  EXPECT_EQ(counting.outstanding(), 0u);

  std::string nested = "[" + object_with_keys(50) + "}," + object_with_keys(50);
  for (std::string text : {nested, nested + ",\"k3\":1}]", nested + ",\"z\":tru}]", nested + "}]]"}) {
    EXPECT_FALSE(parse_json(text, &counting));
    EXPECT_EQ(counting.outstanding(), 0u);
  }

  // Refuse memory at every point in turn: always OutOfMemory, never a leak, until it fits.
  std::string text = "[" + object_with_keys(40) + R"(,"s":"x\u00e9y"},1e400,"tail",[[[]]]])";
  std::size_t refused = 0;
  for (std::size_t budget = 0;; budget += 64) {
    ASSERT_LT(budget, 1u << 24) << "never succeeded";
    CountingResource limited(budget);
    auto doc = parse_json(text, &limited);
    if (doc) {
      EXPECT_EQ(get_member(doc->root().items()[0], "s")->as_text(), "x\xC3\xA9y");
      break;
    }
    EXPECT_EQ(doc.error(), ErrorCode::OutOfMemory) << budget;
    EXPECT_EQ(limited.outstanding(), 0u) << budget;
    refused += limited.refusals();
  }
  EXPECT_GT(refused, 0u);
}

TEST(JsonReaderMemory, BorrowedTextsPointIntoTheInputUnlessEscaped) {
  const std::string input = R"({"key":"value","n":123456789012345678901234,"s":"a\nb","":""})";
  for (JsonTexts texts : {JsonTexts::copy, JsonTexts::borrow}) {
    auto doc = parse_json(input, std::pmr::get_default_resource(), texts);
    ASSERT_TRUE(doc);
    auto inside = [&](std::string_view t) {
      return t.data() >= input.data() && t.data() + t.size() <= input.data() + input.size();
    };
    const bool borrow = texts == JsonTexts::borrow;
    EXPECT_EQ(inside(doc->root().members()[0].key), borrow);
    EXPECT_EQ(get_member(doc->root(), "key")->as_text(), "value");
    EXPECT_EQ(inside(get_member(doc->root(), "key")->as_text()), borrow);
    EXPECT_EQ(get_member(doc->root(), "n")->as_text(), "123456789012345678901234");
    EXPECT_EQ(get_member(doc->root(), "s")->as_text(), "a\nb");
    EXPECT_FALSE(inside(get_member(doc->root(), "s")->as_text()));
  }
}

// Strings are scanned many bytes at a time (64, on AVX2 or SSE2, then 16, then 8); a quote,
// backslash, control byte or non-ASCII byte must be seen at every offset within and across
// those steps.
TEST(JsonReaderStrings, SpecialByteAtEveryOffsetOfALongString) {
  for (JsonTexts texts : {JsonTexts::copy, JsonTexts::borrow}) {
    for (std::size_t at = 0; at < 200; ++at) {
      const std::string head(at, 'x');
      const std::string tail(200 - at, 'y');
      auto text_of = [&](const std::string& body) -> std::string {
        const std::string input = "[\"" + body + "\"]";  // borrowed texts point into it
        auto doc = parse_json(input, std::pmr::get_default_resource(), texts);
        return doc ? std::string(doc->root().items()[0].as_text()) : "<" + std::string(error_name(doc.error())) + ">";
      };
      EXPECT_EQ(text_of(head + tail), head + tail) << at;
      EXPECT_EQ(text_of(head + "\\\"" + tail), head + "\"" + tail) << at;
      EXPECT_EQ(text_of(head + "\xC3\xA9" + tail), head + "\xC3\xA9" + tail) << at;
      EXPECT_EQ(text_of(head + "\xE2\x82\xAC\\n" + tail), head + "\xE2\x82\xAC\n" + tail) << at;
      for (const char* special : {"\x1f", "\xff", "\xC0", "\""}) {
        EXPECT_EQ(text_of(head + special + tail), "<SyntaxError>") << at;
      }
      auto cut = parse_json("[\"" + head + "\"]" + tail, std::pmr::get_default_resource(), texts);
      EXPECT_FALSE(cut) << at;  // the string ends at the quote; the rest is trailing junk
    }
  }
}

TEST(JsonReaderDepth, MillionLevelsOnAWorkerStack) {
  constexpr std::size_t kDepth = 1'000'000;
  std::string objects;
  for (std::size_t i = 0; i < kDepth / 4; ++i) objects += "{\"a\":";
  objects += "0" + std::string(kDepth / 4, '}');

  std::size_t depth = 0, object_depth = 0;
  std::string open_result, dup_result;
  auto thread = start_thread([&] {  // the stack every worker gets
    if (auto doc = parse_json(std::string(kDepth, '[') + std::string(kDepth, ']'))) {
      for (const JsonValue* v = &doc->root(); !v->items().empty(); v = &v->items()[0]) ++depth;
    }
    if (auto doc = parse_json(objects)) {
      for (const JsonValue* v = &doc->root(); v->is_object(); v = &v->members()[0].value) ++object_depth;
    }
    open_result = outcome(std::string(kDepth, '['));
    dup_result = outcome(objects.substr(0, objects.size() - kDepth / 8) + ",\"a\":1");
  });
  ASSERT_TRUE(thread);
  pthread_join(*thread, nullptr);
  EXPECT_EQ(depth, kDepth - 1);  // the innermost array is empty
  EXPECT_EQ(object_depth, kDepth / 4);
  EXPECT_EQ(open_result, "UnexpectedEndOfInput");
  EXPECT_EQ(dup_result, "DuplicateField");
}

}  // namespace
}  // namespace skerrow
