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

// Where the merkle steps are computed: the CPU's SHA extensions when it has them (chosen
// once, at the first call), libcrypto otherwise. The two give the same digests.
enum class Sha256Engine : std::uint8_t { libcrypto, sha_extensions };
Sha256Engine sha256_engine();

// One merkle level: out[j] = hash_pair(pairs[2 j], pairs[2 j + 1]) for every j < out.size().
// `out` may start where `pairs` starts (a level folded in place), but not elsewhere inside it.
// REQUIRES: pairs.size() == 2 * out.size(); `engine` available on this CPU.
void hash_pairs(std::span<const Hash32> pairs, std::span<Hash32> out, Sha256Engine engine = sha256_engine());

// SHA-256(SHA-256(bytes)), internal order. Used for transaction ids.
Hash32 double_sha256(std::span<const std::uint8_t> bytes);

// Turns a hash from one byte order into the other, in place.
void reverse_hash(Hash32& hash);

}  // namespace skerrow
