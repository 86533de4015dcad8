#include "auxpow/work.h"

#include <algorithm>

namespace skerrow {

bool AuxWork::any_valid() const {
  return std::any_of(chains.begin(), chains.begin() + static_cast<std::ptrdiff_t>(chain_count),
                     [](const AuxWorkChain& c) { return c.templ.valid; });
}

void take_aux_work(const AuxEngine& engine, AuxWork& out) {
  out.tree = engine.tree;
  out.chain_count = std::min(engine.states.size(), kMaxAuxChains);
  for (std::size_t i = 0; i < out.chain_count; ++i) {
    const AuxChainState& state = engine.states[i];
    out.chains[i] = AuxWorkChain{state.chain_id, state.templ, state.slot};
  }
}

}  // namespace skerrow
