#include "auxpow/refresh.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "auxpow/hex.h"
#include "json/writer.h"
#include "log/log.h"
#include "log/safe_text.h"

namespace skerrow {

double target_to_diff(const Hash32& target) {
  for (std::size_t i = 32; i-- > 0;) {
    if (target[i] != 0) return std::ldexp(1.0, 256 - 8 * static_cast<int>(i)) / target[i];
  }
  return std::numeric_limits<double>::infinity();
}

Result<std::pmr::string> aux_template_request(bool use_createauxblock, std::optional<std::string_view> payout_address,
                                              std::pmr::memory_resource* memory) {
  return catch_oom([&]() -> Result<std::pmr::string> {
    std::pmr::string body(memory);
    if (!use_createauxblock) {
      body = R"({"method":"getauxblock","params":[]})";
      return body;
    }
    body = R"({"method":"createauxblock","params":[")";
    if (payout_address) {
      if (auto escaped = append_json_escaped(*payout_address, body); !escaped) {
        return fail(escaped.error());
      }
    }
    body += R"("]})";
    return body;
  });
}

void apply_aux_reply(AuxChainState& state, const Result<JsonDocument>& reply) {
  AuxTemplate& t = state.templ;
  t.valid = false;
  if (!reply) {
    // A chain refreshed often and down for long would fill the log.
    const auto left_out = state.fetch_failures.admit(LogThrottle::Clock::now());
    if (!left_out) return;
    if (*left_out == 0) {
      log_line(LogLevel::warning, LogScope::auxpow,
               {"failed to get aux template for ", state.chain_id, ": ", reply.error()});
    } else {
      log_line(LogLevel::warning, LogScope::auxpow,
               {"failed to get aux template for ", state.chain_id, ": ", reply.error(), " (", *left_out,
                " more not logged)"});
    }
    return;
  }
  const JsonValue* result = get_member(reply->root(), "result");
  if (result == nullptr || !result->is_object()) return;

  const JsonValue* hash = get_member(*result, "hash");
  if (hash != nullptr && hash->is_string() && hash->as_text().size() == 64) {
    const std::string_view text = hash->as_text();
    std::copy(text.begin(), text.end(), t.hash_hex.begin());
    if (!hex_decode(text, t.hash)) return;
    t.valid = true;
  }

  const JsonValue* chainid = get_member(*result, "chainid");
  if (chainid != nullptr && chainid->is_integer()) {
    t.chainid = static_cast<std::uint32_t>(static_cast<std::uint64_t>(chainid->as_integer()));
  }

  // Daemons of the current lineage name the member "_target"; the form is the same.
  const JsonValue* target = get_member(*result, "target");
  if (target == nullptr) target = get_member(*result, "_target");
  Hash32 decoded{};
  if (target == nullptr || !target->is_string() || target->as_text().size() != 64 ||
      !hex_decode(target->as_text(), decoded)) {
    // Shares would be judged against a target the daemon did not give: sit this round out.
    t.valid = false;
    log_line(LogLevel::warning, LogScope::auxpow,
             {"aux template for ", state.chain_id, " has no usable target, chain left out"});
    return;
  }
  const std::string_view text = target->as_text();
  std::copy(text.begin(), text.end(), t.target_hex.begin());
  t.target = decoded;

  t.diff = target_to_diff(t.target);
  LogSafeText hash_text(t.hash_text());
  log_line(LogLevel::info, LogScope::auxpow,
           {"aux template for ", state.chain_id, ": hash=", hash_text.view(), " diff=", FixedPoint{t.diff, 3}});
}

}  // namespace skerrow
