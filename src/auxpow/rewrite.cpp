#include "auxpow/rewrite.h"

#include <string.h>

#include <algorithm>
#include <cmath>
#include <span>

#include "auxpow/hex.h"
#include "json/writer.h"
#include "log/format.h"

namespace skerrow {
namespace {

constexpr std::string_view kFlagsKey = "\"flags\":\"";
constexpr std::string_view kEmptyCoinbaseAux = "\"coinbaseaux\":{}";
constexpr std::string_view kCoinbaseAuxOpen = "\"coinbaseaux\":{";
constexpr std::string_view kErrorMember = "},\"error\"";

// Position of the first `needle` in `text`, or npos. Quotes are everywhere in a template, so
// a search that stops at each one (as string_view::find does) is slow on megabytes.
std::size_t find_text(std::string_view text, std::string_view needle) {
  // memmem must not be handed the null data of an empty view.
  if (text.size() < needle.size()) return std::string_view::npos;
  const void* at = ::memmem(text.data(), text.size(), needle.data(), needle.size());
  return at == nullptr ? std::string_view::npos
                       : static_cast<std::size_t>(static_cast<const char*>(at) - text.data());
}

void append_le32_hex(std::uint32_t v, char* out) {
  const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                 static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
  hex_encode(bytes, {out, 8});
}

struct PiecePos {
  std::size_t piece;
  std::size_t offset;
};

// The last occurrence of `pattern` in the concatenation of `pieces`, as the piece and offset
// where it starts; {pieces.size(), 0} when there is none.
PiecePos rfind_in_pieces(std::span<const std::string_view> pieces, std::string_view pattern) {
  const std::size_t m = pattern.size();
  for (std::size_t i = pieces.size(); i-- > 0;) {
    const std::string_view p = pieces[i];
    // Starts in this piece but ends in a later one: these lie after any match inside it.
    // The window holds this piece's last m - 1 bytes and up to m - 1 bytes that follow.
    char window[64];
    const std::size_t own = std::min(p.size(), m - 1);
    std::size_t w = 0;
    for (std::size_t k = p.size() - own; k < p.size(); ++k) window[w++] = p[k];
    for (std::size_t j = i + 1; j < pieces.size() && w < own + m - 1; ++j) {
      for (std::size_t k = 0; k < pieces[j].size() && w < own + m - 1; ++k) window[w++] = pieces[j][k];
    }
    const std::string_view win(window, w);
    for (std::size_t start = own; start-- > 0;) {
      if (win.substr(start, m) == pattern) return {i, p.size() - own + start};
    }
    if (const std::size_t at = p.rfind(pattern); at != std::string_view::npos) return {i, at};
  }
  return {pieces.size(), 0};
}

// The byte before `pos` in the concatenation, or '\0' at its start.
char byte_before(std::span<const std::string_view> pieces, std::size_t piece, std::size_t offset) {
  if (offset > 0) return pieces[piece][offset - 1];
  for (std::size_t i = piece; i-- > 0;) {
    if (!pieces[i].empty()) return pieces[i].back();
  }
  return '\0';
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

namespace {

// The closing quote of the JSON string whose opening quote is at `open`: a quote preceded by
// an escaping backslash does not end it. npos when the string never ends.
std::size_t string_end(std::string_view text, std::size_t open) {
  for (std::size_t i = open + 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      return i;
    }
  }
  return std::string_view::npos;
}

CommitmentPlace append_to_flags(std::size_t close) {
  CommitmentPlace place;
  place.found = true;
  place.pos = close;
  return place;
}

// `key` .. `end` is the whole "coinbaseaux":{} member, however it was spaced.
CommitmentPlace replace_empty_coinbaseaux(std::size_t key, std::size_t end) {
  CommitmentPlace place;
  place.found = true;
  place.pos = key;
  place.erase = end - key;
  place.before = "\"coinbaseaux\":{\"flags\":\"";
  place.after = "\"}";
  return place;
}

// The flags member goes first into the object whose '{' is just before `inside`.
CommitmentPlace insert_flags(std::size_t inside) {
  CommitmentPlace place;
  place.found = true;
  place.pos = inside;
  place.before = kFlagsKey;
  place.after = "\",";
  return place;
}

}  // namespace

CommitmentPlace find_commitment_place(std::string_view reply) {
  if (const std::size_t flags = find_text(reply, kFlagsKey); flags != std::string_view::npos) {
    const std::size_t close = string_end(reply, flags + kFlagsKey.size() - 1);
    if (close == std::string_view::npos) return {};  // a flags text that never ends
    return append_to_flags(close);
  }
  if (const std::size_t empty = find_text(reply, kEmptyCoinbaseAux); empty != std::string_view::npos) {
    return replace_empty_coinbaseaux(empty, empty + kEmptyCoinbaseAux.size());
  }
  if (const std::size_t open = find_text(reply, kCoinbaseAuxOpen); open != std::string_view::npos) {
    return insert_flags(open + kCoinbaseAuxOpen.size());
  }
  return {};
}

CommitmentPlace find_commitment_place(const TemplateOutline& outline) {
  if (outline.flags_close != TemplateOutline::npos) return append_to_flags(outline.flags_close);
  if (outline.empty_aux_key != TemplateOutline::npos) {
    return replace_empty_coinbaseaux(outline.empty_aux_key, outline.empty_aux_end);
  }
  if (outline.aux_open != TemplateOutline::npos) return insert_flags(outline.aux_open + 1);
  return {};
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

Status TemplateSplice::fill(std::string_view reply, const AuxWork& work, const CommitmentPlace& place) {
  fields_.clear();
  if (auto s = append_aux_fields(work, fields_); !s) return s;
  commitment_ = commitment_text(work.tree);

  auto& pieces = pieces_;
  std::size_t& count = count_;
  count = 0;
  committed_ = place.found;
  if (place.found) {
    pieces[count++] = reply.substr(0, place.pos);
    pieces[count++] = place.before;
    pieces[count++] = {commitment_.data(), commitment_.size()};
    pieces[count++] = place.after;
    pieces[count++] = reply.substr(place.pos + place.erase);
  } else {
    pieces[count++] = reply;
  }

  // The aux fields go before the last "},\"error\"" of the text as it is sent, commitment
  // included; an occurrence may span pieces.
  const auto [piece, offset] = rfind_in_pieces({pieces.data(), count}, kErrorMember);
  if (piece == count) return {};
  // An empty object takes the fields without a separator; a comma would make it invalid.
  const char before = byte_before({pieces.data(), count}, piece, offset);
  const std::string_view comma = before == '{' ? std::string_view{} : std::string_view{","};
  const std::string_view head = pieces[piece].substr(0, offset);
  const std::string_view tail = pieces[piece].substr(offset);
  std::move_backward(pieces.begin() + piece + 1, pieces.begin() + count, pieces.begin() + count + 3);
  pieces[piece] = head;
  pieces[piece + 1] = comma;
  pieces[piece + 2] = fields_;
  pieces[piece + 3] = tail;
  count += 3;
  return {};
}

Status splice_template(std::string_view reply, const AuxWork& work, TemplateSplice& out,
                       const TemplateOutline* outline) {
  return out.fill(reply, work, outline ? find_commitment_place(*outline) : find_commitment_place(reply));
}

}  // namespace skerrow
