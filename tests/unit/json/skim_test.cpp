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

TEST(TemplateSkim, TakesTheResultsTxids) {
  const struct {
    std::string_view text;
    bool has_transactions;
    std::vector<std::string_view> txids;
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
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto outline = skim_template(c.text, std::pmr::get_default_resource());
    ASSERT_TRUE(outline);
    EXPECT_EQ(outline->has_transactions, c.has_transactions);
    EXPECT_EQ(std::vector<std::string_view>(outline->txids.begin(), outline->txids.end()), c.txids);
  }
}

// "result", its "coinbaseaux" and that object's "flags", found as get_member finds them: keys
// decoded, whatever the blanks, and the same names elsewhere are other members.
TEST(TemplateSkim, FindsTheResultsCoinbaseauxFlagsAsGetMemberDoes) {
  const struct {
    std::string_view text;
    std::size_t result_close, aux_open = npos;
    bool aux_empty = false;
    std::size_t flags_close = npos;
    bool flags_other = false;
  } cases[] = {
      {R"({"result":{"coinbaseaux":{"flags":"ab\""}},"error":null})", 41, 25, false, 39},
      {R"({"flags":"t","a":{"coinbaseaux":{}},"result":{"x":{"flags":"n"},"co\u0069nbaseaux":{ "fl\u0061gs" : "e" } } })",
       106, 83, false, 102},
      {R"({"result":{"coinbaseaux":{ }}})", 28, 25, true},
      {R"({"result":{"coinbaseaux":{"flags":null}}})", 39, 25, false, npos, true},
      {R"({"result":{"coinbaseaux":[{"flags":"x"}]}})", 40},
      {R"({"result":{}})", 11},
      {R"({"result":[{"coinbaseaux":{}}]})", npos},
      {R"([{"result":{"coinbaseaux":{}}}])", npos},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto outline = skim_template(c.text, std::pmr::get_default_resource());
    ASSERT_TRUE(outline);
    EXPECT_EQ(outline->result_close, c.result_close);
    EXPECT_EQ(outline->aux_open, c.aux_open);
    EXPECT_EQ(outline->aux_empty, c.aux_empty);
    EXPECT_EQ(outline->flags_close, c.flags_close);
    EXPECT_EQ(outline->flags_other, c.flags_other);
  }
}

// Number forms the skim reads on paths of their own (a whole number's digits are passed over
// before a fraction or exponent is looked for): accepted as the strict reader accepts them.
TEST(TemplateSkim, AcceptsEveryNumberFormTheStrictReaderAccepts) {
  for (std::string_view text : {"[1E5]", "[1e5]", "[-1E+5]", "[0E-0]", "[1.5E5]", "[-0.5e-3]", "[10]", "[-0]"}) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(parse_json(text, std::pmr::get_default_resource(), JsonTexts::borrow));
    EXPECT_TRUE(skim_template(text, std::pmr::get_default_resource()));
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
