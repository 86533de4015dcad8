#include "auxpow/submit.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "auxpow/hex.h"
#include "auxpow/snapshot.h"
#include "auxpow/tx.h"
#include "json/writer.h"

namespace skerrow {
namespace {

void put_le32(std::uint32_t v, std::uint8_t* out) {
  out[0] = static_cast<std::uint8_t>(v);
  out[1] = static_cast<std::uint8_t>(v >> 8);
  out[2] = static_cast<std::uint8_t>(v >> 16);
  out[3] = static_cast<std::uint8_t>(v >> 24);
}

// The slot of the snapshot's leaf whose hash is `aux_hash` (hex, display order, either case):
// found by the hash, since the chains' order may differ from the one the snapshot was taken in
// (a reload, or a restart with another configuration).
std::optional<std::uint32_t> leaf_of(const AuxSnapshot& snap, std::string_view aux_hash) {
  Hash32 hash;
  if (!hex_decode_hash(aux_hash, hash)) return std::nullopt;
  for (std::size_t i = 0; i < snap.chain_count && i < kMaxAuxChains; ++i) {
    if (snap.in_tree[i] && snap.hashes[i] == hash) return snap.slots[i];
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string_view> extract_param_string(std::string_view body) {
  constexpr std::string_view kKey = "\"params\"";
  std::size_t pos = body.find(kKey);
  if (pos == std::string_view::npos) return std::nullopt;
  pos += kKey.size();
  while (pos < body.size() && (body[pos] == '\t' || body[pos] == ' ' || body[pos] == ':' || body[pos] == '[')) {
    ++pos;
  }
  if (pos >= body.size() || body[pos] != '"') return std::nullopt;
  const std::size_t start = pos + 1;
  const std::size_t end = body.find('"', start);
  if (end == std::string_view::npos) return std::nullopt;
  return body.substr(start, end - start);
}

std::optional<SubmitFields> split_submit_fields(std::string_view param) {
  std::string_view parts[4];
  std::size_t start = 0;
  for (int i = 0; i < 4; ++i) {
    const std::size_t colon = param.find(':', start);
    if (colon == std::string_view::npos) {
      if (i < 3) return std::nullopt;
      parts[i] = param.substr(start);
    } else {
      parts[i] = param.substr(start, colon - start);
      start = colon + 1;
    }
  }
  return SubmitFields{parts[0], parts[1], parts[2], parts[3]};
}

std::optional<std::size_t> find_commitment(std::span<const std::uint8_t> coinbase) {
  constexpr std::uint8_t kMagic[4] = {0xfa, 0xbe, 0x6d, 0x6d};
  if (coinbase.size() < 44) return std::nullopt;
  for (std::size_t m = 0; m + 44 <= coinbase.size(); ++m) {
    if (std::memcmp(coinbase.data() + m, kMagic, 4) == 0) return m;
  }
  return std::nullopt;
}

void write_proof(std::span<const std::uint8_t> coinbase, std::span<const Hash32> cb_branch,
                 std::span<const Hash32> aux_branch, std::uint32_t slot,
                 std::span<const std::uint8_t> header, std::span<std::uint8_t> out) {
  std::uint8_t* p = out.data();
  std::memcpy(p, coinbase.data(), coinbase.size());
  p += coinbase.size();
  std::memset(p, 0, 32);  // parent block hash: not checked by aux chains
  p += 32;
  *p++ = static_cast<std::uint8_t>(cb_branch.size());
  for (const Hash32& h : cb_branch) {
    std::memcpy(p, h.data(), 32);
    p += 32;
  }
  put_le32(0, p);  // the coinbase is always leaf 0
  p += 4;
  *p++ = static_cast<std::uint8_t>(aux_branch.size());
  for (const Hash32& h : aux_branch) {
    std::memcpy(p, h.data(), 32);
    p += 32;
  }
  put_le32(slot, p);
  p += 4;
  std::memcpy(p, header.data(), header.size());
}

Result<SubmitProof> build_submit_proof(const SubmitFields& fields, AuxEngine& engine, std::size_t chain_index,
                                       std::pmr::memory_resource* memory) {
  return catch_oom([&]() -> Result<SubmitProof> {
    SubmitProof proof{.bytes = std::pmr::vector<std::uint8_t>(memory)};
    if (fields.coinbase_hex.size() % 2 != 0) return fail(ErrorCode::InvalidAuxSubmit);
    std::pmr::vector<std::uint8_t> coinbase(fields.coinbase_hex.size() / 2, memory);
    std::array<std::uint8_t, kHeaderSize> header;
    if (!hex_decode(fields.coinbase_hex, coinbase) || fields.header_hex.size() != 2 * kHeaderSize ||
        !hex_decode(fields.header_hex, header)) {
      return fail(ErrorCode::InvalidAuxSubmit);
    }

    const auto magic = find_commitment(coinbase);
    if (!magic) {
      proof.outcome = ProofOutcome::no_commitment;
      return proof;
    }
    std::copy_n(coinbase.begin() + static_cast<std::ptrdiff_t>(*magic + 4), 32, proof.root.begin());

    std::optional<Hash32> txid;
    if (auto id = transaction_txid(coinbase, memory)) txid = *id;
    Hash32 header_root;
    std::copy_n(header.begin() + kHeaderMerkleRootOffset, 32, header_root.begin());
    auto found = find_snapshot(engine, proof.root, txid, header_root, store_now());
    if (!found) return fail(found.error());
    if (!*found) {
      proof.outcome = ProofOutcome::stale_snapshot;
      return proof;
    }
    proof.branch_matches = (*found)->branch_matches;
    const AuxSnapshot& snap = (*found)->snapshot;
    // The slot the committed root was built with, which the current slot need not be: that of
    // the leaf holding the submitted hash, or else that of the chain's place in the list.
    std::uint32_t slot = 0;
    if (auto leaf = leaf_of(snap, fields.aux_hash)) {
      slot = *leaf;
    } else {
      FutexLock guard(engine.lock);
      const AuxChainState& state = engine.states[chain_index];
      slot = state.position < snap.chain_count ? snap.slots[state.position] : state.slot;
    }
    const AuxBranch aux = aux_branch(snap, slot);
    const std::span<const Hash32> cb_branch(snap.cb_branch.data(), snap.cb_branch_len);
    const std::span<const Hash32> aux_hashes(aux.hashes.data(), aux.length);
    proof.cb_branch = cb_branch.size();
    proof.aux_branch = aux_hashes.size();
    proof.bytes.resize(proof_size(coinbase.size(), cb_branch.size(), aux_hashes.size()));
    write_proof(coinbase, cb_branch, aux_hashes, slot, header, proof.bytes);
    return proof;
  });
}

Status append_aux_hash(std::string_view text, std::pmr::string& out) {
  if (!is_hex_text(text)) return append_json_escaped(text, out);
  const std::size_t start = out.size();
  if (auto appended = catch_oom([&]() -> Status {
        out.append(text);
        return {};
      });
      !appended) {
    return appended;
  }
  for (std::size_t i = start; i < out.size(); ++i) {
    if (out[i] >= 'A' && out[i] <= 'F') out[i] = static_cast<char>(out[i] - 'A' + 'a');
  }
  return {};
}

}  // namespace skerrow
