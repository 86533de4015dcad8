#include "platform/service_manager.h"

#include <cstdlib>
#include <string>

#if defined(SKERROW_HAVE_SYSTEMD)
#include <systemd/sd-daemon.h>
#endif

namespace skerrow::service {
namespace {

#if defined(SKERROW_HAVE_SYSTEMD)
// The messages are short and rare; a failure to send one changes nothing for the proxy.
void send(const std::string& message) {
  if (managed()) (void)sd_notify(0, message.c_str());
}
#else
void send(const std::string&) {}
#endif

// STATUS= ends at the first line feed: the rest would be read as another assignment.
std::string one_line(std::string_view text) {
  const std::size_t end = text.find('\n');
  return std::string(end == std::string_view::npos ? text : text.substr(0, end));
}

}  // namespace

bool managed() {
#if defined(SKERROW_HAVE_SYSTEMD)
  const char* socket = std::getenv("NOTIFY_SOCKET");
  return socket != nullptr && socket[0] != '\0';
#else
  return false;
#endif
}

void ready(std::string_view text) { send("READY=1\nSTATUS=" + one_line(text)); }

void stopping() { send("STOPPING=1\nSTATUS=stopping"); }

void status(std::string_view text) { send("STATUS=" + one_line(text)); }

void watchdog_ping() { send("WATCHDOG=1"); }

std::uint64_t watchdog_interval_ms() {
#if defined(SKERROW_HAVE_SYSTEMD)
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return 0;
  const std::uint64_t half_ms = usec / 2000;
  return half_ms > 0 ? half_ms : 1;
#else
  return 0;
#endif
}

}  // namespace skerrow::service
