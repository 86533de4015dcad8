// Telling the service manager how the process stands: systemd's readiness protocol
// (Type=notify) and its watchdog. Outside systemd (no NOTIFY_SOCKET in the environment) and on
// systems without it every call does nothing.
#pragma once

#include <cstdint>
#include <string_view>

namespace skerrow::service {

// Whether a service manager listens at all: false outside systemd.
bool managed();

// The proxy listens and serves: a unit of Type=notify counts as started from now on.
void ready(std::string_view status);
// A clean stop began.
void stopping();
// One line on what the proxy is doing, shown by `systemctl status`.
void status(std::string_view text);
// The event loop is turning: the watchdog's time starts again.
void watchdog_ping();
// How often the watchdog wants its ping, in milliseconds: half the unit's WatchdogSec, as
// the manager advises; 0 when there is no watchdog.
std::uint64_t watchdog_interval_ms();

}  // namespace skerrow::service
