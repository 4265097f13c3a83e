// Bit packing of codebook indices: a little-endian bit stream, least
// significant bit of each index first.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/encode.h"
#include "engine/invariant.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes pack(const Bytes& indices, std::uint8_t bits) {
  return velmora::pack_indices(indices.data(), indices.size(), bits);
}

Bytes unpack(const Bytes& codes, std::size_t n, std::uint8_t bits) {
  return velmora::unpack_indices(codes.data(), codes.size(), n, bits);
}

// Stream bit k is bit k % 8 of byte k / 8; index i fills bits i*bits upwards.
Bytes pack_bit_by_bit(const Bytes& indices, unsigned bits) {
  Bytes out((indices.size() * bits + 7) / 8, 0);
  for (std::size_t i = 0; i < indices.size(); ++i) {
    for (unsigned b = 0; b < bits; ++b) {
      if ((indices[i] >> b) & 1u) {
        const std::size_t k = i * bits + b;
        out[k / 8] = static_cast<std::uint8_t>(out[k / 8] | (1u << (k % 8)));
      }
    }
  }
  return out;
}

TEST(Packing, WorkedExamples) {
  EXPECT_EQ(pack({5, 3, 6, 1}, 3), (Bytes{0x9D, 0x03}));
  EXPECT_EQ(pack({1, 2, 3, 0, 3}, 2), (Bytes{0x39, 0x03}));
  EXPECT_EQ(pack({10, 3, 15}, 4), (Bytes{0x3A, 0x0F}));
  EXPECT_EQ(unpack({0x9D, 0x03}, 4, 3), (Bytes{5, 3, 6, 1}));
  EXPECT_EQ(unpack({0x39, 0x03}, 5, 2), (Bytes{1, 2, 3, 0, 3}));
  EXPECT_EQ(unpack({0x3A, 0x0F}, 3, 4), (Bytes{10, 3, 15}));
}

TEST(Packing, ThreeBitIndicesTwoAndFiveStraddleBytes) {
  Bytes indices(8, 0);
  indices[2] = 0b101;  // low two bits -> bits 6-7 of byte 0, high bit -> bit 0 of byte 1
  EXPECT_EQ(pack(indices, 3), (Bytes{0x40, 0x01, 0x00}));
  indices[2] = 0;
  indices[5] = 0b011;  // low bit -> bit 7 of byte 1, high two bits -> bits 0-1 of byte 2
  EXPECT_EQ(pack(indices, 3), (Bytes{0x00, 0x80, 0x01}));
}

class PackingOfWidth : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(Widths, PackingOfWidth, ::testing::Values(2, 3, 4),
                         [](const auto& param_info) { return "bits" + std::to_string(param_info.param); });

TEST_P(PackingOfWidth, MatchesBitStreamAndRoundTripsForEveryLength) {
  const auto bits = static_cast<std::uint8_t>(GetParam());
  const unsigned levels = 1u << bits;
  std::uint32_t lcg = 12345;
  for (std::size_t n = 1; n <= 67; ++n) {
    for (int pattern = 0; pattern < 3; ++pattern) {
      Bytes indices(n);
      for (std::size_t i = 0; i < n; ++i) {
        lcg = lcg * 1664525u + 1013904223u;
        indices[i] = static_cast<std::uint8_t>(pattern == 0   ? levels - 1
                                               : pattern == 1 ? (i % levels)
                                                              : (lcg >> 24) % levels);
      }
      const Bytes codes = pack(indices, bits);
      ASSERT_EQ(codes.size(), velmora::packed_len(n, bits)) << "n = " << n;
      ASSERT_EQ(codes, pack_bit_by_bit(indices, bits)) << "n = " << n << ", pattern " << pattern;
      ASSERT_EQ(unpack(codes, n, bits), indices) << "n = " << n << ", pattern " << pattern;
    }
  }
}

TEST_P(PackingOfWidth, SpareBitsStayZeroEvenForOversizedInput) {
  const auto bits = static_cast<std::uint8_t>(GetParam());
  for (std::size_t n = 1; n <= 67; ++n) {
    const Bytes codes = pack(Bytes(n, 0xFF), bits);
    const std::size_t used = n * bits % 8;
    const unsigned expected_last = used == 0 ? 0xFFu : (1u << used) - 1u;
    ASSERT_EQ(codes.back(), expected_last) << "n = " << n;
    for (std::size_t b = 0; b + 1 < codes.size(); ++b) ASSERT_EQ(codes[b], 0xFF) << "n = " << n;
  }
}

TEST(Packing, PackedLengthRoundsUpToWholeBytes) {
  EXPECT_EQ(velmora::packed_len(32, 2), 8u);
  EXPECT_EQ(velmora::packed_len(32, 3), 12u);
  EXPECT_EQ(velmora::packed_len(32, 4), 16u);
  EXPECT_EQ(velmora::packed_len(33, 3), 13u);
  EXPECT_EQ(velmora::packed_len(1, 2), 1u);
  EXPECT_EQ(velmora::packed_len(0, 4), 0u);
}

TEST(Packing, UnpackingPastTheCodesIsBrokenInvariant) {
  const Bytes codes = pack({1, 2, 3, 0, 3}, 2);
  // A fifth 2-bit index starts in byte 1, a ninth in byte 2, the 33rd
  // 3-bit index in byte 12.
  EXPECT_THROW(unpack(Bytes{0x39}, 5, 2), velmora::InvariantError);
  EXPECT_THROW(unpack(codes, 9, 2), velmora::InvariantError);
  EXPECT_THROW(unpack(Bytes{}, 1, 4), velmora::InvariantError);
  EXPECT_THROW(unpack(Bytes(12, 0), 33, 3), velmora::InvariantError);
  EXPECT_NO_THROW(unpack(Bytes(13, 0), 33, 3));
}

}  // namespace
