// Splicing the commitment and the aux fields into a parent template's text.
#include <gtest/gtest.h>

#include <limits>
#include <span>
#include <string>

#include "auxpow/rewrite.h"
#include "common/template_oracle.h"
#include "json/reader.h"
#include "json/skim.h"
#include "support.h"

namespace skerrow {
namespace {

using testing::template_places;

std::string placed(std::string_view reply, const CommitmentPlace& p, std::string_view commitment) {
  if (!p.found) return std::string(reply);
  return std::string(reply.substr(0, p.pos)) + std::string(p.before) + std::string(commitment) +
         std::string(p.after) + std::string(reply.substr(p.pos));
}

TEST(Commitment, TextCarriesRootSizeAndNonceLittleEndian) {
  AuxTree tree;
  tree.root = test::hash_of("00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff");
  tree.tree_size = 2;
  tree.tree_nonce = 0x01020304;
  const auto text = commitment_text(tree);
  EXPECT_EQ(std::string_view(text.data(), text.size()),
            "fabe6d6d00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff0200000004030201");
}

// Only "result"."coinbaseaux" takes the commitment, found as a strict parse finds it (keys
// decoded, blanks anywhere); the skim's outline and the walk over the text agree on the place.
TEST(Commitment, PlacedInTheResultsCoinbaseauxOnly) {
  const struct {
    std::string_view reply, expected;  // expected == reply: no place
  } cases[] = {
      {R"({"result":{"coinbaseaux":{"flags":"ab\""}}})", R"({"result":{"coinbaseaux":{"flags":"ab\"C"}}})"},
      {R"({"result":{"coinbaseaux":{"flags":"\\"}}})", R"({"result":{"coinbaseaux":{"flags":"\\C"}}})"},
      {R"({ "result" : { "coinbaseaux" : { "flags" : "06" } } })",
       R"({ "result" : { "coinbaseaux" : { "flags" : "06C" } } })"},
      {R"({"result":{"coinbaseaux" :{ } ,"y":1}})", R"({"result":{"coinbaseaux" :{"flags":"C" } ,"y":1}})"},
      {R"({"result":{"coinbaseaux":	{"a":"1"}}})", R"({"result":{"coinbaseaux":	{"flags":"C","a":"1"}}})"},
      // A key written with escapes is that key: no second "flags" beside it.
      {R"({"result":{"coinb\u0061seaux":{"fl\u0061gs":"x"}}})", R"({"result":{"coinb\u0061seaux":{"fl\u0061gs":"xC"}}})"},
      // The same names elsewhere are other members.
      {R"({"flags":"t","result":{"x":{"flags":"n"},"transactions":[{"coinbaseaux":{}}],"coinbaseaux":{"flags":"e"}}})",
       R"({"flags":"t","result":{"x":{"flags":"n"},"transactions":[{"coinbaseaux":{}}],"coinbaseaux":{"flags":"eC"}}})"},
      // No place: "flags" not a string, "coinbaseaux" not an object or not in "result".
      {R"({"result":{"coinbaseaux":{"flags":1}}})", R"({"result":{"coinbaseaux":{"flags":1}}})"},
      {R"({"result":{"coinbaseaux":[],"flags":"x"}})", R"({"result":{"coinbaseaux":[],"flags":"x"}})"},
      {R"({"coinbaseaux":{},"result":{"x":{"coinbaseaux":{}}}})", R"({"coinbaseaux":{},"result":{"x":{"coinbaseaux":{}}}})"},
      {R"({"result":null,"error":{"coinbaseaux":{}}})", R"({"result":null,"error":{"coinbaseaux":{}}})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    auto outline = skim_template(c.reply, std::pmr::get_default_resource());
    ASSERT_TRUE(outline);
    EXPECT_EQ(placed(c.reply, find_commitment_place(*outline), "C"), c.expected);
    EXPECT_EQ(placed(c.reply, template_places(c.reply).commitment, "C"), c.expected);
  }
}

struct Engine3 {
  AuxEngine engine;
  Engine3() {
    const char* names[] = {"alpha", "be\"ta", "gam\\ma\n"};
    for (int i = 0; i < 3; ++i) {
      AuxChainState& s = engine.states.emplace_back();
      s.chain_id = names[i];
      const std::string hash = std::string(63, '0') + char('1' + i);
      std::copy(hash.begin(), hash.end(), s.templ.hash_hex.begin());
      const std::string target = std::string(62, '0') + "0" + char('1' + i);
      std::copy(target.begin(), target.end(), s.templ.target_hex.begin());
      s.templ.diff = 1.0 / 3.0 + i;
      s.templ.valid = true;
    }
    engine.tree.tree_size = 4;
    engine.tree.root = test::hash_of(std::string(62, 'a') + "bb");
  }
  // What a template is built from: the engine's state as it is now.
  const AuxWork& work() {
    take_aux_work(engine, taken);
    return taken;
  }
  AuxWork taken;
};

TEST(AuxFields, ListValidChainsWithPositionSlotsEscapedNamesAndNullForInfinity) {
  Engine3 e;
  e.engine.states[1].templ.valid = false;
  e.engine.states[2].templ.diff = std::numeric_limits<double>::infinity();
  std::pmr::string out;
  ASSERT_TRUE(append_aux_fields(e.work(), out));
  EXPECT_EQ(std::string_view(out), "\"aux_merkle_root\":\"" + std::string(62, 'a') + "bb\",\"aux_tree_size\":4,\"aux_tree_nonce\":0,"
                 "\"n_aux_chains\":2,\"aux_chains\":["
                 "{\"chain_id\":\"alpha\",\"hash\":\"" + std::string(63, '0') + "1\",\"target\":\"" +
                 std::string(63, '0') + "1\",\"diff\":0.333333,\"slot\":0},"
                 "{\"chain_id\":\"gam\\\\ma\\n\",\"hash\":\"" + std::string(63, '0') + "3\",\"target\":\"" +
                 std::string(63, '0') + "3\",\"diff\":null,\"slot\":2}]");
}

// A target text is kept even when it failed to decode, so it may hold any byte.
TEST(AuxFields, TargetTextCannotBreakOutOfItsString) {
  Engine3 e;
  e.engine.states.resize(1);
  const std::string bad = std::string(60, '0') + "\"}]x";
  std::copy(bad.begin(), bad.end(), e.engine.states[0].templ.target_hex.begin());
  std::pmr::string out;
  ASSERT_TRUE(append_aux_fields(e.work(), out));
  EXPECT_NE(std::string_view(out).find("\"target\":\"" + std::string(60, '0') + "\\\"}]x\""),
            std::string_view::npos)
      << out;
}

// The text built in one piece, the way a reader of the rules would: the commitment in its
// place, the fields before the closing '}' of "result".
std::string rewritten_at_once(std::string_view reply, const AuxWork& work) {
  const auto places = template_places(reply);
  std::pmr::string fields;
  EXPECT_TRUE(append_aux_fields(work, fields));
  std::string out(reply);
  out.insert(places.result_close, "," + std::string(fields));
  const auto c = commitment_text(work.tree);
  return placed(out, places.commitment, std::string_view(c.data(), c.size()));
}

std::string joined(std::span<const std::string_view> pieces) {
  std::string out;
  for (std::string_view p : pieces) out += p;
  return out;
}

// The pieces join to the text built at once, on replies whose "result" is written in any
// shape: with line breaks, blanks before its '}', members after it, `},"error"` inside texts.
TEST(SpliceTemplate, PiecesJoinToTheTextBuiltAtOnce) {
  Engine3 e;
  const std::string cases[] = {
      R"({"result":{"coinbaseaux":{"flags":"062f"},"n" : 1.50},"error":null,"id":"q"})",
      R"({"result":{"coinbaseaux":{}},"error":null,"id":1})",
      R"({"id":1,"result":{"x":1,"coinbaseaux":{"a":"1"}}})",
      "{\n  \"result\": {\n    \"coinbaseaux\": {\n      \"flags\": \"062f\"\n    }\n  },\n  \"error\": null\n}\n",
      R"({"result":{"s":"},\"error\"","coinbaseaux":{"flags":"cd"}} ,"e":{"result":{}},"error":null})",
  };
  for (const std::string& reply : cases) {
    SCOPED_TRACE(reply);
    auto outline = skim_template(reply, std::pmr::get_default_resource());
    ASSERT_TRUE(outline);
    TemplateSplice splice(std::pmr::get_default_resource());
    ASSERT_TRUE(splice_template(reply, e.work(), *outline, splice));
    const std::string joined_text = joined(splice.pieces());
    EXPECT_EQ(joined_text, rewritten_at_once(reply, e.work()));
    auto doc = parse_json(joined_text, std::pmr::get_default_resource(), JsonTexts::borrow);
    ASSERT_TRUE(doc);
    const JsonValue* result = get_member(doc->root(), "result");
    ASSERT_NE(result, nullptr);
    EXPECT_NE(get_member(*result, "aux_chains"), nullptr);
  }
}

}  // namespace
}  // namespace skerrow
