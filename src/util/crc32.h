// CRC-32 with the IEEE 802.3 polynomial, reflected (0xEDB88320), initial
// value and final XOR 0xFFFFFFFF: zlib's crc32, the checksum of zip and PNG.
// The dataset format, the files the application servers hand out and the
// client's download check all use it.
//
// The running state carries a checksum across pieces:
//   uint32_t s = kCrc32Start;
//   s = Crc32Update(s, first);
//   s = Crc32Update(s, second);
//   uint32_t crc = Crc32Final(s);
// On processors with carry-less multiplication (PCLMULQDQ, checked once at
// run time) long inputs are folded 64 bytes per step; elsewhere, and for
// short inputs and the ends, tables take eight bytes per step. Both give the
// same value.
//
// Pure functions, safe from any thread.
#pragma once

#include <cstdint>
#include <span>

namespace brevalon {

inline constexpr uint32_t kCrc32Start = 0xFFFFFFFFu;

uint32_t Crc32Update(uint32_t state, std::span<const uint8_t> bytes);
inline uint32_t Crc32Final(uint32_t state) {
  return state ^ 0xFFFFFFFFu;
}
inline uint32_t Crc32(std::span<const uint8_t> bytes) {
  return Crc32Final(Crc32Update(kCrc32Start, bytes));
}

// The table-driven path alone, whatever the processor (to check the folding
// one against).
uint32_t Crc32UpdateByTables(uint32_t state, std::span<const uint8_t> bytes);

}  // namespace brevalon
