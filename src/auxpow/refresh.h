// Aux block templates as the aux daemons hand them out: the request that asks for one and
// how a reply becomes the chain's template. The fetching itself is done by the refresher.
#pragma once

#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>

#include "auxpow/engine.h"
#include "error/error.h"
#include "json/reader.h"

namespace skerrow {

// 2^256 divided by the target cut down to its most significant non-zero byte (the target
// bytes read as a little-endian number). An all-zero target gives positive infinity.
double target_to_diff(const Hash32& target);

// The JSON-RPC body that asks the chain's daemon for a template: getauxblock, or
// createauxblock with the payout address (JSON-escaped) or "" as its one parameter.
// Errors: OutOfMemory.
Result<std::pmr::string> aux_template_request(bool use_createauxblock, std::optional<std::string_view> payout_address,
                                              std::pmr::memory_resource* memory);

// Takes one daemon reply (or the call's error) into the chain's template and writes the
// chain's log line. Fields the reply does not replace keep their previous values; `valid`
// ends true only when a 64-digit hash decoded.
void apply_aux_reply(AuxChainState& state, const Result<JsonDocument>& reply);

}  // namespace skerrow
