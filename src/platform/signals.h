// Signals the process reads as events (the event loop's signal source) instead of letting them
// run handlers: they are blocked in every thread, so no thread is interrupted and no handler
// runs while a lock is held.
#pragma once

#include <span>
#include <string_view>

namespace skerrow {

// Blocks `signals` in the calling thread; threads started afterwards inherit the mask. Call it
// before the first thread starts, or a thread that misses the mask takes the default action
// (for SIGTERM: the process ends). Cannot fail for valid signal numbers.
void block_signals(std::span<const int> signals);

// "SIGTERM", "SIGINT", "SIGHUP", ...; "signal" for a number without a name here.
std::string_view signal_name(int signal);

}  // namespace skerrow
