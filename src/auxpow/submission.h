// A pool's submitauxblock as data: what to answer at once, or which aux daemon to post which
// proof to; then, from the daemon's answer, what to tell the pool. Nothing here touches a
// socket; the front end makes the daemon call and writes the replies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <string>
#include <string_view>

#include "auxpow/engine.h"
#include "error/error.h"
#include "json/reader.h"

namespace skerrow {

// How the search for the snapshot of the submitted root ended; not_searched when the plan
// stopped before it (no params, unknown chain, no commitment).
enum class SnapshotSearch : std::uint8_t { not_searched, found, not_found, branch_mismatch };

// Why a plan answered at once, before any daemon call; stale answers are told by SnapshotSearch.
enum class SubmitRefused : std::uint8_t { no, invalid_params, unknown_chain, no_commitment, stale };

struct SubmitPlan {
  std::string_view answer;   // non-empty: the pool's reply, nothing is posted
  std::size_t chain = 0;     // otherwise: the chain (index into engine.states) to post to;
                             // also set for an answer once the chain is known
  // What that entry held when the plan was made: a reload may give it other settings or
  // another chain while the daemon is called.
  std::uint64_t generation = 0;
  std::string_view chain_id;
  ChainEndpoint daemon;
  std::pmr::string request;  // and the JSON-RPC body carrying the proof
  // For the submission's record: the aux hash as the pool sent it, the parent block's hash
  // (empty when the header is not 160 hex digits) and the proof's size.
  std::pmr::string aux_hash;
  std::pmr::string parent_block_hash;
  std::size_t proof_size = 0;
  SnapshotSearch snapshot = SnapshotSearch::not_searched;
  SubmitRefused refused = SubmitRefused::no;
};

// What the aux daemon made of a posted proof: accepted (it answered true), rejected (any
// other answer, an error object included), failed (no answer with a result).
enum class SubmitVerdict : std::uint8_t { accepted, rejected, failed };

// Reads the body's parameter, finds the chain, the commitment and the snapshot and builds the
// proof, writing the submission's log lines. A submission answered at once (no daemon call)
// is not recorded in the engine's store. Takes the aux-state lock only to copy the
// snapshot. Errors: InvalidAuxSubmit (fewer than four fields, bad hex, a header that is not
// 160 hex digits), OutOfMemory; the caller answers them with its failure reply.
Result<SubmitPlan> plan_submission(std::string_view body, AuxEngine& engine, std::pmr::memory_resource* memory);

// The pool's reply to the submission `plan` posted, from the daemon's reply or the call's
// failure, with the result's log lines and the submission's record. An accepted block asks for
// the chain's next template. With `verdict`, also says what the daemon made of the proof
// (written only on success). Errors: OutOfMemory.
Result<std::pmr::string> finish_submission(AuxEngine& engine, const SubmitPlan& plan,
                                           const Result<JsonDocument>& daemon_reply,
                                           std::pmr::memory_resource* memory,
                                           SubmitVerdict* verdict = nullptr);

}  // namespace skerrow
