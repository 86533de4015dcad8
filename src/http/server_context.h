// The record shared by the event loop and every worker.
#pragma once

#include <cstdint>

#include "auxpow/engine.h"
#include "config/config.h"
#include "rpc/address.h"

namespace skerrow {

struct ServerContext {
  const Config* config = nullptr;
  ChainEndpoint parent;      // views into the configuration
  AuxEngine aux;
  std::uint64_t daemon_timeout_ms = 0;  // bound on every daemon call (0: none)
};

}  // namespace skerrow
