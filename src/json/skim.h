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

  // Offsets into the input, of "result" and its "coinbaseaux" as get_member finds them (keys
  // decoded; a strict text has no repeated key). The closing '}' of "result" when it is an
  // object, where the aux fields go:
  std::size_t result_close = npos;
  // the '{' of "result"."coinbaseaux" when it is an object, and whether it has no members:
  std::size_t aux_open = npos;
  bool aux_empty = false;
  // the closing quote of "result"."coinbaseaux"."flags" when it is a string; `flags_other`
  // when that member holds anything else.
  std::size_t flags_close = npos;
  bool flags_other = false;
};

// Reads `input`, which must outlive the outline. Fails exactly when parse_json(input) fails,
// with the same error, except that running out of memory happens at other sizes: OutOfMemory
// when `memory` refuses. Nesting depth is bounded by memory only; no recursion.
Result<TemplateOutline> skim_template(std::string_view input, std::pmr::memory_resource* memory);

}  // namespace skerrow
