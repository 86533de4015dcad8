#include "proxy/daemon_call.h"

#include "metrics/metrics.h"
#include "metrics/timing.h"
#include "rpc/client.h"

namespace skerrow {
namespace {

template <typename Call>
auto timed(std::size_t daemon, Call&& call) {
  const DaemonCallTimer timer;
  auto reply = call();
  metrics::daemon_call(daemon, reply ? ErrorCode::None : reply.error(), timer.seconds());
  return reply;
}

}  // namespace

Result<std::pmr::string> timed_call(std::size_t daemon, const ChainEndpoint& endpoint,
                                    std::pmr::memory_resource* memory, std::string_view body,
                                    std::uint64_t timeout_ms) {
  return timed(daemon, [&] { return call(endpoint, memory, body, timeout_ms); });
}

Result<JsonDocument> timed_call_json(std::size_t daemon, const ChainEndpoint& endpoint,
                                     std::pmr::memory_resource* memory, std::string_view body,
                                     std::uint64_t timeout_ms) {
  return timed(daemon, [&] { return call_json(endpoint, memory, body, timeout_ms); });
}

}  // namespace skerrow
