#include "auxpow/hash.h"

// The one-shot SHA256() of OpenSSL 3 looks the algorithm up in the provider store on every
// call (a global read lock and a reference count); the block functions go straight to the
// (SHA-NI) compression code.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <cstring>

#include "auxpow/sha256_shani.h"

namespace skerrow {
namespace {

void sha256(const std::uint8_t* data, std::size_t size, std::uint8_t* out) {
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  SHA256_Update(&ctx, data, size);
  SHA256_Final(out, &ctx);
}

void double_sha256_64(const std::uint8_t* message, std::uint8_t* out) {
  std::uint8_t first[SHA256_DIGEST_LENGTH];
  sha256(message, 64, first);
  sha256(first, sizeof first, out);
}

}  // namespace

Sha256Engine sha256_engine() {
  static const Sha256Engine engine =
      sha256_shani::available() ? Sha256Engine::sha_extensions : Sha256Engine::libcrypto;
  return engine;
}

Hash32 hash_pair(const Hash32& left, const Hash32& right) {
  std::uint8_t message[64];
  std::memcpy(message, left.data(), 32);
  std::memcpy(message + 32, right.data(), 32);
  Hash32 out;
  if (sha256_engine() == Sha256Engine::sha_extensions) {
    sha256_shani::double_sha256_64(message, 1, out.data());
  } else {
    double_sha256_64(message, out.data());
  }
  return out;
}

void hash_pairs(std::span<const Hash32> pairs, std::span<Hash32> out, Sha256Engine engine) {
  static_assert(sizeof(Hash32) == 32 && alignof(Hash32) == 1, "hashes lie back to back");
  const auto* in = reinterpret_cast<const std::uint8_t*>(pairs.data());
  auto* to = reinterpret_cast<std::uint8_t*>(out.data());
  if (engine == Sha256Engine::sha_extensions) {
    sha256_shani::double_sha256_64(in, out.size(), to);
    return;
  }
  // In place, digest j overwrites the first half of pair j, read before it.
  for (std::size_t j = 0; j < out.size(); ++j) double_sha256_64(in + 64 * j, to + 32 * j);
}

Hash32 double_sha256(std::span<const std::uint8_t> bytes) {
  std::uint8_t first[SHA256_DIGEST_LENGTH];
  sha256(bytes.data(), bytes.size(), first);
  Hash32 out;
  sha256(first, sizeof first, out.data());
  return out;
}

void reverse_hash(Hash32& hash) {
  // Four byte-swapped words in reverse order: a byte loop cost more than decoding the hash.
  std::uint64_t w[4];
  std::memcpy(w, hash.data(), sizeof w);
  for (std::size_t i = 0; i < 4; ++i) {
    const std::uint64_t swapped = __builtin_bswap64(w[3 - i]);
    std::memcpy(hash.data() + 8 * i, &swapped, 8);
  }
}

}  // namespace skerrow
