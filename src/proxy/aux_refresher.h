// The aux refresher: one thread per aux chain entry that owns every fetch of that chain's template,
// so a slow or hung aux daemon delays nothing but its own chain's next template.
#pragma once

#include "auxpow/engine.h"
#include "error/error.h"
#include "proxy/daemon_pool.h"

namespace skerrow {

// Starts one thread for every entry of `engine` from `started` on (none without chains),
// counting them in `started`; each sleeps until a fetch of its entry's listed chain is wanted
// (auxpow/schedule.h), fetches with the daemon time limit, through the entry's pool in `pools`
// when it has one, and applies the reply. Called again after a reload added entries. Returns
// the first start failure (OutOfMemory, SystemResources, Unexpected); threads started before
// it keep running. REQUIRES: `engine` and `pools` live until the process ends.
Status start_aux_refreshers(AuxEngine& engine, const AuxPoolTable& pools, std::size_t& started)
    EXCLUDES(engine.lock);

}  // namespace skerrow
