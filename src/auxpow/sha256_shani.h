// SHA-256d of 64-byte messages on the x86 SHA extensions (SHA-NI). Internal to hash.cpp,
// which chooses between this and libcrypto once, by what the CPU says it has; the tests call
// both to hold them equal.
#pragma once

#include <cstddef>
#include <cstdint>

namespace skerrow::sha256_shani {

// True on an x86-64 CPU with the SHA extensions and SSE4.1 (CPUID), false elsewhere.
bool available();

// out[i] = SHA-256(SHA-256(in[64 i .. 64 i + 63])) for i < count, 32 bytes each. `out` may
// be `in` itself: every message is read before its digest is written, and the digest of
// message i lands at or before byte 64 i.
// REQUIRES: available().
void double_sha256_64(const std::uint8_t* in, std::size_t count, std::uint8_t* out);

}  // namespace skerrow::sha256_shani
