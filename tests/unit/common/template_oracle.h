// The getblocktemplate rewrite answered a second way, for tests and fuzz targets to hold the
// proxy's answers against: the commitment's place found by walking the parsed reply, the place
// of the aux fields by a plain search of the finished text, and the rewritten reply as one
// string. The proxy itself takes the place from the skim's outline (or a byte search) and sends
// the reply as pieces.
#pragma once

#include <cstddef>
#include <memory_resource>
#include <string_view>
#include <vector>

#include "auxpow/rewrite.h"
#include "error/error.h"
#include "json/reader.h"

namespace skerrow::testing {

namespace oracle_detail {

inline bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

inline std::size_t skip_blanks(std::string_view text, std::size_t pos) {
  while (pos < text.size() && is_blank(text[pos])) ++pos;
  return pos;
}

// The closing quote of the JSON string whose opening quote is at `open`, or npos.
inline std::size_t string_end(std::string_view text, std::size_t open) {
  for (std::size_t i = open + 1; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;
    } else if (text[i] == '"') {
      return i;
    }
  }
  return std::string_view::npos;
}

}  // namespace oracle_detail

// The commitment's place found from `root`, the reply parsed with borrowed texts: the first
// "flags" string or "coinbaseaux" object in document order, its value located from the key's
// position, so blanks between the tokens are no obstacle. The rules are those of the byte
// search (find_commitment_place), an empty coinbaseaux anywhere taken before a non-empty one.
inline CommitmentPlace commitment_place_from_tree(std::string_view reply, const JsonValue& root) {
  using oracle_detail::skip_blanks;
  constexpr std::size_t npos = std::string_view::npos;
  // Keys borrowed from the reply point into it (a key written with escapes was copied, and is
  // then no byte match for the names below anyway); where a key ends, its closing quote
  // follows. From there the value is found as JSON places it: blanks, ':', blanks.
  const char* const begin = reply.data();
  const char* const end = reply.data() + reply.size();
  auto borrowed = [&](std::string_view key) {
    return key.data() > begin && key.data() + key.size() < end && key.data()[-1] == '"';
  };
  auto value_start = [&](std::string_view key) {
    const std::size_t after_key = static_cast<std::size_t>(key.data() + key.size() + 1 - begin);
    const std::size_t colon = skip_blanks(reply, after_key);
    if (colon >= reply.size() || reply[colon] != ':') return npos;
    return skip_blanks(reply, colon + 1);
  };
  std::size_t flags_open = npos;  // the value's opening quote
  std::size_t empty_key = npos, empty_close = npos;
  std::size_t filled_open = npos;  // '{' of the first non-empty coinbaseaux
  // Document order, without recursion: the stack holds the containers still being walked.
  struct Step {
    const JsonValue* value;
    std::size_t next;
  };
  std::vector<Step> stack;
  stack.push_back({&root, 0});
  while (!stack.empty() && flags_open == npos) {
    Step& step = stack.back();
    const JsonValue& v = *step.value;
    const JsonValue* child = nullptr;
    if (v.is_object() && step.next < v.members().size()) {
      const JsonMember& m = v.members()[step.next++];
      const bool flags = m.key == "flags" && m.value.is_string();
      const bool aux = m.key == "coinbaseaux" && m.value.is_object();
      const std::size_t at = (flags || aux) && borrowed(m.key) ? value_start(m.key) : npos;
      if (at != npos) {
        if (flags) {
          flags_open = at;
        } else if (m.value.members().empty()) {
          if (empty_key == npos) {
            empty_key = static_cast<std::size_t>(m.key.data() - begin) - 1;
            empty_close = skip_blanks(reply, at + 1);
          }
        } else if (filled_open == npos) {
          filled_open = at;
        }
      }
      child = &m.value;
    } else if (v.is_array() && step.next < v.items().size()) {
      child = &v.items()[step.next++];
    } else {
      stack.pop_back();
      continue;
    }
    if (child->is_object() || child->is_array()) stack.push_back({child, 0});
  }

  CommitmentPlace place;
  if (flags_open != npos) {
    const std::size_t close = oracle_detail::string_end(reply, flags_open);
    if (close == npos) return {};
    place.found = true;
    place.pos = close;
  } else if (empty_key != npos) {
    place.found = true;
    place.pos = empty_key;
    place.erase = empty_close + 1 - empty_key;
    place.before = "\"coinbaseaux\":{\"flags\":\"";
    place.after = "\"}";
  } else if (filled_open != npos) {
    place.found = true;
    place.pos = filled_open + 1;
    place.before = "\"flags\":\"";
    place.after = "\",";
  }
  return place;
}

// Position of the last "},\"error\"" (where the aux fields go), or npos.
inline std::size_t aux_fields_place(std::string_view text) {
  constexpr std::string_view kErrorMember = "},\"error\"";
  if (text.size() < kErrorMember.size()) return std::string_view::npos;
  return text.rfind(kErrorMember);
}

// The reply as the proxy sends it (place by byte search), joined in one allocation of the
// final size. Errors: OutOfMemory.
inline Result<std::pmr::string> rewrite_template(std::string_view reply, const AuxWork& work,
                                                 std::pmr::memory_resource* memory) {
  return catch_oom([&]() -> Result<std::pmr::string> {
    TemplateSplice splice(memory);
    if (auto s = splice_template(reply, work, splice, nullptr); !s) return fail(s.error());
    std::size_t size = 0;
    for (std::string_view piece : splice.pieces()) size += piece.size();
    std::pmr::string out(memory);
    out.reserve(size);
    for (std::string_view piece : splice.pieces()) out.append(piece);
    return out;
  });
}

}  // namespace skerrow::testing
