// The error vocabulary and the one place where allocation failures become OutOfMemory.
#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "error/error.h"

namespace skerrow {
namespace {

TEST(ErrorNames, CoverTheWholeVocabulary) {
  EXPECT_EQ(error_name(ErrorCode::OutOfMemory), "OutOfMemory");
  EXPECT_EQ(error_name(ErrorCode::MappingAlreadyExists), "MappingAlreadyExists");
  EXPECT_EQ(error_name(ErrorCode::ZmqConnectFailed), "ZmqConnectFailed");
  EXPECT_EQ(static_cast<std::size_t>(ErrorCode::MappingAlreadyExists), kErrorCount);
  // Every name is distinct and non-empty.
  std::vector<std::string_view> names;
  for (std::size_t i = 1; i <= kErrorCount; ++i) names.push_back(error_name(static_cast<ErrorCode>(i)));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::adjacent_find(names.begin(), names.end()), names.end());
  for (auto n : names) EXPECT_FALSE(n.empty());
}

TEST(CatchOom, AllocationFailuresBecomeOutOfMemoryAndOtherExceptionsPass) {
  EXPECT_EQ(catch_oom([]() -> Result<int> { return 7; }), Result<int>(7));
  EXPECT_EQ(catch_oom([]() -> Result<int> { return fail(ErrorCode::Timeout); }).error(), ErrorCode::Timeout);
  EXPECT_EQ(catch_oom([]() -> Result<int> { throw std::bad_alloc(); }).error(), ErrorCode::OutOfMemory);
  EXPECT_EQ(catch_oom([]() -> Status { std::string(std::string().max_size() + 1, 'x'); return {}; }).error(),
            ErrorCode::OutOfMemory);
  EXPECT_THROW(catch_oom([]() -> Status { throw std::runtime_error("not memory"); }), std::runtime_error);
  // The body runs once, and a move-only result is handed back as is.
  int runs = 0;
  auto owned = catch_oom([&]() -> Result<std::unique_ptr<int>> {
    ++runs;
    return std::make_unique<int>(3);
  });
  EXPECT_EQ(runs, 1);
  ASSERT_TRUE(owned);
  EXPECT_EQ(**owned, 3);
}

}  // namespace
}  // namespace skerrow
