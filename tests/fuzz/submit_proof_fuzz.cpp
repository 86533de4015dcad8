// A pool's submitauxblock body, read the way the handler reads it, turned into an AuxPoW
// proof against a fixed set of snapshots; the daemon call is left out. Every proof built is
// taken apart again: its length follows the layout, it carries the coinbase and header it was
// given, the coinbase branch of the right snapshot, and an aux branch that leads from the
// chain's slot to the root of that snapshot's tree (recomputed here from its leaves).
#include <algorithm>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "auxpow/coinbase.h"
#include "auxpow/hash.h"
#include "auxpow/snapshot.h"
#include "auxpow/snapshot_store.h"
#include "auxpow/work.h"
#include "auxpow/submit.h"
#include "auxpow/tx.h"
#include "fuzz_check.h"

namespace {

using skerrow::AuxEngine;
using skerrow::AuxSnapshot;
using skerrow::Hash32;
using skerrow::ProofOutcome;

Hash32 filled_hash(std::uint8_t seed) {
  Hash32 h;
  for (std::size_t i = 0; i < 32; ++i) h[i] = static_cast<std::uint8_t>(seed + 13 * i);
  return h;
}

// The roots the seed corpus commits to: 0x5a.. (two snapshots, one whose coinbase branch
// matches the seed coinbase) and 0xa5.. (a tree of eight leaves).
constexpr std::uint8_t kRootA = 0x5a;
constexpr std::uint8_t kRootB = 0xa5;

// The seed coinbase's txid is folded with these three transactions into the header root.
std::vector<Hash32> template_transactions() { return {filled_hash(1), filled_hash(2), filled_hash(3)}; }

skerrow::CoinbaseBranch branch_over(std::vector<Hash32> level) {
  auto branch = skerrow::fold_coinbase_branch(level);
  FUZZ_CHECK(branch.has_value());
  return *branch;
}

// Every snapshot stored, oldest first, as the oracle below reads them.
std::vector<AuxSnapshot>& saved() {
  static auto* list = new std::vector<AuxSnapshot>;
  return *list;
}

// Stores what a template answered now would commit to, one second after the one before.
void save(AuxEngine& engine, const skerrow::CoinbaseBranch& branch) {
  static skerrow::StoreTime now = skerrow::store_now();  // a find judges expiry by the clock
  skerrow::AuxWork work;
  skerrow::take_aux_work(engine, work);
  FUZZ_CHECK(skerrow::save_snapshot(engine, work, branch, ++now).has_value());
  auto tree = skerrow::tree_part_of(work);
  FUZZ_CHECK(tree.has_value());
  saved().push_back(skerrow::make_snapshot(*tree, {branch.hashes.data(), branch.length}));
}

AuxEngine& engine() {
  static AuxEngine* e = [] {
    auto* made = new AuxEngine;
    made->store = std::make_shared<skerrow::MemorySnapshotStore>(86400);
    made->states.resize(3);
    const char* names[] = {"alpha", "beta", "gamma"};
    for (std::size_t i = 0; i < 3; ++i) {
      made->states[i].chain_id = names[i];
      made->states[i].position = static_cast<std::uint32_t>(i);
      made->states[i].templ.chainid = static_cast<std::uint32_t>(i + 1);
      made->states[i].templ.hash = filled_hash(static_cast<std::uint8_t>(0x40 + i));
      made->states[i].templ.valid = i != 2;  // gamma has no template but is still configured
    }
    std::vector<Hash32> level{Hash32{}};
    for (const Hash32& t : template_transactions()) level.push_back(t);

    // Oldest first: root A with the seed coinbase's branch, root B in a larger tree, root A
    // again with a branch of other transactions (newest, so it wins when nothing matches).
    made->tree.root.fill(kRootA);
    made->tree.tree_size = 4;
    made->states[0].slot = 1;
    made->states[1].slot = 2;
    made->states[2].slot = 3;
    save(*made, branch_over(level));

    made->tree.root.fill(kRootB);
    made->tree.tree_size = 8;
    made->states[0].slot = 5;
    made->states[1].slot = 0;
    made->states[2].slot = 6;
    save(*made, skerrow::CoinbaseBranch{});

    made->tree.root.fill(kRootA);
    made->tree.tree_size = 4;
    made->states[0].slot = 3;
    made->states[1].slot = 0;
    made->states[2].slot = 1;
    save(*made, branch_over({Hash32{}, filled_hash(9)}));

    // The current slots differ from every snapshot's: a proof must use the snapshot's.
    made->states[0].slot = 2;
    made->states[1].slot = 1;
    made->states[2].slot = 0;
    return made;
  }();
  return *e;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::vector<std::uint8_t>> decode(std::string_view hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = hex_digit(hex[i]);
    const int lo = hex_digit(hex[i + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return out;
}

// The snapshot a submission must be proven against: newest first among those with the root,
// preferring one whose coinbase branch leads from the coinbase to the header's merkle root.
const AuxSnapshot* expected_snapshot(const Hash32& root, const std::optional<Hash32>& txid, const Hash32& header_root) {
  const std::vector<AuxSnapshot>& list = saved();
  const AuxSnapshot* newest = nullptr;
  for (auto it = list.rbegin(); it != list.rend(); ++it) {
    const AuxSnapshot& s = *it;
    if (!s.used || s.root != root) continue;
    if (newest == nullptr) newest = &s;
    if (txid && skerrow::root_from_coinbase(*txid, {s.cb_branch.data(), s.cb_branch_len}) == header_root) return &s;
  }
  return newest;
}

// The snapshot's aux tree laid out in full: leaves in internal order, zero where no chain is.
std::vector<Hash32> dense_leaves(const AuxSnapshot& s) {
  std::vector<Hash32> leaves(s.tree_size);
  for (std::size_t i = 0; i < s.chain_count; ++i) {
    if (!s.in_tree[i] || s.slots[i] >= s.tree_size) continue;
    Hash32 h = s.hashes[i];
    skerrow::reverse_hash(h);
    leaves[s.slots[i]] = h;
  }
  return leaves;
}

Hash32 dense_root(std::vector<Hash32> level) {
  while (level.size() > 1) {
    std::vector<Hash32> up;
    for (std::size_t i = 0; i < level.size(); i += 2) up.push_back(skerrow::hash_pair(level[i], level[i + 1]));
    level = std::move(up);
  }
  return level[0];
}

std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}

void check_proof(const skerrow::SubmitFields& fields, std::size_t chain, const skerrow::SubmitProof& proof) {
  const auto coinbase = decode(fields.coinbase_hex);
  const auto header = decode(fields.header_hex);
  FUZZ_CHECK(coinbase && header && header->size() == 80);

  std::optional<std::size_t> magic;
  for (std::size_t m = 0; m + 44 <= coinbase->size() && !magic; ++m) {
    if ((*coinbase)[m] == 0xfa && (*coinbase)[m + 1] == 0xbe && (*coinbase)[m + 2] == 0x6d && (*coinbase)[m + 3] == 0x6d) {
      magic = m;
    }
  }
  FUZZ_CHECK(magic.has_value() == (proof.outcome != ProofOutcome::no_commitment));
  if (!magic) return;
  Hash32 root;
  std::copy_n(coinbase->begin() + static_cast<std::ptrdiff_t>(*magic + 4), 32, root.begin());
  FUZZ_CHECK(proof.root == root);

  std::optional<Hash32> txid;
  if (auto id = skerrow::transaction_txid(*coinbase, std::pmr::new_delete_resource())) txid = *id;
  Hash32 header_root;
  std::copy_n(header->begin() + 36, 32, header_root.begin());
  const AuxSnapshot* snap = expected_snapshot(root, txid, header_root);
  FUZZ_CHECK((snap == nullptr) == (proof.outcome == ProofOutcome::stale_snapshot));
  if (snap == nullptr) return;
  FUZZ_CHECK(proof.outcome == ProofOutcome::built);
  FUZZ_CHECK(proof.branch_matches ==
             (txid && skerrow::root_from_coinbase(*txid, {snap->cb_branch.data(), snap->cb_branch_len}) == header_root));

  const std::size_t c = snap->cb_branch_len;
  std::size_t a = 0;
  while ((std::size_t{1} << a) < snap->tree_size) ++a;
  const std::span<const std::uint8_t> p(proof.bytes);
  const std::size_t L = coinbase->size();
  FUZZ_CHECK(p.size() == L + 122 + 32 * (c + a));
  FUZZ_CHECK(p.size() == skerrow::proof_size(L, proof.cb_branch, proof.aux_branch));
  FUZZ_CHECK(proof.cb_branch == c && proof.aux_branch == a);
  FUZZ_CHECK(std::equal(coinbase->begin(), coinbase->end(), p.begin()));
  const auto at = [&p](std::size_t offset) { return p.begin() + static_cast<std::ptrdiff_t>(offset); };
  FUZZ_CHECK(std::all_of(at(L), at(L + 32), [](std::uint8_t b) { return b == 0; }));
  FUZZ_CHECK(p[L + 32] == c);
  for (std::size_t i = 0; i < c; ++i) {
    FUZZ_CHECK(std::equal(snap->cb_branch[i].begin(), snap->cb_branch[i].end(), at(L + 33 + 32 * i)));
  }
  FUZZ_CHECK(le32(&p[L + 33 + 32 * c]) == 0);
  FUZZ_CHECK(p[L + 37 + 32 * c] == a);
  // The slot of the leaf holding the submitted hash; without one, that of the chain's place.
  const std::uint32_t slot = le32(&p[L + 38 + 32 * (c + a)]);
  std::uint32_t expected = snap->slots[chain];
  if (const auto hash = decode(fields.aux_hash); hash && hash->size() == 32) {
    for (std::size_t i = snap->chain_count; i-- > 0;) {
      if (snap->in_tree[i] && std::equal(hash->begin(), hash->end(), snap->hashes[i].begin())) expected = snap->slots[i];
    }
  }
  FUZZ_CHECK(slot == expected);
  FUZZ_CHECK(std::equal(header->begin(), header->end(), p.begin() + static_cast<std::ptrdiff_t>(L + 42 + 32 * (c + a))));

  // The aux branch proves the leaf at the slot: folding it up gives the tree's root.
  const std::vector<Hash32> leaves = dense_leaves(*snap);
  Hash32 node = leaves[slot % snap->tree_size];
  for (std::size_t k = 0; k < a; ++k) {
    Hash32 sibling;
    std::copy_n(p.begin() + static_cast<std::ptrdiff_t>(L + 38 + 32 * (c + k)), 32, sibling.begin());
    node = (slot >> k) & 1 ? skerrow::hash_pair(sibling, node) : skerrow::hash_pair(node, sibling);
  }
  FUZZ_CHECK(node == dense_root(leaves));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<char> copy(data, data + size);
  const std::string_view body(copy.data(), copy.size());
  const auto param = skerrow::extract_param_string(body);
  if (!param) return 0;
  const auto fields = skerrow::split_submit_fields(*param);
  if (!fields) return 0;

  AuxEngine& e = engine();
  std::size_t chain = 0;
  while (chain < e.states.size() && e.states[chain].chain_id != fields->chain) ++chain;
  if (chain == e.states.size()) return 0;

  auto proof = skerrow::build_submit_proof(*fields, e, chain, std::pmr::new_delete_resource());
  const auto coinbase = decode(fields->coinbase_hex);
  const auto header = decode(fields->header_hex);
  if (!coinbase || !header || header->size() != 80) {
    FUZZ_CHECK(!proof && proof.error() == skerrow::ErrorCode::InvalidAuxSubmit);
    return 0;
  }
  FUZZ_CHECK(proof.has_value());
  if (proof->outcome != ProofOutcome::built) FUZZ_CHECK(proof->bytes.empty());
  check_proof(*fields, chain, *proof);
  return 0;
}
