#include "auxpow/sha256_shani.h"

#include <array>
#include <cstdlib>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace skerrow::sha256_shani {

#if defined(__x86_64__)

namespace {

constexpr std::array<std::uint32_t, 64> kRound = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::array<std::uint32_t, 8> kInitial = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                   0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// The second block of a 64-byte message is padding only (0x80, zeros, the length of 512 bits),
// the same for every message: its schedule, round constants added, is worked out here once.
constexpr std::array<std::uint32_t, 64> kPaddingSchedule = [] {
  std::array<std::uint32_t, 64> w{};
  w[0] = 0x80000000;
  w[15] = 512;
  for (std::size_t i = 16; i < 64; ++i) {
    const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  for (std::size_t i = 0; i < 64; ++i) w[i] += kRound[i];
  return w;
}();

#define SKERROW_SHANI __attribute__((target("sha,sse4.1"), always_inline)) inline

// The state as the round instruction takes it: one register with A, B, E, F (A in the top
// lane) and one with C, D, G, H.
struct State {
  __m128i abef;
  __m128i cdgh;
};

SKERROW_SHANI State initial_state() {
  return {_mm_set_epi32(static_cast<int>(kInitial[0]), static_cast<int>(kInitial[1]),
                        static_cast<int>(kInitial[4]), static_cast<int>(kInitial[5])),
          _mm_set_epi32(static_cast<int>(kInitial[2]), static_cast<int>(kInitial[3]),
                        static_cast<int>(kInitial[6]), static_cast<int>(kInitial[7]))};
}

// Four rounds with message words plus round constants `wk` (lane i: round i).
SKERROW_SHANI void rounds4(State& s, __m128i wk) {
  // Two rounds turn A, B, E, F into the next C, D, G, H: the registers swap roles each call.
  s.cdgh = _mm_sha256rnds2_epu32(s.cdgh, s.abef, wk);
  s.abef = _mm_sha256rnds2_epu32(s.abef, s.cdgh, _mm_shuffle_epi32(wk, 0x0E));
}

SKERROW_SHANI __m128i round_constants(std::size_t group) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound.data() + 4 * group));
}

// W[i+16 .. i+19] from W[i .. i+15] held as four registers of four words.
SKERROW_SHANI __m128i next_words(__m128i w0, __m128i w1, __m128i w2, __m128i w3) {
  const __m128i partial = _mm_add_epi32(_mm_sha256msg1_epu32(w0, w1), _mm_alignr_epi8(w3, w2, 4));
  return _mm_sha256msg2_epu32(partial, w3);
}

// One block on `lanes` independent states at once: the rounds of one state wait on each
// other, so two messages side by side keep the SHA unit busy.
template <std::size_t lanes>
SKERROW_SHANI void compress(State (&s)[lanes], __m128i (&w)[lanes][4]) {
  State start[lanes];
  for (std::size_t l = 0; l < lanes; ++l) start[l] = s[l];
#pragma GCC unroll 16
  for (std::size_t g = 0; g < 16; ++g) {
    const __m128i k = round_constants(g);
    for (std::size_t l = 0; l < lanes; ++l) {
      __m128i& now = w[l][g % 4];
      if (g >= 4) now = next_words(w[l][g % 4], w[l][(g + 1) % 4], w[l][(g + 2) % 4], w[l][(g + 3) % 4]);
      rounds4(s[l], _mm_add_epi32(now, k));
    }
  }
  for (std::size_t l = 0; l < lanes; ++l) {
    s[l].abef = _mm_add_epi32(s[l].abef, start[l].abef);
    s[l].cdgh = _mm_add_epi32(s[l].cdgh, start[l].cdgh);
  }
}

// The padding block of a 64-byte message, whose schedule is fixed.
template <std::size_t lanes>
SKERROW_SHANI void compress_padding(State (&s)[lanes]) {
  State start[lanes];
  for (std::size_t l = 0; l < lanes; ++l) start[l] = s[l];
#pragma GCC unroll 16
  for (std::size_t g = 0; g < 16; ++g) {
    const __m128i wk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kPaddingSchedule.data() + 4 * g));
    for (std::size_t l = 0; l < lanes; ++l) rounds4(s[l], wk);
  }
  for (std::size_t l = 0; l < lanes; ++l) {
    s[l].abef = _mm_add_epi32(s[l].abef, start[l].abef);
    s[l].cdgh = _mm_add_epi32(s[l].cdgh, start[l].cdgh);
  }
}

// The state back as words a..h: {a, b, c, d} and {e, f, g, h}, lane 0 first.
SKERROW_SHANI void state_words(const State& s, __m128i& abcd, __m128i& efgh) {
  const __m128i feba = _mm_shuffle_epi32(s.abef, 0x1B);  // lanes a, b, e, f
  const __m128i dchg = _mm_shuffle_epi32(s.cdgh, 0xB1);  // lanes g, h, c, d
  abcd = _mm_blend_epi16(feba, dchg, 0xF0);
  efgh = _mm_alignr_epi8(dchg, feba, 8);
}

SKERROW_SHANI __m128i byte_swap_words(__m128i v) {
  return _mm_shuffle_epi8(v, _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL));
}

template <std::size_t lanes>
SKERROW_SHANI void hash_lanes(const std::uint8_t* in, std::uint8_t* out) {
  State s[lanes];
  __m128i w[lanes][4];
  for (std::size_t l = 0; l < lanes; ++l) {
    s[l] = initial_state();
    for (std::size_t i = 0; i < 4; ++i) {
      w[l][i] = byte_swap_words(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 64 * l + 16 * i)));
    }
  }
  compress(s, w);
  compress_padding(s);
  // The first digest, as big-endian words, is the first half of the second message; the
  // rest is its padding (0x80, zeros, the length of 256 bits).
  for (std::size_t l = 0; l < lanes; ++l) {
    state_words(s[l], w[l][0], w[l][1]);
    w[l][2] = _mm_set_epi32(0, 0, 0, static_cast<int>(0x80000000u));
    w[l][3] = _mm_set_epi32(256, 0, 0, 0);
    s[l] = initial_state();
  }
  compress(s, w);
  for (std::size_t l = 0; l < lanes; ++l) {
    __m128i abcd, efgh;
    state_words(s[l], abcd, efgh);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * l), byte_swap_words(abcd));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * l + 16), byte_swap_words(efgh));
  }
}

#undef SKERROW_SHANI

bool detect() {
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  const bool sse41 = (c & bit_SSE4_1) != 0 && (c & bit_SSSE3) != 0;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  return sse41 && (b & bit_SHA) != 0;
}

}  // namespace

bool available() {
  static const bool has = detect();
  return has;
}

__attribute__((target("sha,sse4.1"))) void double_sha256_64(const std::uint8_t* in, std::size_t count,
                                                             std::uint8_t* out) {
  std::size_t i = 0;
  for (; i + 4 <= count; i += 4) hash_lanes<4>(in + 64 * i, out + 32 * i);
  for (; i + 2 <= count; i += 2) hash_lanes<2>(in + 64 * i, out + 32 * i);
  if (i < count) hash_lanes<1>(in + 64 * i, out + 32 * i);
}

#else

bool available() { return false; }

void double_sha256_64(const std::uint8_t*, std::size_t, std::uint8_t*) { std::abort(); }

#endif

}  // namespace skerrow::sha256_shani
