// Transaction ids. A txid hashes the transaction without its witness data, so a segwit
// coinbase as the pool submits it must be stripped before hashing.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <span>

#include "auxpow/hash.h"
#include "error/error.h"

namespace skerrow {

// The txid (internal order) of one serialised transaction, with or without the segwit
// marker, flag and witnesses. The whole span must be exactly one transaction.
// Errors: InvalidLength (truncated, or bytes after the lock time), Unsupported (a flag
// other than the witness flag), OutOfMemory (scratch copy for a segwit transaction).
Result<Hash32> transaction_txid(std::span<const std::uint8_t> tx, std::pmr::memory_resource* memory);

}  // namespace skerrow
