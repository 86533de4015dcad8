// The merkle steps and the hash decoder against their slow forms on arbitrary bytes: every
// SHA-256d engine this CPU has, over the input cut into 64-byte pairs (the last one padded
// with zeros), in place and not, against libcrypto's one-shot SHA-256 applied twice; and each
// 64-byte stretch read as a hash by the fast decoder and by the general one.
#include <openssl/sha.h>

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "auxpow/hash.h"
#include "auxpow/hex.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using skerrow::Hash32;
  using skerrow::Sha256Engine;
  const std::size_t count = (size + 63) / 64;
  std::vector<Hash32> pairs(2 * count);
  if (size != 0) std::memcpy(pairs.data(), data, size);

  std::vector<Hash32> want(count);
  for (std::size_t j = 0; j < count; ++j) {
    std::uint8_t first[32];
    SHA256(pairs[2 * j].data(), 64, first);
    SHA256(first, 32, want[j].data());
  }
  std::vector<Sha256Engine> engines{Sha256Engine::libcrypto};
  if (skerrow::sha256_engine() == Sha256Engine::sha_extensions) engines.push_back(Sha256Engine::sha_extensions);
  for (Sha256Engine engine : engines) {
    std::vector<Hash32> out(count);
    skerrow::hash_pairs(pairs, out, engine);
    FUZZ_CHECK(out == want);
    std::vector<Hash32> level = pairs;
    skerrow::hash_pairs(level, std::span<Hash32>(level.data(), count), engine);
    FUZZ_CHECK(std::equal(want.begin(), want.end(), level.begin()));
  }
  if (count != 0) FUZZ_CHECK(skerrow::hash_pair(pairs[0], pairs[1]) == want[0]);

  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (std::size_t at = 0; at < size; at += 64) {
    const std::string_view part = text.substr(at, 64);
    Hash32 fast{}, slow{};
    const bool ok = skerrow::hex_decode_hash(part, fast);
    FUZZ_CHECK(ok == (part.size() == 64 && skerrow::hex_decode(part, slow).has_value()));
    if (ok) FUZZ_CHECK(fast == slow);
  }
  return 0;
}
