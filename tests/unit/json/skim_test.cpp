// The template skim: what it takes from a reply, and that it refuses what the strict reader
// refuses, with the same error (the fuzz target json_skim compares the two on any bytes).
#include "json/skim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/reader.h"

namespace skerrow {
namespace {

constexpr std::size_t npos = TemplateOutline::npos;

TEST(TemplateSkim, TakesTheResultsTxidsAndTheFirstCommitmentPlaces) {
  const struct {
    std::string_view text;
    bool has_transactions;
    std::vector<std::string_view> txids;
    std::size_t flags_close = npos, empty_aux_key = npos, empty_aux_end = npos, aux_open = npos;
  } cases[] = {
      // Data texts are passed over whatever they hold; a txid or key written with escapes is
      // read decoded, as get_member reads it.
      {R"({"result":{"transactions":[{"data":"0\"1\\\u00e9\ud83d\ude00","txid":"a"},{"t\u0078id":"b\u0063"}]}})",
       true, {"a", "bc"}},
      // Only elements of "result"."transactions" count, and of those only objects with a
      // string "txid"; the same names elsewhere are other members.
      {R"({"transactions":[{"txid":"t"}],"result":{"x":{"transactions":[{"txid":"x"}]},)"
       R"("transactions":[[{"txid":"n"}],{"tx":{"txid":"d"}},{"txid":7},{"txid":"e"}]}})",
       true, {"e"}},
      {R"({"result":{"transactions":[1]}})", true, {}},
      {R"({"result":{"transactions":[ ]}})", false, {}},
      {R"({"result":{"transactions":{"txid":"o"}}})", false, {}},
      {R"({"result":[{"transactions":[{"txid":"r"}]}]})", false, {}},
      {R"([{"result":{"transactions":[{"txid":"r"}]}}])", false, {}},
      // The first "flags" text in document order whose key is written without escapes.
      {R"({"a":{"fl\u0061gs":"x"},"b":[{"flags":1},{"flags":"ab\""}],"flags":"c"})", false, {}, 55},
      // The first empty and the first non-empty "coinbaseaux" object, at any depth.
      {R"({"x":{"coinbaseaux":{"a":{"coinbaseaux":{ }}}},"y":{"coinb\u0061seaux":{}},"z":{"coinbaseaux":{}}})",
       false, {}, npos, 26, 43, 20},
      {R"({ "coinbaseaux" : { } })", false, {}, npos, 2, 21},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto outline = skim_template(c.text, std::pmr::get_default_resource());
    ASSERT_TRUE(outline);
    EXPECT_EQ(outline->has_transactions, c.has_transactions);
    EXPECT_EQ(std::vector<std::string_view>(outline->txids.begin(), outline->txids.end()), c.txids);
    EXPECT_EQ(outline->flags_close, c.flags_close);
    EXPECT_EQ(outline->empty_aux_key, c.empty_aux_key);
    EXPECT_EQ(outline->empty_aux_end, c.empty_aux_end);
    EXPECT_EQ(outline->aux_open, c.aux_open);
  }
}

TEST(TemplateSkim, RefusesWhatTheStrictReaderRefusesWithItsError) {
  std::string wide = "{";  // past the plain scan of a few keys, a repeat is found by hashing
  for (char k = 'a'; k <= 'z'; ++k) wide += std::string("\"") + k + "\":1,";
  wide += R"("\u0061":2})";
  const struct {
    std::string text;
    std::string_view error;
  } cases[] = {
      {R"({"result":{"transactions":[{"txid":"a","txid":"b"}]}})", "DuplicateField"},
      {wide, "DuplicateField"},
      // A repeat counts once its value is complete, so a fault inside that value comes first.
      {R"({"a":1,"a":[1,]})", "SyntaxError"},
      {"{\"result\":{\"transactions\":[{\"data\":\"00\x01\"}]}}", "SyntaxError"},
      {"{\"data\":\"\xC0\x80\"}", "SyntaxError"},
      {R"({"data":"\ud800"})", "SyntaxError"},
      {R"({"data":"\x"})", "SyntaxError"},
      {R"({"result":{}} x)", "SyntaxError"},
      {R"({"result":{"transactions":[{"data":"0000)", "UnexpectedEndOfInput"},
      {R"({"result":{"coinbaseaux":{)", "UnexpectedEndOfInput"},
      {"", "UnexpectedEndOfInput"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto outline = skim_template(c.text, std::pmr::get_default_resource());
    ASSERT_FALSE(outline);
    EXPECT_EQ(error_name(outline.error()), c.error);
    auto doc = parse_json(c.text, std::pmr::get_default_resource(), JsonTexts::borrow);
    ASSERT_FALSE(doc);
    EXPECT_EQ(error_name(doc.error()), c.error);
  }
}

}  // namespace
}  // namespace skerrow
