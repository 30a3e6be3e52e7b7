#include "util/crc32.h"

#include <array>
#include <cstddef>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace brevalon {

namespace {

// ---- tables: eight bytes per step ----

constexpr std::array<std::array<uint32_t, 256>, 8> MakeTables() {
  std::array<std::array<uint32_t, 256>, 8> t{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (uint32_t i = 0; i < 256; ++i)
    for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
  return t;
}

constexpr auto kTables = MakeTables();

uint32_t ByTables(uint32_t c, const uint8_t* p, std::size_t n) {
  while (n >= 8) {
    const uint32_t lo =
        c ^ (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24);
    c = kTables[7][lo & 0xFF] ^ kTables[6][(lo >> 8) & 0xFF] ^ kTables[5][(lo >> 16) & 0xFF] ^
        kTables[4][lo >> 24] ^ kTables[3][p[4]] ^ kTables[2][p[5]] ^ kTables[1][p[6]] ^
        kTables[0][p[7]];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) c = kTables[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
  return c;
}

#if defined(__x86_64__)

// ---- folding with carry-less multiplication ----
//
// The input is folded 512 bits at a time into four 128-bit lanes, the lanes
// into one, that one to 64 and 32 bits, and a Barrett reduction gives the
// remainder ("Fast CRC Computation for Generic Polynomials Using PCLMULQDQ",
// Gopal et al., Intel 2009). The constants are x^k mod P for the
// bit-reflected polynomial: k1 = x^(4*128+32), k2 = x^(4*128-32),
// k3 = x^(128+32), k4 = x^(128-32), k5 = x^64; P' = the polynomial itself
// (33 bits) and u' = floor(x^64 / P), both reflected.
constexpr std::size_t kFoldMinBytes = 64;

#define BREVALON_CRC_TARGET __attribute__((target("pclmul,sse4.1")))

BREVALON_CRC_TARGET inline __m128i Load(const uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// a's low half times k's low half, plus a's high half times k's high half.
BREVALON_CRC_TARGET inline __m128i Fold(__m128i a, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x00), _mm_clmulepi64_si128(a, k, 0x11));
}

BREVALON_CRC_TARGET uint32_t ByFolding(uint32_t crc, const uint8_t* p, std::size_t n) {
  // n >= 64 and a multiple of 16.
  const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
  const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
  const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
  const __m128i poly = _mm_set_epi64x(0x1f7011641, 0x1db710641);
  const __m128i low32 = _mm_setr_epi32(-1, 0, 0, 0);

  __m128i x1 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = Load(p + 16);
  __m128i x3 = Load(p + 32);
  __m128i x4 = Load(p + 48);
  p += 64;
  n -= 64;
  while (n >= 64) {
    x1 = _mm_xor_si128(Fold(x1, k1k2), Load(p));
    x2 = _mm_xor_si128(Fold(x2, k1k2), Load(p + 16));
    x3 = _mm_xor_si128(Fold(x3, k1k2), Load(p + 32));
    x4 = _mm_xor_si128(Fold(x4, k1k2), Load(p + 48));
    p += 64;
    n -= 64;
  }
  x1 = _mm_xor_si128(Fold(x1, k3k4), x2);
  x1 = _mm_xor_si128(Fold(x1, k3k4), x3);
  x1 = _mm_xor_si128(Fold(x1, k3k4), x4);
  while (n >= 16) {
    x1 = _mm_xor_si128(Fold(x1, k3k4), Load(p));
    p += 16;
    n -= 16;
  }
  // 128 -> 64 bits, adding the 32 zero bits of the CRC's shift.
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(k3k4, x1, 0x01), _mm_srli_si128(x1, 8));
  // 64 -> 32 bits.
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00),
                     _mm_srli_si128(x1, 4));
  // Barrett reduction to the remainder.
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
  return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, t), 1));
}

#undef BREVALON_CRC_TARGET

bool HasFolding() {
  static const bool has = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return has;
}

#endif

}  // namespace

uint32_t Crc32UpdateByTables(uint32_t state, std::span<const uint8_t> bytes) {
  return ByTables(state, bytes.data(), bytes.size());
}

uint32_t Crc32Update(uint32_t state, std::span<const uint8_t> bytes) {
  const uint8_t* p = bytes.data();
  std::size_t n = bytes.size();
#if defined(__x86_64__)
  if (n >= kFoldMinBytes && HasFolding()) {
    const std::size_t folded = n & ~std::size_t{15};
    state = ByFolding(state, p, folded);
    p += folded;
    n -= folded;
  }
#endif
  return ByTables(state, p, n);
}

}  // namespace brevalon
