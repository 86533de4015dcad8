// The getblocktemplate answer on arbitrary parent replies, with one fixed engine state:
// the text splice (commitment into the coinbase flags, aux fields into "result") and the
// coinbase merkle branch read from the reply's transaction ids.
//
// The splice is held against a plain re-statement of its rules, which also shows that no
// byte of the reply outside the two insertions is changed. The branch must prove the
// coinbase: folding any coinbase hash up the branch gives the merkle root of the template's
// transactions with that coinbase first.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../unit/common/template_oracle.h"
#include "auxpow/coinbase.h"
#include "auxpow/hash.h"
#include "auxpow/rewrite.h"
#include "auxpow/work.h"
#include "fuzz_check.h"
#include "json/reader.h"

namespace {

using skerrow::AuxEngine;
using skerrow::Hash32;

constexpr char kHex[] = "0123456789abcdef";

std::string hex_of(const std::uint8_t* bytes, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(kHex[bytes[i] >> 4]);
    out.push_back(kHex[bytes[i] & 15]);
  }
  return out;
}

void set_chain(skerrow::AuxChainState& state, std::string_view name, std::string_view hash_hex, double diff,
               bool valid) {
  state.chain_id = name;
  std::copy(hash_hex.begin(), hash_hex.end(), state.templ.hash_hex.begin());
  std::fill(state.templ.target_hex.begin(), state.templ.target_hex.end(), '0');
  state.templ.target_hex[0] = '7';
  state.templ.diff = diff;
  state.templ.valid = valid;
}

AuxEngine& engine() {
  static AuxEngine* e = [] {
    auto* made = new AuxEngine;
    made->states.resize(3);
    set_chain(made->states[0], "alpha", "00000000000000000000000000000000000000000000000000000000000000AB", 1.5,
              true);
    set_chain(made->states[1], "beta", "1111111111111111111111111111111111111111111111111111111111111111", 2.0,
              false);
    set_chain(made->states[2], "we\"ird", "2222222222222222222222222222222222222222222222222222222222222222",
              std::numeric_limits<double>::infinity(), true);
    made->tree.tree_size = 4;
    made->tree.tree_nonce = 0x01020304;
    for (std::size_t i = 0; i < 32; ++i) made->tree.root[i] = static_cast<std::uint8_t>(0xc0 + i);
    return made;
  }();
  return *e;
}

const skerrow::AuxWork& work() {
  static skerrow::AuxWork* w = [] {
    auto* made = new skerrow::AuxWork;
    skerrow::take_aux_work(engine(), *made);
    return made;
  }();
  return *w;
}

// The commitment and the aux fields as the pool must see them for the engine above.
std::string commitment() {
  const AuxEngine& e = engine();
  return "fabe6d6d" + hex_of(e.tree.root.data(), 32) + "04000000" + "04030201";
}

std::string aux_fields() {
  const AuxEngine& e = engine();
  return "\"aux_merkle_root\":\"" + hex_of(e.tree.root.data(), 32) +
         "\",\"aux_tree_size\":4,\"aux_tree_nonce\":16909060,\"n_aux_chains\":2,\"aux_chains\":["
         "{\"chain_id\":\"alpha\",\"hash\":\"00000000000000000000000000000000000000000000000000000000000000AB\","
         "\"target\":\"7000000000000000000000000000000000000000000000000000000000000000\",\"diff\":1.500000,"
         "\"slot\":0},"
         "{\"chain_id\":\"we\\\"ird\",\"hash\":\"2222222222222222222222222222222222222222222222222222222222222222\","
         "\"target\":\"7000000000000000000000000000000000000000000000000000000000000000\",\"diff\":null,"
         "\"slot\":2}]";
}

// Unchanged unless the reply parses strictly and has a place for the commitment; then the
// commitment in that place and the aux fields before the closing '}' of "result".
std::string expected_rewrite(std::string_view r) {
  if (!skerrow::parse_json(r, std::pmr::new_delete_resource())) return std::string(r);
  const skerrow::testing::TemplatePlaces places = skerrow::testing::template_places(r);
  const skerrow::CommitmentPlace& c = places.commitment;
  if (!c.found) return std::string(r);
  return std::string(r.substr(0, c.pos)) + std::string(c.before) + commitment() + std::string(c.after) +
         std::string(r.substr(c.pos, places.result_close - c.pos)) + "," + aux_fields() +
         std::string(r.substr(places.result_close));
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The transaction ids of the reply (internal order), read independently of the engine;
// nullopt when the reply has no non-empty "result"."transactions" array.
std::optional<std::vector<Hash32>> reply_txids(const skerrow::JsonValue& root) {
  const skerrow::JsonValue* result = skerrow::get_member(root, "result");
  if (result == nullptr || !result->is_object()) return std::nullopt;
  const skerrow::JsonValue* txs = skerrow::get_member(*result, "transactions");
  if (txs == nullptr || !txs->is_array() || txs->items().empty()) return std::nullopt;
  std::vector<Hash32> ids;
  for (const skerrow::JsonValue& tx : txs->items()) {
    const skerrow::JsonValue* txid = skerrow::get_member(tx, "txid");
    if (txid == nullptr || !txid->is_string() || txid->as_text().size() != 64) continue;
    Hash32 id;
    bool ok = true;
    for (std::size_t i = 0; i < 32 && ok; ++i) {
      const int hi = hex_digit(txid->as_text()[2 * i]);
      const int lo = hex_digit(txid->as_text()[2 * i + 1]);
      ok = hi >= 0 && lo >= 0;
      // Display order in the text, internal order in the tree.
      id[31 - i] = static_cast<std::uint8_t>(hi * 16 + lo);
    }
    if (ok) ids.push_back(id);
  }
  return ids;
}

Hash32 merkle_root(std::vector<Hash32> level) {
  while (level.size() > 1) {
    if (level.size() % 2 != 0) level.push_back(level.back());
    std::vector<Hash32> up;
    for (std::size_t i = 0; i < level.size(); i += 2) up.push_back(skerrow::hash_pair(level[i], level[i + 1]));
    level = std::move(up);
  }
  return level[0];
}

void check_branch(std::string_view reply) {
  std::pmr::memory_resource* memory = std::pmr::new_delete_resource();
  auto doc = skerrow::parse_json(reply, memory);
  if (!doc) return;
  auto level = skerrow::template_tree_level(doc->root(), memory);
  FUZZ_CHECK(level.has_value());
  const auto ids = reply_txids(doc->root());
  FUZZ_CHECK(level->has_value() == ids.has_value());
  if (!ids) return;
  std::vector<Hash32> hashes((*level)->begin(), (*level)->end());
  FUZZ_CHECK(hashes.size() == ids->size() + 1);
  FUZZ_CHECK(hashes[0] == Hash32{});
  for (std::size_t i = 0; i < ids->size(); ++i) FUZZ_CHECK(hashes[i + 1] == (*ids)[i]);
  auto folded = skerrow::fold_coinbase_branch(**level);
  FUZZ_CHECK(folded.has_value() == (ids->size() <= skerrow::kMaxBranchTransactions));
  if (!folded) return;
  const skerrow::CoinbaseBranch& branch = *folded;
  std::size_t depth = 0;
  while ((std::size_t{1} << depth) < hashes.size()) ++depth;
  FUZZ_CHECK(branch.length == depth);
  const std::span<const Hash32> path(branch.hashes.data(), branch.length);
  FUZZ_CHECK(skerrow::root_from_coinbase(hashes[0], path) == merkle_root(hashes));
  // Any coinbase, not just the placeholder, is proven by the same branch.
  Hash32 coinbase;
  for (std::size_t i = 0; i < 32; ++i) coinbase[i] = static_cast<std::uint8_t>(i * 7 + 1);
  hashes[0] = coinbase;
  FUZZ_CHECK(skerrow::root_from_coinbase(coinbase, path) == merkle_root(hashes));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<char> copy(data, data + size);
  const std::string_view reply(copy.data(), copy.size());

  auto rewritten = skerrow::testing::rewrite_template(reply, work(), std::pmr::new_delete_resource());
  FUZZ_CHECK(rewritten.has_value());
  FUZZ_CHECK(std::string_view(*rewritten) == expected_rewrite(reply));

  check_branch(reply);
  return 0;
}
