// Rewriting a parent getblocktemplate reply as text: the merged-mining commitment joins the
// coinbase flags and the aux fields join the "result" object. Every byte of the parent's
// reply that is not changed reaches the pool as the parent wrote it.
#pragma once

#include <array>
#include <cstddef>
#include <memory_resource>
#include <span>
#include <string>
#include <string_view>

#include "auxpow/engine.h"
#include "auxpow/work.h"
#include "error/error.h"
#include "json/skim.h"

namespace skerrow {

inline constexpr std::size_t kCommitmentSize = 88;

// "fabe6d6d", the root (display order), the tree size and nonce (4 bytes each, least
// significant first), all as lowercase hex.
std::array<char, kCommitmentSize> commitment_text(const AuxTree& tree);

// Where the commitment goes: before + commitment + after are inserted at `pos`. found is
// false when the reply has no place for it.
struct CommitmentPlace {
  bool found = false;
  std::size_t pos = 0;
  std::string_view before;
  std::string_view after;
};

// The place in "result"."coinbaseaux" of the reply skimmed: appended to its "flags" string;
// when it has no "flags", a "flags" member holding only the commitment is inserted first into
// it. None when "result"."coinbaseaux" is not an object or its "flags" is not a string.
CommitmentPlace find_commitment_place(const TemplateOutline& outline);

// Appends the aux fields: root, tree size and nonce, number of valid chains and one element
// per valid chain ("slot" is the chain's configuration position; texts JSON-escaped; an
// infinite difficulty written as null). Errors: OutOfMemory.
Status append_aux_fields(const AuxWork& work, std::pmr::string& out);

// The rewritten reply as pieces that are sent one after the other: views into the parent's
// reply (which must outlive the record) and into the record itself (commitment, aux
// fields), so the reply is never copied. Filled in place by splice_template; not movable.
class TemplateSplice {
 public:
  explicit TemplateSplice(std::pmr::memory_resource* memory) : fields_(memory) {}
  TemplateSplice(const TemplateSplice&) = delete;
  TemplateSplice& operator=(const TemplateSplice&) = delete;

  std::span<const std::string_view> pieces() const { return {pieces_.data(), count_}; }

 private:
  friend Status splice_template(std::string_view, const AuxWork&, const TemplateOutline&, TemplateSplice&);
  static constexpr std::size_t kMaxPieces = 8;
  std::array<char, kCommitmentSize> commitment_{};
  std::pmr::string fields_;
  std::array<std::string_view, kMaxPieces> pieces_{};
  std::size_t count_ = 0;
};

// Fills `out` with the pieces of `reply`, whose skim is `outline`, with the commitment placed
// and the aux fields appended to "result" (before its closing '}'). Requires
// find_commitment_place(outline).found. Errors: OutOfMemory.
Status splice_template(std::string_view reply, const AuxWork& work, const TemplateOutline& outline,
                       TemplateSplice& out);

}  // namespace skerrow
