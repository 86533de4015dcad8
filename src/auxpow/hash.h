// SHA-256d and the two byte orders of a 32-byte hash. Internal order is what SHA-256 yields
// and what merkle steps consume; display order (reversed) is what daemons and pools write.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace skerrow {

using Hash32 = std::array<std::uint8_t, 32>;

// SHA-256(SHA-256(left || right)): one merkle step. Not symmetric.
Hash32 hash_pair(const Hash32& left, const Hash32& right);

// SHA-256(SHA-256(bytes)), internal order. Used for transaction ids.
Hash32 double_sha256(std::span<const std::uint8_t> bytes);

// Turns a hash from one byte order into the other, in place.
void reverse_hash(Hash32& hash);

}  // namespace skerrow
