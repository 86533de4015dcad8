// The JSON-RPC client: one POST per call over a fresh TCP connection, reply read until the
// daemon closes. Blocking; logs nothing; looks at neither the status line nor any header.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <string>
#include <string_view>

#include "json/reader.h"
#include "log/error.h"
#include "rpc/address.h"

namespace skerrow {

inline constexpr std::size_t kMaxReplyBytes = 4u * 1024 * 1024;
inline constexpr std::size_t kCredentialBuffer = 256;

// Builds the exact request bytes for `body` (header block and body). Errors: NoSpaceLeft
// (user ':' pass longer than 256 bytes), OutOfMemory.
Result<std::pmr::string> build_request(const ChainEndpoint& daemon, std::string_view body,
                                       std::pmr::memory_resource* memory);

// Posts `body` to the daemon and returns the reply body (everything after the first blank
// line, or the whole reply when there is none), allocated from `memory` and owned by the
// caller. `timeout_ms` bounds connect, send and every read (0: no limit); running out of time
// fails with ConnectionTimedOut. Errors: NoSpaceLeft, OutOfMemory, the socket table,
// DnsResolutionFailed, the connect table, the write table, ConnectionTimedOut.
Result<std::pmr::string> call(const ChainEndpoint& daemon, std::pmr::memory_resource* memory,
                              std::string_view body, std::uint64_t timeout_ms = 0);

// call, then parse the reply with the JSON reader (the raw bytes are freed in every case).
Result<JsonDocument> call_json(const ChainEndpoint& daemon, std::pmr::memory_resource* memory,
                               std::string_view body, std::uint64_t timeout_ms = 0);

}  // namespace skerrow
