// The submission flow as data: the plan names the chain and the request, the daemon's answer
// becomes the pool's reply, and an accepted block asks for the chain's next template at once.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>

#include "auxpow/snapshot_store.h"
#include "auxpow/submission.h"
#include "support.h"

namespace skerrow {
namespace {

const std::string kHash = std::string(62, '0') + "ab";

TEST(Submission, AcceptedBlockAsksForTheChainsNextTemplate) {
  test::TwoChains t;
  test::CapturedStderr quiet;
  const std::string body = R"({"params":["b:)" + kHash + R"(:00:)" + std::string(160, '0') + R"("]})";
  auto plan = plan_submission(body, t.engine, std::pmr::get_default_resource());
  ASSERT_TRUE(plan);
  // No commitment in a one-byte coinbase: answered at once, nothing to post.
  EXPECT_EQ(plan->answer, R"({"result":null,"error":{"code":-1,"message":"no AuxPoW commitment in coinbase"},"id":null})");

  const std::uint64_t before = t.engine.states[1].stale;
  SubmitPlan posted;
  posted.chain = 1;
  posted.chain_id = "b";
  auto reply = finish_submission(t.engine, posted, parse_json(R"({"result":true,"error":null})"),
                                 std::pmr::get_default_resource());
  ASSERT_TRUE(reply);
  EXPECT_EQ(std::string_view(*reply), R"({"result":"true","error":null,"id":null})");
  EXPECT_GT(t.engine.states[1].stale, before);
  EXPECT_EQ(t.engine.states[0].stale, 0u);

  auto refused = finish_submission(t.engine, posted,
                                   parse_json(R"({"result":null,"error":{"code":-8,"message":"stale"}})"),
                                   std::pmr::get_default_resource());
  ASSERT_TRUE(refused);
  EXPECT_EQ(std::string_view(*refused), R"({"result":null,"error":{"code":-8,"message":"stale"},"id":null})");
}

}  // namespace
}  // namespace skerrow
