// Turning a pool's submitauxblock ("<chain>:<aux hash>:<coinbase hex>:<header hex>") into
// an AuxPoW proof for the aux chain's daemon.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "auxpow/coinbase.h"
#include "auxpow/tree.h"
#include "error/error.h"
#include "platform/thread_annotations.h"

namespace skerrow {

inline constexpr std::size_t kHeaderSize = 80;
inline constexpr std::size_t kHeaderMerkleRootOffset = 36;

// The text between the quotes of the first string after "\"params\"" (tabs, spaces, ':' and
// '[' skipped before it). No escape processing. nullopt when there is none.
std::optional<std::string_view> extract_param_string(std::string_view body);

struct SubmitFields {
  std::string_view chain;
  std::string_view aux_hash;
  std::string_view coinbase_hex;
  std::string_view header_hex;
};

// Splits the parameter at ':' into four fields; everything from a fourth ':' on is ignored.
// nullopt when there are fewer than four fields.
std::optional<SubmitFields> split_submit_fields(std::string_view param);

// Offset of the first "fabe6d6d" magic that leaves room for the 32-byte root and the 8 bytes
// of size and nonce after it, or nullopt.
std::optional<std::size_t> find_commitment(std::span<const std::uint8_t> coinbase);

inline std::size_t proof_size(std::size_t coinbase, std::size_t cb_branch, std::size_t aux_branch) {
  return coinbase + 122 + 32 * (cb_branch + aux_branch);
}

// The proof: coinbase, zero parent hash, coinbase branch (side mask 0), aux branch (side mask
// the chain's slot), header. REQUIRES: out.size() == proof_size(...), header of 80 bytes.
void write_proof(std::span<const std::uint8_t> coinbase, std::span<const Hash32> cb_branch,
                 std::span<const Hash32> aux_branch, std::uint32_t slot,
                 std::span<const std::uint8_t> header, std::span<std::uint8_t> out);

enum class ProofOutcome { built, no_commitment, stale_snapshot };

struct SubmitProof {
  ProofOutcome outcome = ProofOutcome::built;
  Hash32 root{};                // the root committed in the coinbase, as found there
  bool branch_matches = false;  // the snapshot's coinbase branch leads to the header's root
  std::size_t cb_branch = 0;    // entries of each branch in the proof
  std::size_t aux_branch = 0;
  std::pmr::vector<std::uint8_t> bytes;  // the proof; empty unless built
};

// Everything between choosing the chain and calling its daemon: decodes the coinbase and
// header fields, finds the commitment and the snapshot holding its root, and lays out the
// proof for the chain at `chain_index` of engine.states with the slot that snapshot gave the
// submitted aux hash (or, when it holds no such leaf, the chain's place in the list).
// The proof comes from `memory`. The snapshot comes from the engine's store.
// REQUIRES: chain_index < engine.states.size(); the caller does not hold the aux-state lock. Errors: InvalidAuxSubmit (coinbase hex of odd length or with a bad
// digit, header not 160 hex digits), OutOfMemory.
Result<SubmitProof> build_submit_proof(const SubmitFields& fields, AuxEngine& engine, std::size_t chain_index,
                                       std::pmr::memory_resource* memory) EXCLUDES(engine.lock);

// Appends the aux hash as the daemon gets it inside a JSON string: a hexadecimal text in
// lower case; any other text as is, JSON-escaped. Errors: OutOfMemory.
Status append_aux_hash(std::string_view text, std::pmr::string& out);

}  // namespace skerrow
