#include "auxpow/hash.h"

#include <openssl/sha.h>

#include <algorithm>
#include <cstring>

namespace skerrow {

Hash32 hash_pair(const Hash32& left, const Hash32& right) {
  std::uint8_t message[64];
  std::memcpy(message, left.data(), 32);
  std::memcpy(message + 32, right.data(), 32);
  std::uint8_t first[SHA256_DIGEST_LENGTH];
  SHA256(message, sizeof message, first);
  Hash32 out;
  SHA256(first, sizeof first, out.data());
  return out;
}

Hash32 double_sha256(std::span<const std::uint8_t> bytes) {
  std::uint8_t first[SHA256_DIGEST_LENGTH];
  SHA256(bytes.data(), bytes.size(), first);
  Hash32 out;
  SHA256(first, sizeof first, out.data());
  return out;
}

void reverse_hash(Hash32& hash) { std::reverse(hash.begin(), hash.end()); }

}  // namespace skerrow
