#include "config/config.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "config/scratch.h"

namespace skerrow {
namespace {

using skerrow::testing::ScratchDir;

class LoadConfig : public ::testing::Test {
 protected:
  Result<Config> load(std::string_view text) { return load_config(dir_.write("skerrow.conf", text)); }

  void expect_failure(std::string_view text, ErrorCode expected) {
    auto result = load(text);
    ASSERT_FALSE(result.has_value()) << text;
    EXPECT_EQ(result.error(), expected)
        << text << "\n  gave error." << error_name(result.error()) << ", expected error." << error_name(expected);
  }

  ScratchDir dir_;
};

std::string aux_array(std::size_t count) {
  std::string text = "[";
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) text += ",";
    text += R"({"chain_id":"c)" + std::to_string(i) + R"(","url":"127.0.0.1:)" + std::to_string(20000 + i) + R"("})";
  }
  return text + "]";
}

TEST_F(LoadConfig, SmallestFileTakesEveryDefault) {
  auto config = load(R"({"parent":{"url":"127.0.0.1"}})");
  ASSERT_TRUE(config.has_value()) << error_name(config.error());
  EXPECT_EQ(config->parent.endpoint.host, "127.0.0.1");
  EXPECT_EQ(config->parent.endpoint.port, 8332);
  EXPECT_EQ(config->parent.user, "");
  EXPECT_EQ(config->parent.pass, "");
  EXPECT_FALSE(config->parent_zmq_hashblock.has_value());
  EXPECT_EQ(config->listen, "127.0.0.1:8332");
  EXPECT_FALSE(config->zmq_pub.has_value());
  EXPECT_TRUE(config->aux_chains.empty());
  EXPECT_EQ(config->client_timeout_ms, 30000u);
  EXPECT_EQ(config->daemon_timeout_ms, 60000u);
  EXPECT_EQ(config->aux_refresh_ms, 5000u);
  EXPECT_EQ(config->aux_wait_ms, 500u);
  EXPECT_EQ(config->workers, 4u);
  EXPECT_EQ(config->max_connections, 1024u);
  EXPECT_EQ(config->request_memory_mb, 512u);
  EXPECT_EQ(config->work_retention_s, 600u);
  EXPECT_EQ(config->stop_timeout_ms, 10000u);
  EXPECT_FALSE(config->state_file.has_value());
  EXPECT_FALSE(config->metrics_listen.has_value());
  EXPECT_FALSE(config->redis.has_value());
  EXPECT_EQ(config->redis_wait_ms, 50u);
  EXPECT_FALSE(config->listen_user.has_value());
  EXPECT_FALSE(config->listen_pass.has_value());
  EXPECT_FALSE(config->allowed_methods.has_value());
  EXPECT_TRUE(config->document.has_value());
}

TEST_F(LoadConfig, ReadsEveryKey) {
  auto config = load(R"({
    "listen": "0.0.0.0:9000",
    "zmq_pub": "tcp://127.0.0.1:28400",
    "client_timeout_ms": 1500,
    "daemon_timeout_ms": 0,
    "aux_refresh_ms": 9223372036854775807,
    "listen_user": "pool",
    "listen_pass": "s\u00e9cret",
    "allowed_methods": ["getblocktemplate", "submitblock", ""],
    "state_file": "/var/lib/s.sqlite",
    "metrics_listen": "127.0.0.1:9100",
    "redis": {"url": "redis://10.0.0.5:6380", "pass": "rp", "db": 15, "prefix": "pool-a"},
    "redis_wait_ms": 20,
    "parent": {"url": "http://127.0.0.1:9332", "user": "pu", "pass": "pp",
               "zmq_hashblock": "tcp://127.0.0.1:28332"},
    "aux_chains": [
      {"chain_id": "doge", "url": "127.0.0.1:22555", "user": "du", "pass": "dp",
       "rpc_method": "createauxblock", "zmq_hashblock": "tcp://127.0.0.1:28555",
       "payout_address": "DPayout"},
      {"chain_id": "nmc", "url": "node2"}
    ]
  })");
  ASSERT_TRUE(config.has_value()) << error_name(config.error());
  EXPECT_EQ(config->listen, "0.0.0.0:9000");
  EXPECT_EQ(config->zmq_pub, "tcp://127.0.0.1:28400");
  EXPECT_EQ(config->client_timeout_ms, 1500u);
  EXPECT_EQ(config->daemon_timeout_ms, 0u);
  EXPECT_EQ(config->aux_refresh_ms, 9223372036854775807u);
  EXPECT_EQ(config->listen_user, "pool");
  EXPECT_EQ(config->listen_pass, "s\xc3\xa9" "cret");
  ASSERT_TRUE(config->allowed_methods.has_value());
  ASSERT_EQ(config->allowed_methods->size(), 3u);
  EXPECT_EQ((*config->allowed_methods)[0], "getblocktemplate");
  EXPECT_EQ((*config->allowed_methods)[1], "submitblock");
  EXPECT_EQ((*config->allowed_methods)[2], "");
  EXPECT_EQ(config->state_file, "/var/lib/s.sqlite");
  EXPECT_EQ(config->metrics_listen, "127.0.0.1:9100");
  ASSERT_TRUE(config->redis.has_value());
  EXPECT_EQ(config->redis->address.host, "10.0.0.5");
  EXPECT_EQ(config->redis->address.port, 6380);
  EXPECT_EQ(config->redis->pass, "rp");
  EXPECT_EQ(config->redis->db, 15u);
  EXPECT_EQ(config->redis->prefix, "pool-a");
  EXPECT_EQ(config->redis_wait_ms, 20u);

  EXPECT_EQ(config->parent.endpoint.host, "127.0.0.1");
  EXPECT_EQ(config->parent.endpoint.port, 9332);
  EXPECT_EQ(config->parent.user, "pu");
  EXPECT_EQ(config->parent.pass, "pp");
  EXPECT_EQ(config->parent_zmq_hashblock, "tcp://127.0.0.1:28332");

  ASSERT_EQ(config->aux_chains.size(), 2u);
  const AuxChainConfig& doge = config->aux_chains[0];
  EXPECT_EQ(doge.chain_id, "doge");
  EXPECT_EQ(doge.daemon.endpoint.host, "127.0.0.1");
  EXPECT_EQ(doge.daemon.endpoint.port, 22555);
  EXPECT_EQ(doge.daemon.user, "du");
  EXPECT_EQ(doge.daemon.pass, "dp");
  EXPECT_TRUE(doge.use_createauxblock);
  EXPECT_EQ(doge.zmq_hashblock, "tcp://127.0.0.1:28555");
  EXPECT_EQ(doge.payout_address, "DPayout");

  const AuxChainConfig& nmc = config->aux_chains[1];
  EXPECT_EQ(nmc.chain_id, "nmc");
  EXPECT_EQ(nmc.daemon.endpoint.host, "node2");
  EXPECT_EQ(nmc.daemon.endpoint.port, 8332);
  EXPECT_EQ(nmc.daemon.user, "");
  EXPECT_EQ(nmc.daemon.pass, "");
  EXPECT_FALSE(nmc.use_createauxblock);
  EXPECT_FALSE(nmc.zmq_hashblock.has_value());
  EXPECT_FALSE(nmc.payout_address.has_value());
}

TEST_F(LoadConfig, TextsOutliveTheFileAndMovesOfTheConfig) {
  std::string path = dir_.write("skerrow.conf",
                                R"({"parent":{"url":"daemon.local:1234","user":"alice"},"listen":"1.2.3.4:5"})");
  auto loaded = load_config(path);
  ASSERT_TRUE(loaded.has_value());
  // Overwrite the file: nothing may still refer to the bytes that were read from it.
  dir_.write("skerrow.conf", std::string(200, 'x'));
  Config moved = std::move(*loaded);
  Config again = std::move(moved);
  EXPECT_EQ(again.parent.endpoint.host, "daemon.local");
  EXPECT_EQ(again.parent.endpoint.port, 1234);
  EXPECT_EQ(again.parent.user, "alice");
  EXPECT_EQ(again.listen, "1.2.3.4:5");
}

// A url without a port takes Redis's, not the daemons' 8332; the rest of the object has defaults.
TEST_F(LoadConfig, RedisTakesItsOwnDefaults) {
  for (std::string_view url : {"localhost", "redis://localhost"}) {
    auto config = load(R"({"parent":{"url":"p"},"redis":{"url":")" + std::string(url) + "\"}}");
    ASSERT_TRUE(config.has_value()) << url << ": " << error_name(config.error());
    ASSERT_TRUE(config->redis.has_value());
    EXPECT_EQ(config->redis->address.host, "localhost");
    EXPECT_EQ(config->redis->address.port, 6379) << url;
    EXPECT_FALSE(config->redis->pass.has_value());
    EXPECT_EQ(config->redis->db, 0u);
    EXPECT_EQ(config->redis->prefix, "skerrow");
  }
}

TEST_F(LoadConfig, PresentEmptyTextsCountAsConfigured) {
  auto config = load(R"({"zmq_pub":"","listen":"","listen_user":"","allowed_methods":[],
                         "parent":{"url":"h","zmq_hashblock":"","user":""},
                         "aux_chains":[{"chain_id":"","url":"a","zmq_hashblock":"","payout_address":""}]})");
  ASSERT_TRUE(config.has_value()) << error_name(config.error());
  EXPECT_EQ(config->zmq_pub, "");
  EXPECT_EQ(config->listen, "");
  EXPECT_EQ(config->listen_user, "");
  ASSERT_TRUE(config->allowed_methods.has_value());
  EXPECT_TRUE(config->allowed_methods->empty());
  EXPECT_EQ(config->parent_zmq_hashblock, "");
  ASSERT_EQ(config->aux_chains.size(), 1u);
  EXPECT_EQ(config->aux_chains[0].zmq_hashblock, "");
  EXPECT_EQ(config->aux_chains[0].payout_address, "");
  EXPECT_EQ(config->aux_chains[0].chain_id, "");
}

TEST_F(LoadConfig, OnlyTheExactWordSelectsCreateAuxBlock) {
  const std::pair<std::string_view, bool> cases[] = {
      {R"("createauxblock")", true},  {R"("CreateAuxBlock")", false}, {R"("createauxblock ")", false},
      {R"("getauxblock")", false},    {R"("")", false},               {R"("createaux")", false},
  };
  for (const auto& [method, expected] : cases) {
    std::string text = R"({"parent":{"url":"p"},"aux_chains":[{"chain_id":"a","url":"u","rpc_method":)" +
                       std::string(method) + "}]}";
    auto config = load(text);
    ASSERT_TRUE(config.has_value()) << text;
    EXPECT_EQ(config->aux_chains.at(0).use_createauxblock, expected) << method;
  }
}

TEST_F(LoadConfig, IgnoresUnknownKeysAndOtherLetterCase) {
  auto config = load(R"({"Listen":"9.9.9.9:1","poll_interval_ms":100,"LISTEN_USER":"x","extra":{"a":[1,2]},
                         "parent":{"url":"p:1","URL":"q:2","User":"nobody"},
                         "aux_chains":[{"chain_id":"a","url":"u","Rpc_Method":"createauxblock","other":null}]})");
  ASSERT_TRUE(config.has_value()) << error_name(config.error());
  EXPECT_EQ(config->listen, "127.0.0.1:8332");
  EXPECT_FALSE(config->listen_user.has_value());
  EXPECT_EQ(config->parent.endpoint.host, "p");
  EXPECT_EQ(config->parent.user, "");
  EXPECT_FALSE(config->aux_chains.at(0).use_createauxblock);
}

TEST_F(LoadConfig, EmptyAuxListEqualsNoList) {
  auto config = load(R"({"parent":{"url":"p"},"aux_chains":[]})");
  ASSERT_TRUE(config.has_value());
  EXPECT_TRUE(config->aux_chains.empty());
}

TEST_F(LoadConfig, HoldsUpToOneChainPerMerkleLeaf) {
  auto full = load(R"({"parent":{"url":"p"},"aux_chains":)" + aux_array(32) + "}");
  ASSERT_TRUE(full.has_value()) << error_name(full.error());
  ASSERT_EQ(full->aux_chains.size(), 32u);
  EXPECT_EQ(full->aux_chains[31].chain_id, "c31");
  EXPECT_EQ(full->aux_chains[31].daemon.endpoint.port, 20031);

  expect_failure(R"({"parent":{"url":"p"},"aux_chains":)" + aux_array(33) + "}", ErrorCode::Overflow);
}

std::string backup_array(std::size_t count) {
  std::string text = "[";
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) text += ",";
    text += R"({"url":"10.0.0.)" + std::to_string(i + 1) + R"(:)" + std::to_string(9000 + i) + R"(","user":"u)" +
            std::to_string(i) + R"("})";
  }
  return text + "]";
}

// Backups keep their order and shape; an object without them has none, and eight is the most.
TEST_F(LoadConfig, ReadsBackupsOfEveryChainInOrder) {
  auto config = load(R"({"parent":{"url":"p","backups":[{"url":"b1:1","user":"u","pass":"w","zmq_hashblock":"tcp://z"},)"
                     R"({"url":"b2"}]},"aux_chains":[{"chain_id":"a","url":"u","backups":)" +
                     backup_array(8) + R"(},{"chain_id":"b","url":"v"}]})");
  ASSERT_TRUE(config.has_value()) << error_name(config.error());
  ASSERT_EQ(config->parent_backups.size(), 2u);
  EXPECT_EQ(config->parent_backups[0].daemon.endpoint.host, "b1");
  EXPECT_EQ(config->parent_backups[0].daemon.endpoint.port, 1);
  EXPECT_EQ(config->parent_backups[0].daemon.user, "u");
  EXPECT_EQ(config->parent_backups[0].daemon.pass, "w");
  EXPECT_EQ(config->parent_backups[0].zmq_hashblock, "tcp://z");
  EXPECT_EQ(config->parent_backups[1].daemon.endpoint.port, kDefaultPort);
  EXPECT_EQ(config->parent_backups[1].daemon.user, "");
  EXPECT_FALSE(config->parent_backups[1].zmq_hashblock.has_value());
  ASSERT_EQ(config->aux_chains[0].backups.size(), 8u);
  EXPECT_EQ(config->aux_chains[0].backups[7].daemon.endpoint.host, "10.0.0.8");
  EXPECT_EQ(config->aux_chains[0].backups[7].daemon.user, "u7");
  EXPECT_TRUE(config->aux_chains[1].backups.empty());

  expect_failure(R"({"parent":{"url":"p","backups":)" + backup_array(9) + "}}", ErrorCode::Overflow);
  expect_failure(R"({"parent":{"url":"p"},"aux_chains":[{"chain_id":"a","url":"u","backups":)" + backup_array(9) +
                     "}]}",
                 ErrorCode::Overflow);
}

struct FailureCase {
  std::string_view text;
  ErrorCode error;
};

TEST_F(LoadConfig, NamesEachFailure) {
  const FailureCase cases[] = {
      // Reading the JSON itself.
      {"", ErrorCode::UnexpectedEndOfInput},
      {" \t\r\n  ", ErrorCode::UnexpectedEndOfInput},
      {R"({"parent":{"url":"p"})", ErrorCode::UnexpectedEndOfInput},
      {R"({"parent":{"url":"p"},})", ErrorCode::SyntaxError},
      {R"({"parent":{"url":"p",}})", ErrorCode::SyntaxError},
      {"// comment\n{\"parent\":{\"url\":\"p\"}}", ErrorCode::SyntaxError},
      {R"({"parent":{"url":"a"},"parent":{"url":"b"}})", ErrorCode::DuplicateField},
      {R"({"parent":{"url":"a","url":"b"}})", ErrorCode::DuplicateField},
      {R"({"parent":{"url":"a"},"aux_chains":[{"chain_id":"x","chain_id":"x","url":"u"}]})",
       ErrorCode::DuplicateField},
      // Required settings.
      {"{}", ErrorCode::MissingParentConfig},
      {R"({"Parent":{"url":"p"}})", ErrorCode::MissingParentConfig},
      {R"({"parent":{}})", ErrorCode::MissingParentUrl},
      {R"({"parent":{"Url":"p"}})", ErrorCode::MissingParentUrl},
      {R"({"parent":{"url":"h:"}})", ErrorCode::InvalidPort},
      {R"({"parent":{"url":"h:65536"}})", ErrorCode::InvalidPort},
      {R"({"parent":{"url":"http://h:8332/"}})", ErrorCode::InvalidPort},
      {R"({"parent":{"url":"p"},"aux_chains":[{"chain_id":"a"}]})", ErrorCode::MissingField},
      {R"({"parent":{"url":"p"},"aux_chains":[{"url":"u"}]})", ErrorCode::MissingField},
      {R"({"parent":{"url":"p"},"aux_chains":[{"chain_id":"a","url":"u:x"}]})", ErrorCode::InvalidPort},
      {R"({"parent":{"url":"p"},"redis":{}})", ErrorCode::MissingField},
      {R"({"parent":{"url":"p"},"redis":{"url":"r:"}})", ErrorCode::InvalidPort},
      {R"({"parent":{"url":"p"},"redis":{"url":"r","db":16}})", ErrorCode::UnexpectedToken},
      {R"({"parent":{"url":"p","backups":[{"user":"u"}]}})", ErrorCode::MissingField},
      {R"({"parent":{"url":"p","backups":[{"url":"b:x"}]}})", ErrorCode::InvalidPort},
      {R"({"parent":{"url":"p"},"aux_chains":[{"chain_id":"a","url":"u","backups":[{}]}]})", ErrorCode::MissingField},
      // A top level or parent that is not an object.
      {"[]", ErrorCode::UnexpectedToken},
      {R"("parent")", ErrorCode::UnexpectedToken},
      {R"({"parent":"127.0.0.1"})", ErrorCode::UnexpectedToken},
  };
  for (const auto& c : cases) expect_failure(c.text, c.error);

  // A value of the wrong kind, each in a file that is otherwise complete.
  for (std::string_view parent : {R"("url":5)", R"("url":"p","user":5)", R"("url":"p","pass":false)",
                                  R"("url":"p","zmq_hashblock":{})", R"("url":"p","backups":{})",
                                  R"("url":"p","backups":["b"])", R"("url":"p","backups":[{"url":"b","pass":1}])",
                                  R"("url":"p","backups":[{"url":"b","zmq_hashblock":2}])"}) {
    expect_failure(R"({"parent":{)" + std::string(parent) + "}}", ErrorCode::UnexpectedToken);
  }
  for (std::string_view top : {R"("listen":8332)", R"("zmq_pub":null)", R"("aux_chains":{})", R"("aux_chains":[5])",
                               R"("listen_user":1)", R"("listen_pass":null)", R"("allowed_methods":"getwork")",
                               R"("allowed_methods":["getwork",1])", R"("state_file":1)",
                               R"("metrics_listen":false)", R"("redis":"127.0.0.1:6379")",
                               R"("redis":{"url":6379})", R"("redis":{"url":"r","pass":1})",
                               R"("redis":{"url":"r","db":"1"})", R"("redis":{"url":"r","prefix":null})"}) {
    expect_failure(R"({"parent":{"url":"p"},)" + std::string(top) + "}", ErrorCode::UnexpectedToken);
  }
  for (std::string_view chain : {R"("chain_id":1,"url":"u")", R"("chain_id":"a","url":1)",
                                 R"("chain_id":"a","url":"u","user":[])", R"("chain_id":"a","url":"u","pass":1)",
                                 R"("chain_id":"a","url":"u","rpc_method":true)",
                                 R"("chain_id":"a","url":"u","zmq_hashblock":1)",
                                 R"("chain_id":"a","url":"u","payout_address":5)",
                                 R"("chain_id":"a","url":"u","backups":null)"}) {
    expect_failure(R"({"parent":{"url":"p"},"aux_chains":[{)" + std::string(chain) + "}]}",
                   ErrorCode::UnexpectedToken);
  }
}

// Every numeric key: both edges of its range taken, anything outside it or not a plain
// non-negative integer refused.
TEST_F(LoadConfig, NumericKeysStayInRange) {
  struct Range {
    std::string_view key;
    std::uint64_t low, high;  // high 0: unbounded
    std::uint64_t Config::*u64 = nullptr;
    std::size_t Config::*size = nullptr;
  };
  const Range ranges[] = {
      {"client_timeout_ms", 0, 0, &Config::client_timeout_ms},
      {"daemon_timeout_ms", 0, 0, &Config::daemon_timeout_ms},
      {"aux_refresh_ms", 0, 0, &Config::aux_refresh_ms},
      {"aux_wait_ms", 0, 0, &Config::aux_wait_ms},
      {"stop_timeout_ms", 0, 0, &Config::stop_timeout_ms},
      {"redis_wait_ms", 0, 0, &Config::redis_wait_ms},
      {"work_retention_s", 1, 86400, &Config::work_retention_s},
      {"workers", 1, 256, nullptr, &Config::workers},
      {"max_connections", 1, 65536, nullptr, &Config::max_connections},
      {"request_memory_mb", 1, 65536, &Config::request_memory_mb},
  };
  for (const Range& r : ranges) {
    auto text = [&](std::string_view value) {
      return R"({"parent":{"url":"p"},")" + std::string(r.key) + "\":" + std::string(value) + "}";
    };
    const std::uint64_t edges[] = {r.low, r.high == 0 ? 9223372036854775807u : r.high};
    for (std::uint64_t edge : edges) {
      auto config = load(text(std::to_string(edge)));
      ASSERT_TRUE(config.has_value()) << r.key << "=" << edge;
      EXPECT_EQ(r.u64 ? (*config).*r.u64 : (*config).*r.size, edge) << r.key;
    }
    std::vector<std::string> refused = {"-1", "-9223372036854775808", "1.5", "1e3", "1.0", "-0",
                                        "18446744073709551616", R"("100")", "null", "true", "[100]"};
    if (r.low > 0) refused.push_back(std::to_string(r.low - 1));
    if (r.high > 0) refused.push_back(std::to_string(r.high + 1));
    for (const std::string& value : refused) expect_failure(text(value), ErrorCode::UnexpectedToken);
  }
}

TEST_F(LoadConfig, FirstFailureInLoadingOrderWins) {
  const FailureCase cases[] = {
      // The second of three chains has a bad port; the third lacks its id and is never looked at.
      {R"({"parent":{"url":"p"},"aux_chains":[{"chain_id":"a","url":"u:1"},{"chain_id":"b","url":"u:99999"},
           {"url":"u:3"}]})",
       ErrorCode::InvalidPort},
      // Within one chain the url comes before its other keys.
      {R"({"parent":{"url":"p"},"aux_chains":[{"url":"u:x","rpc_method":1}]})", ErrorCode::InvalidPort},
      {R"({"parent":{"url":"p"},"aux_chains":[{"url":"u","rpc_method":1}]})", ErrorCode::UnexpectedToken},
      {R"({"parent":{"url":"p"},"aux_chains":[{"url":"u","user":1}]})", ErrorCode::MissingField},
      // The parent's url is checked before any aux chain, the chains before the other settings.
      {R"({"parent":{},"aux_chains":[{"chain_id":"a","url":"u:x"}]})", ErrorCode::MissingParentUrl},
      {R"({"parent":{"url":"p:x"},"aux_chains":5})", ErrorCode::InvalidPort},
      {R"({"parent":{"url":"p","user":5},"aux_chains":[{"chain_id":"a","url":"u:x"}]})", ErrorCode::InvalidPort},
      {R"({"listen":5,"parent":{"url":"p"},"aux_chains":[{"url":"u"}]})", ErrorCode::MissingField},
      {R"({"client_timeout_ms":-1,"aux_chains":[]})", ErrorCode::MissingParentConfig},
      // Too many chains is known before any of them is read.
      {R"({"parent":{"url":"p"},"aux_chains":)" "[5,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5,5]}",
       ErrorCode::Overflow},
  };
  for (const auto& c : cases) expect_failure(c.text, c.error);
}

}  // namespace
}  // namespace skerrow
