#include "http/access.h"

#include <gtest/gtest.h>

namespace skerrow {
namespace {

TEST(FindMethod, ValueAfterFirstMethodKey) {
  EXPECT_EQ(find_method(R"({"method":"getblocktemplate","params":[]})"), "getblocktemplate");
  EXPECT_EQ(find_method("{\"method\" \t: \t\"getbestblockhash\"}"), "getbestblockhash");
  EXPECT_EQ(find_method(R"({"id":1,"method":"")"), "");
  // The first occurrence wins, even nested inside params ahead of the top-level key.
  EXPECT_EQ(find_method(R"({"params":[{"method":"submitauxblock"}],"method":"getblocktemplate"})"),
            "submitauxblock");
  // No escape processing: the name ends at the next quote.
  EXPECT_EQ(find_method(R"({"method":"a\"b"})"), "a\\");
}

TEST(FindMethod, AbsentCases) {
  EXPECT_EQ(find_method(""), std::nullopt);
  EXPECT_EQ(find_method(R"({"params":[]})"), std::nullopt);
  EXPECT_EQ(find_method("{\"method\":\n\"getblocktemplate\"}"), std::nullopt);  // line break
  EXPECT_EQ(find_method(R"({"method":1})"), std::nullopt);
  EXPECT_EQ(find_method(R"({"method":)"), std::nullopt);      // ends after the key
  EXPECT_EQ(find_method(R"({"method":"unterminated)"), std::nullopt);
  EXPECT_EQ(find_method(R"({"Method":"getblocktemplate"})"), std::nullopt);
}

}  // namespace
}  // namespace skerrow
