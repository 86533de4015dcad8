// The getblocktemplate rewrite answered a second way, for tests and fuzz targets to hold the
// proxy's answers against: the places of the commitment and of the aux fields found by a plain
// recursive walk over the text, and the rewritten reply as one string. The proxy itself takes
// the places from the skim's outline and sends the reply as pieces.
#pragma once

#include <cstddef>
#include <memory_resource>
#include <string>
#include <string_view>

#include "auxpow/rewrite.h"
#include "error/error.h"
#include "json/skim.h"

namespace skerrow::testing {

namespace oracle_detail {

// What a value is to the rewrite: the top level, "result", "result"."coinbaseaux", or that
// object's "flags".
enum class Role { other, top, result, coinbaseaux, flags };

// A walk over a text that parses strictly, so it checks nothing. Recursive: fuzz inputs are
// short enough for the stack.
struct Walk {
  std::string_view t;
  std::size_t i = 0;
  std::size_t result_close = std::string_view::npos;
  std::size_t aux_open = std::string_view::npos;
  bool aux_empty = false;
  std::size_t flags_close = std::string_view::npos;
  bool flags_other = false;

  void blanks() {
    while (i < t.size() && (t[i] == ' ' || t[i] == '\t' || t[i] == '\n' || t[i] == '\r')) ++i;
  }
  // At the opening quote; leaves i past the closing one. Decoded only as far as the ASCII
  // names looked for need: anything beyond ASCII becomes '\x80'.
  std::string string() {
    std::string out;
    for (++i; t[i] != '"';) {
      if (t[i] != '\\') {
        out += t[i++];
      } else if (t[i + 1] == 'u') {
        const unsigned cp = static_cast<unsigned>(std::stoul(std::string(t.substr(i + 2, 4)), nullptr, 16));
        out += cp < 0x80 ? static_cast<char>(cp) : '\x80';
        i += 6;
      } else {
        const char e = t[i + 1];
        out += e == '"' || e == '\\' || e == '/' ? e : '\x01';
        i += 2;
      }
    }
    ++i;
    return out;
  }
  void value(Role role) {
    blanks();
    const char c = t[i];
    if (role == Role::flags && c != '"') flags_other = true;
    if (c == '{') {
      const std::size_t open = i++;
      blanks();
      if (role == Role::coinbaseaux) {
        aux_open = open;
        aux_empty = t[i] == '}';
      }
      while (t[i] != '}') {
        blanks();
        const std::string key = string();
        blanks();
        ++i;  // ':'
        Role child = Role::other;
        if (role == Role::top && key == "result") child = Role::result;
        if (role == Role::result && key == "coinbaseaux") child = Role::coinbaseaux;
        if (role == Role::coinbaseaux && key == "flags") child = Role::flags;
        value(child);
        blanks();
        if (t[i] == ',') ++i;
      }
      if (role == Role::result) result_close = i;
      ++i;
    } else if (c == '[') {
      ++i;
      blanks();
      while (t[i] != ']') {
        value(Role::other);
        blanks();
        if (t[i] == ',') ++i;
      }
      ++i;
    } else if (c == '"') {
      string();
      if (role == Role::flags) flags_close = i - 1;
    } else {
      while (i < t.size() && std::string_view(",]} \t\n\r").find(t[i]) == std::string_view::npos) ++i;
    }
  }
};

}  // namespace oracle_detail

struct TemplatePlaces {
  CommitmentPlace commitment;
  std::size_t result_close = std::string_view::npos;  // where the aux fields go
};

// The places in `reply`, which must parse strictly: the commitment appended to the string
// "result"."coinbaseaux"."flags", or a "flags" member first in a "coinbaseaux" object without
// one; none when either object is missing or "flags" holds anything else.
inline TemplatePlaces template_places(std::string_view reply) {
  oracle_detail::Walk w{reply};
  w.value(oracle_detail::Role::top);
  TemplatePlaces places;
  places.result_close = w.result_close;
  CommitmentPlace& c = places.commitment;
  if (w.result_close == std::string_view::npos || w.aux_open == std::string_view::npos || w.flags_other) {
    return places;
  }
  c.found = true;
  if (w.flags_close != std::string_view::npos) {
    c.pos = w.flags_close;
  } else {
    c.pos = w.aux_open + 1;
    c.before = "\"flags\":\"";
    c.after = w.aux_empty ? "\"" : "\",";
  }
  return places;
}

// The reply as the proxy sends it, joined in one allocation of the final size: unchanged
// unless it parses strictly and has a place for the commitment. Errors: OutOfMemory.
inline Result<std::pmr::string> rewrite_template(std::string_view reply, const AuxWork& work,
                                                 std::pmr::memory_resource* memory) {
  return catch_oom([&]() -> Result<std::pmr::string> {
    std::pmr::string out(memory);
    auto outline = skim_template(reply, memory);
    if (!outline || !find_commitment_place(*outline).found) {
      out.assign(reply);
      return out;
    }
    TemplateSplice splice(memory);
    if (auto s = splice_template(reply, work, *outline, splice); !s) return fail(s.error());
    std::size_t size = 0;
    for (std::string_view piece : splice.pieces()) size += piece.size();
    out.reserve(size);
    for (std::string_view piece : splice.pieces()) out.append(piece);
    return out;
  });
}

}  // namespace skerrow::testing
