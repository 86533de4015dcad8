// One call to a daemon, the parent's or an aux chain's, within the daemon time limit, timed
// and counted for the metrics under the daemon's label.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <string>
#include <string_view>

#include "error/error.h"
#include "json/reader.h"
#include "rpc/address.h"

namespace skerrow {

// `daemon`: metrics::kParentDaemon or an aux chain's index. The errors are the client's.
Result<std::pmr::string> timed_call(std::size_t daemon, const ChainEndpoint& endpoint,
                                    std::pmr::memory_resource* memory, std::string_view body,
                                    std::uint64_t timeout_ms);
Result<JsonDocument> timed_call_json(std::size_t daemon, const ChainEndpoint& endpoint,
                                     std::pmr::memory_resource* memory, std::string_view body,
                                     std::uint64_t timeout_ms);

}  // namespace skerrow
