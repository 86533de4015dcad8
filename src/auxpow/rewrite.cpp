#include "auxpow/rewrite.h"

#include <algorithm>
#include <cmath>
#include <span>

#include "auxpow/hex.h"
#include "json/writer.h"
#include "log/format.h"

namespace skerrow {
namespace {

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

CommitmentPlace find_commitment_place(const TemplateOutline& outline) {
  CommitmentPlace place;
  if (outline.result_close == TemplateOutline::npos || outline.aux_open == TemplateOutline::npos) return place;
  if (outline.flags_close != TemplateOutline::npos) {
    place.found = true;
    place.pos = outline.flags_close;
    return place;
  }
  if (outline.flags_other) return place;
  place.found = true;
  place.pos = outline.aux_open + 1;
  place.before = "\"flags\":\"";
  place.after = outline.aux_empty ? std::string_view("\"") : std::string_view("\",");
  return place;
}

Status append_aux_fields(const AuxWork& work, std::pmr::string& out) {
  return catch_oom([&]() -> Status {
    std::array<char, kNumberTextSize> number;
    char root_hex[64];
    hex_encode(work.tree.root, root_hex);
    const std::span<const AuxWorkChain> chains(work.chains.data(), work.chain_count);
    std::size_t valid = 0;
    for (const AuxWorkChain& chain : chains) valid += chain.templ.valid ? 1 : 0;

    out += "\"aux_merkle_root\":\"";
    out.append(root_hex, sizeof root_hex);
    out += "\",\"aux_tree_size\":";
    out += format_decimal(work.tree.tree_size, number);
    out += ",\"aux_tree_nonce\":";
    out += format_decimal(work.tree.tree_nonce, number);
    out += ",\"n_aux_chains\":";
    out += format_decimal(valid, number);
    out += ",\"aux_chains\":[";
    bool first = true;
    for (std::size_t j = 0; j < chains.size(); ++j) {
      const AuxWorkChain& state = chains[j];
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
  });
}

Status splice_template(std::string_view reply, const AuxWork& work, const TemplateOutline& outline,
                       TemplateSplice& out) {
  const CommitmentPlace place = find_commitment_place(outline);
  out.fields_.clear();
  if (auto s = append_aux_fields(work, out.fields_); !s) return s;
  out.commitment_ = commitment_text(work.tree);
  const std::size_t close = outline.result_close;
  out.pieces_ = {reply.substr(0, place.pos),
                 place.before,
                 {out.commitment_.data(), out.commitment_.size()},
                 place.after,
                 reply.substr(place.pos, close - place.pos),
                 // "result" holds "coinbaseaux": the fields always follow a member.
                 ",",
                 out.fields_,
                 reply.substr(close)};
  out.count_ = TemplateSplice::kMaxPieces;
  return {};
}

}  // namespace skerrow
