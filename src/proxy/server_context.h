// The record shared by the event loop and every worker. Built completely before the first
// worker starts; afterwards only `aux` changes, and only under its lock.
#pragma once

#include <cstdint>

#include "auxpow/engine.h"
#include "http/access.h"
#include "config/config.h"
#include "proxy/daemon_pool.h"
#include "rpc/address.h"

namespace skerrow {

struct ServerContext {
  const Config* config = nullptr;
  ChainEndpoint parent;      // views into the configuration
  DaemonPools pools;         // the chains that have backups; their calls go through these
  AuxEngine aux;
  ClientAccess access;       // views into the configuration
  std::uint64_t daemon_timeout_ms = 0;  // bound on every daemon call (0: none)
  std::uint64_t client_timeout_ms = 0;  // bound on each read and write of a client (0: none)
};

}  // namespace skerrow
