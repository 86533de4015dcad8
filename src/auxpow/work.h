// One consistent version of the aux state, copied out under the aux-state lock so that a
// getblocktemplate can build its answer without holding the lock: the tree and, per chain,
// the template and slot it was built from.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "auxpow/engine.h"
#include "platform/thread_annotations.h"

namespace skerrow {

struct AuxWorkChain {
  std::string_view chain_id;  // a view into the configuration
  AuxTemplate templ;
  std::uint32_t slot = 0;
};

struct AuxWork {
  AuxTree tree;
  std::size_t chain_count = 0;  // configuration order, at most kMaxAuxChains
  std::array<AuxWorkChain, kMaxAuxChains> chains{};

  bool any_valid() const;
};

// The engine's current templates, slots and tree.
void take_aux_work(const AuxEngine& engine, AuxWork& out) REQUIRES(engine.lock);

}  // namespace skerrow
