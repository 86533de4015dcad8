#include "http/access.h"

#include <array>
#include <string>

#include <gtest/gtest.h>

#include "proxy/dispatch.h"

namespace skerrow {
namespace {

// Base64 of "pool:pw".
constexpr std::string_view kPoolPw = "cG9vbDpwdw==";

TEST(FindAuthorization, NameFoldedBlanksBeforeColonFirstLineWins) {
  EXPECT_EQ(find_authorization("POST / HTTP/1.1\r\nHost: x\r\nAuthorization: Basic abc \r\n"),
            "Basic abc");
  EXPECT_EQ(find_authorization("POST /\r\naUTHORIZATION\t :Basic a"), "Basic a");
  EXPECT_EQ(find_authorization("POST /\nauthorization: one\nAuthorization: two"), "one");
  EXPECT_EQ(find_authorization("POST /\r\nAuthorization:"), "");
  // Another name that merely begins with the word is a different header.
  EXPECT_EQ(find_authorization("POST /\r\nAuthorizations: Basic a\r\nX-Authorization: b"),
            std::nullopt);
  EXPECT_EQ(find_authorization("POST /\r\nAuthorization Basic a"), std::nullopt);
  EXPECT_EQ(find_authorization(""), std::nullopt);
}

TEST(BasicCredentials, OnlyTheExactPairMatches) {
  const std::string right = "Basic " + std::string(kPoolPw);
  EXPECT_TRUE(basic_credentials_match(right, "pool", "pw"));
  EXPECT_TRUE(basic_credentials_match("bAsIc \t cG9vbDpwdw==", "pool", "pw"));
  EXPECT_FALSE(basic_credentials_match(right, "pool", "pW"));
  EXPECT_FALSE(basic_credentials_match(right, "Pool", "pw"));
  EXPECT_FALSE(basic_credentials_match(right, "poo", "lpw"));    // same bytes split elsewhere: "poo:lpw"
  EXPECT_FALSE(basic_credentials_match("Basic cG9vbDpw", "pool", "pw"));       // "pool:p"
  EXPECT_FALSE(basic_credentials_match("Basic cG9vbDpwd3g=", "pool", "pw"));   // "pool:pwx"
  EXPECT_FALSE(basic_credentials_match("Basic cG9vbDpwdwA=", "pool", "pw"));   // "pool:pw\0"
  EXPECT_FALSE(basic_credentials_match("Basic cG9vOnB3", "pool", "pw"));       // "poo:pw"
  // A colon in the password belongs to the password.
  EXPECT_TRUE(basic_credentials_match("Basic cG9vbDphOmI=", "pool", "a:b"));
  EXPECT_TRUE(basic_credentials_match("Basic cMOpb2w6cHc=", "p\xc3\xa9ol", "pw"));
  // Empty user and password: the credentials are a lone colon.
  EXPECT_TRUE(basic_credentials_match("Basic Og==", "", ""));
  EXPECT_FALSE(basic_credentials_match("Basic Og==", "", "x"));
}

TEST(BasicCredentials, MalformedTextNeverMatches) {
  for (std::string_view value : {
           "cG9vbDpwdw==",                 // no scheme
           "Bearer cG9vbDpwdw==",
           "Basiccg9vbDpwdw==",            // no blank after the scheme
           "Basic",
           "Basic ",
           "Basic cG9vbDpwdw",             // padding left out
           "Basic cG9vbDpwdw=",            // length not a multiple of four
           "Basic cG9v=DpwdwA=",           // padding in the middle
           "Basic cG9vbDp===",             // three padding characters
           "Basic cG9vbDpwdw==x",
           "Basic cG9vbDpwdw== extra",
           "Basic cG9vbDpw!w==",
           "Basic cG9v bDpwdw==",
       }) {
    EXPECT_FALSE(basic_credentials_match(value, "pool", "pw")) << value;
  }
}

TEST(ClientAuthorized, RequiredOnlyWhenAUserIsConfigured) {
  const std::string head = "POST / HTTP/1.1\r\nauthorization: Basic " + std::string(kPoolPw);
  ClientAccess open;
  EXPECT_TRUE(client_authorized("POST / HTTP/1.1", open));
  ClientAccess closed{"pool", "pw", std::nullopt};
  EXPECT_TRUE(client_authorized(head, closed));
  EXPECT_FALSE(client_authorized("POST / HTTP/1.1\r\nHost: x", closed));
  // An empty configured user still demands credentials.
  ClientAccess empty_user{"", "", std::nullopt};
  EXPECT_FALSE(client_authorized("POST / HTTP/1.1", empty_user));
  EXPECT_TRUE(client_authorized("POST /\r\nAuthorization: Basic Og==", empty_user));
}

const std::array<std::string_view, 3> kAllowed = {"getblocktemplate", "getblockcount", "submitblock"};

MethodCheck checked(std::string_view body) {
  PageArena arena;
  auto check = check_method(body, find_method(body), kAllowed, &arena);
  EXPECT_TRUE(check);
  MethodCheck out;
  if (!check) return out;
  out.allowed = check->allowed;
  static std::string refused;  // outlives the arena for the caller's comparison
  refused = check->refused;
  out.refused = refused;
  return out;
}

TEST(CheckMethod, OnlyListedMethodsReachADaemonHoweverTheBodyIsWritten) {
  EXPECT_TRUE(checked(R"({"method":"getblockcount","params":[],"id":1})").allowed);
  EXPECT_TRUE(checked(R"([{"method":"getblockcount"},{"method":"submitblock","params":["00"]}])").allowed);
  struct Case {
    std::string_view body;
    std::string_view named;
  };
  for (const Case& c : std::initializer_list<Case>{
           {R"({"method":"stop"})", "stop"},
           {R"({"params":[]})", ""},                                // no method at all
           {"{\"method\":\n\"getblockcount\"}", ""},                 // the byte search finds none
           // A listed name nested ahead of the method the daemon runs.
           {R"({"params":[{"method":"getblockcount"}],"method":"stop"})", "stop"},
           // A batch runs every element.
           {R"([{"method":"getblockcount"},{"method":"stop"}])", "stop"},
           {R"([{"method":"getblockcount"},"stop"])", ""},
           {R"([])", ""},
           // The daemon decodes escapes in keys.
           {R"({"params":[{"method":"getblockcount"}],"m\u0065thod":"stop"})", "stop"},
           // The listed name found, but the daemon's method is missing or not a string.
           {R"({"params":{"method":"getblockcount"}})", ""},
           {R"({"params":{"method":"getblockcount"},"method":["stop"]})", ""},
           // Repeated keys, or text that is not JSON, leave the daemon's choice unknown.
           {R"({"method":"getblockcount","method":"stop"})", ""},
           {R"({"method":"getblockcount"} {"method":"stop"})", ""},
           {R"({"method":"getblockcount")", ""},
       }) {
    MethodCheck check = checked(c.body);
    EXPECT_FALSE(check.allowed) << c.body;
    EXPECT_EQ(check.refused, c.named) << c.body;
  }
}

}  // namespace
}  // namespace skerrow
