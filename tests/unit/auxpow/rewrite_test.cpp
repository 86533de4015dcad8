// Splicing the commitment and the aux fields into a parent template's text.
#include <gtest/gtest.h>

#include <limits>
#include <span>
#include <string>

#include "auxpow/rewrite.h"
#include "common/template_oracle.h"
#include "json/skim.h"
#include "support.h"

namespace skerrow {
namespace {

using testing::aux_fields_place;
using testing::commitment_place_from_tree;
using testing::rewrite_template;

std::string placed(std::string_view reply, const std::string& commitment) {
  const CommitmentPlace p = find_commitment_place(reply);
  if (!p.found) return std::string(reply);
  return std::string(reply.substr(0, p.pos)) + std::string(p.before) + commitment + std::string(p.after) +
         std::string(reply.substr(p.pos + p.erase));
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

TEST(Commitment, PlacementRulesInOrder) {
  const std::string c = "C";
  // A: appended to the flags text (first occurrence).
  EXPECT_EQ(placed(R"({"coinbaseaux":{"flags":"062f503253482f"},"x":{"flags":"ab"}})", c),
            R"({"coinbaseaux":{"flags":"062f503253482fC"},"x":{"flags":"ab"}})");
  EXPECT_EQ(placed(R"({"flags":""})", c), R"({"flags":"C"})");
  // A': a flags text that never closes leaves the reply alone, even with coinbaseaux present.
  EXPECT_EQ(placed(R"({"coinbaseaux":{},"flags":"abc)", c), R"({"coinbaseaux":{},"flags":"abc)");
  // B: empty coinbaseaux becomes an object holding only the flags.
  EXPECT_EQ(placed(R"({"coinbaseaux":{},"y":1})", c), R"({"coinbaseaux":{"flags":"C"},"y":1})");
  // C: flags inserted first into a non-empty coinbaseaux.
  EXPECT_EQ(placed(R"({"coinbaseaux":{"a":"1"}})", c), R"({"coinbaseaux":{"flags":"C","a":"1"}})");
  // D: in a reply that is not JSON, blanks inside the searched texts defeat every rule.
  EXPECT_EQ(placed(R"({"coinbaseaux": {}, "flags" : "x")", c), R"({"coinbaseaux": {}, "flags" : "x")");
  // E: the flags text ends at its first unescaped quote.
  EXPECT_EQ(placed(R"({"flags":"ab\"" x)", c), R"({"flags":"ab\"C" x)");
}

// A reply that parses is placed from its outline, and by the walk over its parsed tree alike:
// blanks between the tokens and escapes inside the flags text are no obstacle.
TEST(Commitment, ParsedRepliesArePlacedWhateverTheirSpacing) {
  const struct {
    std::string_view reply, expected;
  } cases[] = {
      {R"({"coinbaseaux":{"flags":"ab\""}})", R"({"coinbaseaux":{"flags":"ab\"C"}})"},
      {R"({"flags":"\\"})", R"({"flags":"\\C"})"},
      {R"({ "coinbaseaux" : { "flags" : "06" } })", R"({ "coinbaseaux" : { "flags" : "06C" } })"},
      {R"({"coinbaseaux" :{ } ,"y":1})", R"({"coinbaseaux":{"flags":"C"} ,"y":1})"},
      {R"({"coinbaseaux":	{"a":"1"}})", R"({"coinbaseaux":	{"flags":"C","a":"1"}})"},
      {R"({"a":[{"coinbaseaux":{"b":1}}],"coinbaseaux":{}})", R"({"a":[{"coinbaseaux":{"b":1}}],"coinbaseaux":{"flags":"C"}})"},
      {R"({"flags":1,"coinbaseaux":[]})", R"({"flags":1,"coinbaseaux":[]})"},
      {R"({"fl\u0061gs":"x"})", R"({"fl\u0061gs":"x"})"},
  };
  auto apply = [](std::string_view reply, const CommitmentPlace& p) {
    if (!p.found) return std::string(reply);
    return std::string(reply.substr(0, p.pos)) + std::string(p.before) + "C" + std::string(p.after) +
           std::string(reply.substr(p.pos + p.erase));
  };
  for (const auto& c : cases) {
    auto doc = parse_json(c.reply, std::pmr::get_default_resource(), JsonTexts::borrow);
    ASSERT_TRUE(doc) << c.reply;
    EXPECT_EQ(apply(c.reply, commitment_place_from_tree(c.reply, doc->root())), c.expected) << c.reply;
    auto outline = skim_template(c.reply, std::pmr::get_default_resource());
    ASSERT_TRUE(outline) << c.reply;
    EXPECT_EQ(apply(c.reply, find_commitment_place(*outline)), c.expected) << c.reply;
  }
}

TEST(AuxFieldsPlace, LastErrorMemberOrNothing) {
  EXPECT_EQ(aux_fields_place(R"({"result":{"a":{}},"error":null})"), 17u);
  EXPECT_EQ(aux_fields_place(R"({"result":{},"error":1,"x":{},"error":2})"), 28u);
  EXPECT_EQ(aux_fields_place("},\"error"), std::string_view::npos);
  EXPECT_EQ(aux_fields_place(R"({"result":{} ,"error":null})"), std::string_view::npos);
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

// Byte-exact splicing is checked end to end through the proxy; here the one-allocation build
// and the empty result object, which no daemon sends.
TEST(RewriteTemplate, BuildsInOnePieceAndKeepsAnEmptyResultValid) {
  Engine3 e;
  const std::string reply = R"({"result":{"coinbaseaux":{"flags":"062f"},"n" : 1.50},"error":null,"id":"q"})";
  auto out = rewrite_template(reply, e.work(), std::pmr::get_default_resource());
  ASSERT_TRUE(out);
  std::pmr::string fields;
  ASSERT_TRUE(append_aux_fields(e.work(), fields));
  EXPECT_EQ(out->size(), reply.size() + kCommitmentSize + 1 + fields.size());
  EXPECT_LE(out->capacity(), out->size() + 32);

  auto empty = rewrite_template(R"({"result":{},"error":null})", e.work(), std::pmr::get_default_resource());
  EXPECT_EQ(std::string_view(*empty), R"({"result":{)" + std::string(fields) + R"(},"error":null})");
}

// An empty or tiny parent reply (a daemon that answered nothing) is sent back as it is; the
// searches over it must not touch memory (found by fuzzing: memmem given an empty view).
TEST(RewriteTemplate, EmptyAndTinyRepliesPassUnchanged) {
  Engine3 e;
  for (std::string_view reply : {std::string_view(), std::string_view("{"), std::string_view("},\"erro")}) {
    auto out = rewrite_template(reply, e.work(), std::pmr::get_default_resource());
    ASSERT_TRUE(out);
    EXPECT_EQ(std::string_view(*out), reply);
    EXPECT_FALSE(find_commitment_place(reply).found);
  }
}

// The text built in one piece, the way a reader of the rules would: place the commitment,
// then put the fields before the last `},"error"` of the result.
std::string rewritten_at_once(std::string_view reply, const AuxWork& engine) {
  const auto c = commitment_text(engine.tree);
  std::string out = placed(reply, std::string(c.data(), c.size()));
  std::pmr::string fields;
  EXPECT_TRUE(append_aux_fields(engine, fields));
  const std::size_t at = aux_fields_place(out);
  if (at == std::string_view::npos) return out;
  out.insert(at, (at > 0 && out[at - 1] == '{' ? "" : ",") + std::string(fields));
  return out;
}

std::string joined(std::span<const std::string_view> pieces) {
  std::string out;
  for (std::string_view p : pieces) out += p;
  return out;
}

// Valid replies: the place is found by the byte search and from the skim's outline, and the
// walk over the parse tree must agree with the byte search. Some put `},"error"` across the
// end of the inserted text, one only inside a string, one where an escaped key spells "flags"
// but is no byte match.
TEST(SpliceTemplate, PiecesJoinToTheTextBuiltAtOnce) {
  Engine3 e;
  const std::string cases[] = {
      R"({"result":{"coinbaseaux":{"flags":"062f"},"n" : 1.50},"error":null,"id":"q"})",
      R"({"result":{"coinbaseaux":{}},"error":null,"id":1})",
      R"({"result":{"x":1,"coinbaseaux":{"a":"1"}},"error":null})",
      R"({"result":{"flags":"","coinbaseaux":{}},"error":{"code":1},"id":2})",
      R"({"result":{"txs":[{"flags":"ab"},{"coinbaseaux":{}}],"coinbaseaux":{"flags":"cd"}},"error":null})",
      R"({"result":{"s":"\"flags\":\"x","coinbaseaux":{}},"error":null})",
      R"({"result":{"fl\u0061gs":"x","coinbaseaux":{"flags":"y"}},"error":null})",
      R"({"result":{},"error":null})",
      R"({"result":{"s":"},\"error\""},"e":1})",
      R"([{"coinbaseaux":{}},"error"])",
  };
  for (const std::string& reply : cases) {
    SCOPED_TRACE(reply);
    const std::string want = rewritten_at_once(reply, e.work());
    TemplateSplice bytes(std::pmr::get_default_resource());
    ASSERT_TRUE(splice_template(reply, e.work(), bytes, nullptr));
    EXPECT_EQ(joined(bytes.pieces()), want);

    auto doc = parse_json(reply, std::pmr::get_default_resource(), JsonTexts::borrow);
    ASSERT_TRUE(doc);
    const CommitmentPlace a = find_commitment_place(reply);
    const CommitmentPlace b = commitment_place_from_tree(reply, doc->root());
    EXPECT_EQ(a.found, b.found);
    EXPECT_EQ(a.pos, b.pos);
    EXPECT_EQ(a.erase, b.erase);
    EXPECT_EQ(a.before, b.before);
    EXPECT_EQ(a.after, b.after);
    auto outline = skim_template(reply, std::pmr::get_default_resource());
    ASSERT_TRUE(outline);
    TemplateSplice skimmed(std::pmr::get_default_resource());
    ASSERT_TRUE(splice_template(reply, e.work(), skimmed, &*outline));
    EXPECT_EQ(joined(skimmed.pieces()), want);

    auto whole = rewrite_template(reply, e.work(), std::pmr::get_default_resource());
    ASSERT_TRUE(whole);
    EXPECT_EQ(std::string_view(*whole), want);
  }
}

}  // namespace
}  // namespace skerrow
