#include "auxpow/rewrite.h"

#include <algorithm>
#include <cmath>
#include <new>

#include "auxpow/hex.h"
#include "json/writer.h"
#include "log/format.h"

namespace skerrow {
namespace {

constexpr std::string_view kFlagsKey = "\"flags\":\"";
constexpr std::string_view kEmptyCoinbaseAux = "\"coinbaseaux\":{}";
constexpr std::string_view kCoinbaseAuxOpen = "\"coinbaseaux\":{";
constexpr std::string_view kErrorMember = "},\"error\"";

void append_le32_hex(std::uint32_t v, char* out) {
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                 static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
  hex_encode(bytes, {out, 8});
}


}  // namespace

std::array<char, kCommitmentSize> commitment_text(const AuxTree& tree) {
  std::array<char, kCommitmentSize> text;
  std::copy_n("fabe6d6d", 8, text.begin());
  hex_encode(tree.root, {text.data() + 8, 64});
  append_le32_hex(tree.tree_size, text.data() + 72);
  append_le32_hex(tree.tree_nonce, text.data() + 80);
  return text;
}

CommitmentPlace find_commitment_place(std::string_view reply) {
  CommitmentPlace place;
  if (const std::size_t flags = reply.find(kFlagsKey); flags != std::string_view::npos) {
    const std::size_t close = reply.find('"', flags + kFlagsKey.size());
    if (close == std::string_view::npos) return place;  // a flags text that never ends
    place.found = true;
    place.pos = close;
    return place;
  }
  if (const std::size_t empty = reply.find(kEmptyCoinbaseAux); empty != std::string_view::npos) {
    place.found = true;
    place.pos = empty;
    place.erase = kEmptyCoinbaseAux.size();
    place.before = "\"coinbaseaux\":{\"flags\":\"";
    place.after = "\"}";
    return place;
  }
  if (const std::size_t open = reply.find(kCoinbaseAuxOpen); open != std::string_view::npos) {
    place.found = true;
    place.pos = open + kCoinbaseAuxOpen.size();
    place.before = kFlagsKey;
    place.after = "\",";
  }
  return place;
}

std::size_t find_aux_fields_place(std::string_view text) {
  if (text.size() < kErrorMember.size()) return std::string_view::npos;
  return text.rfind(kErrorMember);
}

Status append_aux_fields(const AuxEngine& engine, std::pmr::string& out) {
  try {
    std::array<char, kNumberTextSize> number;
    char root_hex[64];
    hex_encode(engine.tree.root, root_hex);
    std::size_t valid = 0;
    for (const AuxChainState& state : engine.states) valid += state.templ.valid ? 1 : 0;

    out += "\"aux_merkle_root\":\"";
    out.append(root_hex, sizeof root_hex);
    out += "\",\"aux_tree_size\":";
    out += format_decimal(engine.tree.tree_size, number);
    out += ",\"aux_tree_nonce\":";
    out += format_decimal(engine.tree.tree_nonce, number);
    out += ",\"n_aux_chains\":";
    out += format_decimal(valid, number);
    out += ",\"aux_chains\":[";
    bool first = true;
    for (std::size_t j = 0; j < engine.states.size(); ++j) {
      const AuxChainState& state = engine.states[j];
      if (!state.templ.valid) continue;
      if (!first) out += ',';
      first = false;
      out += "{\"chain_id\":\"";
      if (auto s = append_json_escaped(state.chain_id, out); !s) return s;
      out += "\",\"hash\":\"";
      if (auto s = append_json_escaped(state.templ.hash_text(), out); !s) return s;
      out += "\",\"target\":\"";
      // The target text is kept even when it failed to decode, so it may hold anything.
      if (auto s = append_json_escaped(state.templ.target_text(), out); !s) return s;
      out += "\",\"diff\":";
      // JSON has no infinity; an all-zero target has no finite difficulty.
      if (std::isinf(state.templ.diff)) {
        out += "null";
      } else {
        out += format_fixed(state.templ.diff, 6, number);
      }
      out += ",\"slot\":";
      out += format_decimal(j, number);
      out += '}';
    }
    out += ']';
    return {};
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
}

Result<std::pmr::string> rewrite_template(std::string_view reply, const AuxEngine& engine,
                                          std::pmr::memory_resource* memory) {
  try {
    std::pmr::string fields(memory);
    if (auto s = append_aux_fields(engine, fields); !s) return fail(s.error());

    const CommitmentPlace place = find_commitment_place(reply);
    const std::array<char, kCommitmentSize> commitment = commitment_text(engine.tree);
    const std::size_t inserted = place.found ? place.before.size() + kCommitmentSize + place.after.size() : 0;
    std::pmr::string out(memory);
    out.reserve(reply.size() - place.erase + inserted + 1 + fields.size());
    if (place.found) {
      out.append(reply.substr(0, place.pos));
      out.append(place.before);
      out.append(commitment.data(), commitment.size());
      out.append(place.after);
      out.append(reply.substr(place.pos + place.erase));
    } else {
      out.append(reply);
    }
    // Searched after the commitment is placed: the aux fields go into the text as it is
    // sent. The tail after the last "},\"error\"" is short, so the insert moves few bytes
    // and the reserved room means no reallocation.
    const std::size_t at = find_aux_fields_place(out);
    if (at != std::string_view::npos) {
      // An empty object takes the fields without a separator; a comma would make it invalid.
      const std::size_t comma = at > 0 && out[at - 1] == '{' ? 0 : 1;
      out.insert(at, comma + fields.size(), ',');
      out.replace(at + comma, fields.size(), fields);
    }
    return out;
  } catch (const std::bad_alloc&) {
    return fail(ErrorCode::OutOfMemory);
  }
}

}  // namespace skerrow
