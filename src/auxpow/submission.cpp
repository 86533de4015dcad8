#include "auxpow/submission.h"

#include <algorithm>
#include <array>
#include <new>
#include <optional>

#include "auxpow/hex.h"
#include "auxpow/schedule.h"
#include "auxpow/snapshot.h"
#include "auxpow/snapshot_store.h"
#include "auxpow/submit.h"
#include "json/writer.h"
#include "log/log.h"
#include "log/safe_text.h"

namespace skerrow {
namespace {

constexpr std::string_view kInvalidParams =
    R"({"result":null,"error":{"code":-1,"message":"invalid params"},"id":null})";
constexpr std::string_view kUnknownChain =
    R"({"result":null,"error":{"code":-1,"message":"unknown chain"},"id":null})";
constexpr std::string_view kNoCommitment =
    R"({"result":null,"error":{"code":-1,"message":"no AuxPoW commitment in coinbase"},"id":null})";
constexpr std::string_view kStaleSnapshot =
    R"({"result":null,"error":{"code":-1,"message":"stale aux snapshot"},"id":null})";
constexpr std::string_view kRpcFailed =
    R"({"result":null,"error":{"code":-1,"message":"aux daemon RPC failed"},"id":null})";

// What the aux daemon said: its "result" as text (a string's content, anything else its
// compact JSON), and its "error" object when that is not null.
struct DaemonAnswer {
  std::pmr::string result;
  std::optional<std::pmr::string> error;  // compact JSON of a non-null "error"
  std::pmr::string error_message;         // the error's "message" text, or its JSON when it has none
};

Result<DaemonAnswer> read_daemon_answer(const Result<JsonDocument>& reply, std::pmr::memory_resource* memory) {
  if (!reply) return fail(reply.error());
  const JsonValue* result = get_member(reply->root(), "result");
  if (result == nullptr) return fail(ErrorCode::MissingResult);
  DaemonAnswer answer{std::pmr::string(memory), std::nullopt, std::pmr::string(memory)};
  if (result->is_string()) {
    answer.result.assign(result->as_text());
  } else if (auto written = write_compact_json(*result, answer.result); !written) {
    return fail(written.error());
  }
  const JsonValue* error = get_member(reply->root(), "error");
  if (error != nullptr && !error->is_null()) {
    answer.error.emplace(memory);
    if (auto written = write_compact_json(*error, *answer.error); !written) return fail(written.error());
    const JsonValue* message = error->is_object() ? get_member(*error, "message") : nullptr;
    if (message != nullptr && message->is_string()) {
      answer.error_message.assign(message->as_text());
    } else {
      answer.error_message.assign(*answer.error);
    }
  }
  return answer;
}

// Keeps the record of a submission that reached the aux daemon (refusals made before any
// daemon call are only logged and counted: anyone who reaches the port could make them). A
// store that cannot write says so in the log; the pool's answer does not depend on it.
void record(AuxEngine& engine, std::string_view chain, const SubmitPlan& plan, std::string_view result) {
  const SubmissionRecord entry{store_now(), chain, plan.aux_hash, plan.parent_block_hash, plan.proof_size, result};
  if (auto kept = engine.store->record_submission(entry); !kept) {
    log_line(LogLevel::warning, LogScope::auxpow, {"state file write failed: ", kept.error()});
  }
}

// The reason text inside one of the fixed refusals above.
std::string_view reason_of(std::string_view reply) {
  constexpr std::string_view kOpen = R"("message":")";
  const std::size_t at = reply.find(kOpen) + kOpen.size();
  return reply.substr(at, reply.find('"', at) - at);
}

void describe_submission(const SubmitFields& fields, SubmitPlan& plan) {
  plan.aux_hash.assign(fields.aux_hash);
  std::array<std::uint8_t, kHeaderSize> header;
  if (fields.header_hex.size() == 2 * kHeaderSize && hex_decode(fields.header_hex, header)) {
    plan.parent_block_hash.assign(parent_block_hash_hex(header));
  }
}

// The listed chain named `chain_id` (letter case counts) into the plan; false when none is.
bool find_chain(AuxEngine& engine, std::string_view chain_id, SubmitPlan& plan) {
  FutexLock guard(engine.lock);
  for (std::size_t i = 0; i < engine.states.size(); ++i) {
    const AuxChainState& state = engine.states[i];
    if (!state.listed || state.chain_id != chain_id) continue;
    plan.chain = i;
    plan.generation = state.generation;
    plan.chain_id = state.chain_id;
    plan.daemon = state.daemon;
    return true;
  }
  return false;
}

// The aux daemon's submitauxblock call with the pool's aux hash and the proof in hex, into
// `request` (empty). The proof's bytes are not needed afterwards.
Status write_submit_request(std::string_view aux_hash, const SubmitProof& proof, std::pmr::string& request) {
  constexpr std::string_view kHead = R"({"method":"submitauxblock","params":[")";
  constexpr std::string_view kMiddle = R"(",")";
  constexpr std::string_view kTail = R"("]})";
  const std::size_t size = proof.bytes.size();
  request.reserve(kHead.size() + aux_hash.size() + kMiddle.size() + 2 * size + kTail.size());
  request.append(kHead);
  if (auto written = append_aux_hash(aux_hash, request); !written) return written;
  request.append(kMiddle);
  const std::size_t proof_at = request.size();
  request.resize(proof_at + 2 * size);
  hex_encode(proof.bytes, {request.data() + proof_at, 2 * size});
  request.append(kTail);
  return {};
}


// What the search for the snapshot came to, for the plan's caller to count.
void note_snapshot_search(const SubmitProof& proof, SubmitPlan& plan) {
  if (proof.outcome == ProofOutcome::stale_snapshot) plan.snapshot = SnapshotSearch::not_found;
  if (proof.outcome == ProofOutcome::built) {
    plan.snapshot = proof.branch_matches ? SnapshotSearch::found : SnapshotSearch::branch_mismatch;
  }
}

// Refuses a proof that could not be built: no commitment in the coinbase, or no snapshot of
// the root it commits to. False when the proof was built. `name` is the chain's log text.
bool refuse_unbuilt(std::string_view name, const SubmitProof& proof, SubmitPlan& plan) {
  if (proof.outcome == ProofOutcome::no_commitment) {
    log_line(LogLevel::warning, LogScope::http,
             {"submitauxblock: no AuxPoW commitment found in coinbase for ", name});
    plan.answer = kNoCommitment;
    plan.refused = SubmitRefused::no_commitment;
    return true;
  }
  if (proof.outcome == ProofOutcome::stale_snapshot) {
    char root_hex[64];
    hex_encode(proof.root, root_hex);
    log_line(LogLevel::warning, LogScope::http,
             {"submitauxblock: no snapshot for merkle root ", std::string_view(root_hex, 64), " (chain ", name,
              ")"});
    plan.answer = kStaleSnapshot;
    plan.refused = SubmitRefused::stale;
    return true;
  }
  return false;
}

// The aux daemon's call from the built proof, whose bytes are released once written into it.
// Errors: OutOfMemory.
Status lay_out_call(const SubmitFields& fields, std::string_view name, SubmitProof& proof, SubmitPlan& plan,
                    std::pmr::memory_resource* memory) {
  if (!proof.branch_matches) {
    log_line(LogLevel::warning, LogScope::http,
             {"submitauxblock: no snapshot's coinbase branch matches the header for ", name, ", using the newest"});
  }
  const std::size_t size = proof.bytes.size();
  plan.proof_size = size;
  if (auto written = write_submit_request(fields.aux_hash, proof, plan.request); !written) return written;
  proof.bytes = std::pmr::vector<std::uint8_t>(memory);

  log_line(LogLevel::info, LogScope::http,
           {"submitauxblock: proof ", size, " bytes for ", name, " (cb_branch=", proof.cb_branch,
            ", aux_branch=", proof.aux_branch, ")"});
  return {};
}

Result<SubmitPlan> plan_steps(std::string_view body, AuxEngine& engine, std::pmr::memory_resource* memory) {
  SubmitPlan plan{{}, 0, 0, {}, {}, std::pmr::string(memory), std::pmr::string(memory), std::pmr::string(memory), 0};
  const auto param = extract_param_string(body);
  if (!param) {
    log_line(LogLevel::warning, LogScope::http, {"submitauxblock: failed to extract params"});
    plan.answer = kInvalidParams;
    plan.refused = SubmitRefused::invalid_params;
    return plan;
  }
  const auto fields = split_submit_fields(*param);
  if (!fields) return fail(ErrorCode::InvalidAuxSubmit);
  // Both texts come from the pool before the chain is known to exist: cut, like method names.
  const LogSafeText name(fields->chain, kMaxLoggedPoolText);
  {
    const LogSafeText hash(fields->aux_hash, kMaxLoggedPoolText);
    log_line(LogLevel::info, LogScope::http, {"submitauxblock for ", name.view(), ": aux_hash=", hash.view()});
  }
  describe_submission(*fields, plan);

  if (!find_chain(engine, fields->chain, plan)) {
    log_line(LogLevel::warning, LogScope::http, {"submitauxblock: unknown chain ", name.view()});
    plan.answer = kUnknownChain;
    plan.refused = SubmitRefused::unknown_chain;
    return plan;
  }

  auto built = build_submit_proof(*fields, engine, plan.chain, memory);
  if (!built) return fail(built.error());
  note_snapshot_search(*built, plan);
  if (refuse_unbuilt(name.view(), *built, plan)) return plan;
  if (auto laid = lay_out_call(*fields, name.view(), *built, plan, memory); !laid) return fail(laid.error());
  return plan;
}

Result<std::pmr::string> finish_steps(AuxEngine& engine, const SubmitPlan& plan,
                                      const Result<JsonDocument>& daemon_reply, std::pmr::memory_resource* memory,
                                      SubmitVerdict& verdict) {
  const std::string_view chain_id = plan.chain_id;
  const LogSafeText name(chain_id, kMaxLoggedPoolText);
  auto answer = read_daemon_answer(daemon_reply, memory);
  if (!answer) {
    log_line(LogLevel::error, LogScope::http, {"submitauxblock RPC failed for ", name.view(), ": ", answer.error()});
    record(engine, chain_id, plan, reason_of(kRpcFailed));
    verdict = SubmitVerdict::failed;
    return std::pmr::string(kRpcFailed, memory);
  }
  if (answer->error) {
    // A refusal the pool must see as one: a pool that checks "error" would count it found.
    const LogSafeText message(answer->error_message);
    log_line(LogLevel::error, LogScope::http, {"aux daemon refused the block for ", name.view(), ": ", message.view()});
    record(engine, chain_id, plan, *answer->error);
    std::pmr::string reply(memory);
    reply.reserve(answer->error->size() + 40);
    reply.append(R"({"result":null,"error":)");
    reply.append(*answer->error);
    reply.append(R"(,"id":null})");
    verdict = SubmitVerdict::rejected;
    return reply;
  }
  const std::pmr::string& text = answer->result;
  verdict = text == "true" ? SubmitVerdict::accepted : SubmitVerdict::rejected;
  record(engine, chain_id, plan, text);
  {
    const LogSafeText shown(text);
    log_line(LogLevel::info, LogScope::http, {"submitauxblock result for ", name.view(), ": ", shown.view()});
  }
  if (text == "true") {
    want_aux_fetch(engine, plan.chain, plan.generation, FetchReason::stale);
    log_line(LogLevel::info, LogScope::http,
             {"aux block accepted for ", name.view(), ", will refresh templates on next GBT"});
  } else if (text == "false" || text == "null") {
    log_line(LogLevel::warning, LogScope::http, {"aux block rejected for ", name.view(), ": ", text});
  }

  std::pmr::string reply(memory);
  reply.reserve(text.size() + 48);
  reply.append(R"({"result":")");
  if (auto escaped = append_json_escaped(text, reply); !escaped) return fail(escaped.error());
  reply.append(R"(","error":null,"id":null})");
  return reply;
}


}  // namespace

Result<SubmitPlan> plan_submission(std::string_view body, AuxEngine& engine, std::pmr::memory_resource* memory) {
  return catch_oom([&]() -> Result<SubmitPlan> {
    return plan_steps(body, engine, memory);
  });
}

Result<std::pmr::string> finish_submission(AuxEngine& engine, const SubmitPlan& plan,
                                           const Result<JsonDocument>& daemon_reply,
                                           std::pmr::memory_resource* memory, SubmitVerdict* verdict) {
  return catch_oom([&]() -> Result<std::pmr::string> {
    SubmitVerdict decided = SubmitVerdict::failed;
    auto reply = finish_steps(engine, plan, daemon_reply, memory, decided);
    if (reply && verdict != nullptr) *verdict = decided;
    return reply;
  });
}

}  // namespace skerrow
