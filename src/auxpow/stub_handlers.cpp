// Temporary: lets the front end link before the AuxPoW engine exists. Removed by the engine.
#include "auxpow/handlers.h"
#include "http/dispatch.h"

namespace skerrow {

void init_aux_engine(AuxEngine&, const Config&) {}

Status handle_getblocktemplate(int fd, std::string_view body, PageArena& arena, ServerContext& ctx) {
  return passthrough(fd, body, arena, ctx);
}

Status handle_submitauxblock(int fd, std::string_view body, PageArena& arena, ServerContext& ctx) {
  return passthrough(fd, body, arena, ctx);
}

}  // namespace skerrow
