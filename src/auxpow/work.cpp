#include "auxpow/work.h"

#include <algorithm>

namespace skerrow {

bool AuxWork::any_valid() const {
  return std::any_of(chains.begin(), chains.begin() + static_cast<std::ptrdiff_t>(chain_count),
                     [](const AuxWorkChain& c) { return c.templ.valid; });
}

void take_aux_work(const AuxEngine& engine, AuxWork& out) {
  out.tree = engine.tree;
  // The listed chains in configuration order (entries a reload added may come before).
  std::array<const AuxChainState*, kMaxAuxChains> order{};
  std::size_t count = 0;
  for (const AuxChainState& state : engine.states) {
    if (!state.listed || count == kMaxAuxChains) continue;
    std::size_t at = count++;
    for (; at > 0 && order[at - 1]->position > state.position; --at) order[at] = order[at - 1];
    order[at] = &state;
  }
  out.chain_count = count;
  for (std::size_t i = 0; i < count; ++i) {
    out.chains[i] = AuxWorkChain{order[i]->chain_id, order[i]->templ, order[i]->slot};
  }
}

}  // namespace skerrow
