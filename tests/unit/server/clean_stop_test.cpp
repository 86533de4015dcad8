#include "server/clean_stop.h"

#include <string>

#include <gtest/gtest.h>

namespace skerrow {
namespace {

// Resources are closed in the reverse order of their opening (a store opened after the log it
// writes to closes first), and a hook never runs twice.
TEST(CleanStopHooks, RunLastRegisteredFirstAndOnlyOnce) {
  std::string order;
  for (char name : std::string("abc")) {
    ASSERT_TRUE(on_clean_stop([&order, name] { order += name; }));
  }
  run_clean_stop_hooks();
  EXPECT_EQ(order, "cba");
  run_clean_stop_hooks();
  EXPECT_EQ(order, "cba");
}

}  // namespace
}  // namespace skerrow
