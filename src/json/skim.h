// Reading a getblocktemplate reply for what its rewrite needs, in one pass that builds no
// tree: the transaction ids and where the coinbase flags are. The whole text is checked as
// parse_json checks it, but the transaction data, nearly all of a template's bytes, are only
// scanned, never stored.
#pragma once

#include <cstddef>
#include <forward_list>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

#include "error/error.h"

namespace skerrow {

struct TemplateOutline {
  static constexpr std::size_t npos = std::string_view::npos;

  explicit TemplateOutline(std::pmr::memory_resource* memory) : txids(memory), decoded(memory) {}

  // True when the top level is an object whose "result" is an object whose "transactions"
  // is a non-empty array. Keys are matched as get_member matches them, decoded.
  bool has_transactions = false;
  // Of each element of that array that is an object with a string "txid": the text, decoded,
  // in order. A view into the input unless it was written with escapes (then into `decoded`).
  std::pmr::vector<std::string_view> txids;
  std::pmr::forward_list<std::pmr::string> decoded;

  // Offsets into the input of the first member, at any depth and in document order, whose key
  // is written without escapes as
  //   "flags", with a string: the string's closing quote;
  std::size_t flags_close = npos;
  //   "coinbaseaux", with an empty object: the key's opening quote and one past the '}';
  std::size_t empty_aux_key = npos;
  std::size_t empty_aux_end = npos;
  //   "coinbaseaux", with an object that has members: its '{'.
  std::size_t aux_open = npos;
};

// Reads `input`, which must outlive the outline. Fails exactly when parse_json(input) fails,
// with the same error, except that running out of memory happens at other sizes: OutOfMemory
// when `memory` refuses. Nesting depth is bounded by memory only; no recursion.
Result<TemplateOutline> skim_template(std::string_view input, std::pmr::memory_resource* memory);

}  // namespace skerrow
