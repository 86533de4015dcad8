// Taking aux daemon replies into the chain state: which fields survive a bad reply, the
// difficulty figure and the log lines.
#include <gtest/gtest.h>

#include <cmath>

#include "auxpow/refresh.h"
#include "json/reader.h"
#include "support.h"

namespace skerrow {
namespace {

const std::string kHashA = "00000000000000000000000000000000000000000000000000000000000000aB";
const std::string kHashB = std::string(62, '1') + "22";
const std::string kTargetBits = std::string(56, '0') + "ffff0000";  // t[28] = t[29] = 0xff

Result<JsonDocument> reply(const std::string& result_members) {
  return parse_json(R"({"result":{)" + result_members + R"(},"error":null,"id":1})");
}

std::string member(const std::string& key, const std::string& text) { return "\"" + key + "\":\"" + text + "\""; }

TEST(TargetToDiff, ReadsTheTargetAsLittleEndianCutToItsTopByte) {
  Hash32 t{};
  EXPECT_TRUE(std::isinf(target_to_diff(t)));
  t[31] = 0x01;
  EXPECT_EQ(target_to_diff(t), 256.0);
  t = {};
  t[29] = 0xff;
  t[28] = 0xff;  // below the top byte: ignored
  EXPECT_EQ(target_to_diff(t), 16777216.0 / 255.0);
  t = {};
  t[0] = 0x01;
  EXPECT_EQ(target_to_diff(t), std::ldexp(1.0, 256));
}

TEST(ApplyAuxReply, GoodReplyFillsTheTemplateAndLogsIt) {
  AuxChainState s;
  s.chain_id = "dogecoin";
  test::CapturedStderr cap;
  apply_aux_reply(s, reply(member("hash", kHashA) + R"(,"chainid":4294967297,)" + member("target", kTargetBits)));
  cap.restore();
  EXPECT_TRUE(s.templ.valid);
  EXPECT_EQ(s.templ.hash_text(), kHashA);  // stored as sent, either case
  EXPECT_EQ(s.templ.hash, test::hash_of(kHashA));
  EXPECT_EQ(s.templ.chainid, 1u);  // 2^32 + 1 truncated
  EXPECT_EQ(s.templ.target_text(), kTargetBits);
  EXPECT_EQ(s.templ.diff, 16777216.0 / 255.0);
  EXPECT_EQ(cap.text(), "info(auxpow): aux template for dogecoin: hash=" + kHashA + " diff=65793.004\n");
}

TEST(ApplyAuxReply, UnderscoreTargetIsTakenOnlyWhenTargetIsAbsent) {
  AuxChainState s;
  s.chain_id = "c";
  test::CapturedStderr cap;
  const std::string t1 = std::string(62, '0') + "01";
  apply_aux_reply(s, reply(member("hash", kHashA) + "," + member("_target", t1)));
  EXPECT_EQ(s.templ.target_text(), t1);
  EXPECT_EQ(s.templ.diff, 256.0);
  apply_aux_reply(s, reply(member("hash", kHashA) + "," + member("target", kTargetBits) + "," +
                           member("_target", t1)));
  EXPECT_EQ(s.templ.target_text(), kTargetBits);
  // A "target" of the wrong form does not fall back to "_target": the old target stays.
  apply_aux_reply(s, reply(member("hash", kHashA) + R"(,"target":5,)" + member("_target", t1)));
  EXPECT_EQ(s.templ.target_text(), kTargetBits);
  EXPECT_FALSE(s.templ.valid);
}

TEST(ApplyAuxReply, FailuresAndBadFieldsKeepWhatTheRulesSayTheyKeep) {
  AuxChainState s;
  s.chain_id = "c";
  test::CapturedStderr cap;

  apply_aux_reply(s, reply(member("hash", kHashB) + R"(,"chainid":98,)" + member("target", kTargetBits)));
  EXPECT_TRUE(s.templ.valid);

  // Daemon error: no line, not valid, nothing else touched.
  apply_aux_reply(s, parse_json(R"({"result":null,"error":{"code":-1}})"));
  EXPECT_FALSE(s.templ.valid);
  EXPECT_EQ(s.templ.chainid, 98u);

  // A call that failed: warning line with the error name; another failure within the second
  // is left out of the log.
  apply_aux_reply(s, std::unexpected(ErrorCode::ConnectionRefused));
  apply_aux_reply(s, std::unexpected(ErrorCode::ConnectionTimedOut));
  EXPECT_FALSE(s.templ.valid);

  // 63-character hash: not valid, but chainid, target and diff still update and the line
  // shows the hash stored before.
  apply_aux_reply(s, reply(member("hash", kHashA.substr(1)) + R"(,"chainid":7,)" + member("target", kTargetBits)));
  EXPECT_FALSE(s.templ.valid);
  EXPECT_EQ(s.templ.chainid, 7u);
  EXPECT_EQ(s.templ.hash_text(), kHashB);

  // 64 characters with a bad digit: text kept, bytes up to the bad digit, nothing else read.
  const std::string bad = "ffff" + std::string(59, '0') + "g";
  apply_aux_reply(s, reply(member("hash", bad) + R"(,"chainid":9)"));
  EXPECT_FALSE(s.templ.valid);
  EXPECT_EQ(s.templ.hash_text(), bad);
  EXPECT_EQ(s.templ.hash[0], 0xff);
  EXPECT_EQ(s.templ.hash[1], 0xff);
  EXPECT_EQ(s.templ.chainid, 7u);

  // A target that cannot be read (absent, of another length, a bad digit) leaves the chain
  // out of this round with a warning; the old target is not touched.
  for (const std::string& target : {std::string(), "," + member("target", "01x" + std::string(61, '0')),
                                    "," + member("target", std::string(62, '0'))}) {
    apply_aux_reply(s, reply(member("hash", kHashB) + target));
    EXPECT_FALSE(s.templ.valid) << target;
    EXPECT_EQ(s.templ.target_text(), kTargetBits);
    EXPECT_EQ(s.templ.diff, 16777216.0 / 255.0);
  }
  cap.restore();

  const std::string no_target = "warning(auxpow): aux template for c has no usable target, chain left out\n";
  EXPECT_EQ(cap.text(),
            "info(auxpow): aux template for c: hash=" + kHashB + " diff=65793.004\n"
            "warning(auxpow): failed to get aux template for c: error.ConnectionRefused\n"
            "info(auxpow): aux template for c: hash=" + kHashB + " diff=65793.004\n" + no_target + no_target +
                no_target);
}

TEST(ApplyAuxReply, ControlBytesInAStoredHashCannotForgeLogLines) {
  AuxChainState s;
  s.chain_id = "c";
  test::CapturedStderr cap;
  const std::string evil = std::string(62, '0') + "\\n";  // JSON escape: a real line feed
  const std::string target = "," + member("target", kTargetBits);
  apply_aux_reply(s, reply(member("hash", evil) + target));          // 63 bytes decoded: ignored
  apply_aux_reply(s, reply(member("hash", evil + "0") + target));    // 64 bytes, bad digit: stored
  apply_aux_reply(s, reply(member("hash", "0") + target));          // logs the stored text
  cap.restore();
  const std::string text = cap.text();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
  EXPECT_NE(text.find(std::string(62, '0') + "\\x0a0 diff=65793.004\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace skerrow
