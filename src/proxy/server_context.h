// The record shared by the event loop and every worker. Built completely before the first
// worker starts; afterwards `aux` changes under its lock, and a reload of the configuration
// (on the loop's thread) swaps `config` and `access`, sets the time limits and changes the
// aux chains (their entries, pools and refreshers).
#pragma once

#include <atomic>
#include <cstdint>

#include "auxpow/coinbase.h"
#include "auxpow/engine.h"
#include "http/access.h"
#include "config/config.h"
#include "proxy/daemon_pool.h"
#include "rpc/address.h"

namespace skerrow {

struct ServerContext {
  const Config* config = nullptr;  // the configuration in force; a reload leaves the old one alive
  ChainEndpoint parent;      // views into the configuration
  DaemonPools pools;         // the parent's pool when it has backups (aux chains: aux_pools)
  AuxEngine aux;
  AuxPoolTable aux_pools{};  // per aux engine entry
  std::size_t refreshers = 0;  // aux engine entries whose refresher runs (set on the loop's thread)
  BranchMemo branch_memo;  // the coinbase branch of the last template rewritten
  // The credentials and methods in force: views into a configuration, swapped whole by a
  // reload. Neither is ever freed, since requests in flight may still read the old ones.
  std::atomic<const ClientAccess*> access{nullptr};
  std::atomic<std::uint64_t> daemon_timeout_ms{0};  // bound on every daemon call (0: none)
  std::string_view config_path;  // the file a reload reads
  std::atomic<std::uint64_t> templates_served{0};  // getblocktemplate calls answered, for the status line
};

}  // namespace skerrow
