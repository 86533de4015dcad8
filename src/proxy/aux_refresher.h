// The aux refresher: one thread per aux chain that owns every fetch of that chain's template,
// so a slow or hung aux daemon delays nothing but its own chain's next template.
#pragma once

#include "auxpow/engine.h"
#include "error/error.h"
#include "proxy/daemon_pool.h"

namespace skerrow {

// Starts one thread per chain (joinable, never joined) of `engine` (none without chains); each sleeps until a
// fetch of its chain is wanted (auxpow/schedule.h), fetches with the daemon time limit and
// applies the reply; a chain with a pool in `pools` fetches through it. Returns the first start failure (OutOfMemory, SystemResources,
// Unexpected); threads started before it keep running.
// REQUIRES: `engine` lives until the process ends.
Status start_aux_refresher(AuxEngine& engine, const DaemonPools& pools);

}  // namespace skerrow
