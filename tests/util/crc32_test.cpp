#include "util/crc32.h"

#include <gtest/gtest.h>

#include <random>
#include <string_view>
#include <vector>

namespace brevalon {
namespace {

std::span<const uint8_t> Bytes(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(Crc32Test, KnownValues) {
  EXPECT_EQ(Crc32({}), 0u);
  EXPECT_EQ(Crc32(Bytes("a")), 0xE8B7BE43u);
  EXPECT_EQ(Crc32(Bytes("123456789")), 0xCBF43926u);
  EXPECT_EQ(Crc32(Bytes("The quick brown fox jumps over the lazy dog")), 0x414FA339u);
  const std::vector<uint8_t> zeros(4096, 0);
  EXPECT_EQ(Crc32(zeros), 0xC71C0011u);
}

// The folding path takes inputs of 64 bytes and more, in multiples of 16,
// at any alignment; the tables take the rest. Every length around those
// edges, at every offset within 16 bytes, and in pieces, must agree with the
// tables alone.
TEST(Crc32Test, FoldingAgreesWithTablesAtEveryLengthAndAlignment) {
  std::mt19937 random(20261210);
  std::vector<uint8_t> data(70000);
  for (auto& b : data) b = static_cast<uint8_t>(random());
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 300; ++n) lengths.push_back(n);
  for (std::size_t n : {1023u, 1024u, 1025u, 4096u, 18208u, 65535u, 65536u, 69984u})
    lengths.push_back(n);
  for (std::size_t offset = 0; offset < 16; ++offset) {
    for (std::size_t n : lengths) {
      const std::span<const uint8_t> piece(data.data() + offset, n);
      ASSERT_EQ(Crc32Update(kCrc32Start, piece), Crc32UpdateByTables(kCrc32Start, piece))
          << "offset " << offset << ", length " << n;
    }
  }
  const std::span<const uint8_t> all(data);
  for (std::size_t cut : {0u, 1u, 63u, 64u, 100u, 4097u, 69999u}) {
    const uint32_t split = Crc32Update(Crc32Update(kCrc32Start, all.first(cut)), all.subspan(cut));
    EXPECT_EQ(Crc32Final(split), Crc32(all)) << "cut at " << cut;
  }
}

}  // namespace
}  // namespace brevalon
