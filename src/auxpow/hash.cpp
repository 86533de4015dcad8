#include "auxpow/hash.h"

// The one-shot SHA256() of OpenSSL 3 looks the algorithm up in the provider store on every
// call (a global read lock and a reference count); the block functions go straight to the
// (SHA-NI) compression code.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>

namespace skerrow {
namespace {

void sha256(const std::uint8_t* data, std::size_t size, std::uint8_t* out) {
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  SHA256_Update(&ctx, data, size);
  SHA256_Final(out, &ctx);
}

}  // namespace

Hash32 hash_pair(const Hash32& left, const Hash32& right) {
  std::uint8_t message[64];
  std::memcpy(message, left.data(), 32);
  std::memcpy(message + 32, right.data(), 32);
  std::uint8_t first[SHA256_DIGEST_LENGTH];
  sha256(message, sizeof message, first);
  Hash32 out;
  sha256(first, sizeof first, out.data());
  return out;
}

Hash32 double_sha256(std::span<const std::uint8_t> bytes) {
  std::uint8_t first[SHA256_DIGEST_LENGTH];
  sha256(bytes.data(), bytes.size(), first);
  Hash32 out;
  sha256(first, sizeof first, out.data());
  return out;
}

void reverse_hash(Hash32& hash) { std::reverse(hash.begin(), hash.end()); }

}  // namespace skerrow
