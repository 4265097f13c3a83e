// How the codes of 32 stored vectors sit in one block. Both the exact scoring
// kernels and the integer bound pass read this one layout.
//
// A block is a sequence of 16-byte fields. A field holds one 4-bit nibble per
// vector: byte j holds vector j in its low nibble and vector j + 16 in its
// high nibble, so one byte shuffle looks up a field for 16 vectors at once.
// What a nibble holds depends on the bit width:
//   4 bits: field i is the code of coordinate i;
//   2 bits: field p holds the codes of coordinates 2p (bits 0-1) and 2p + 1
//           (bits 2-3);
//   3 bits: a group of four coordinates 4g .. 4g + 3 has three fields: field
//           3g + r (r = 0, 1, 2) holds the code of coordinate 4g + r in
//           bits 0-2 and bit r of the code of coordinate 4g + 3 in bit 3.
// A block is therefore exactly as large as its 32 vectors' packed codes, up
// to the codes of the missing coordinates of a last partial pair or group,
// which are zero.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {
namespace kernels {

inline constexpr std::size_t kBlockLanes = 32;
inline constexpr std::size_t kFieldBytes = 16;
// Kernels may read up to this many bytes past the last block (whole fields
// of a wide register beyond a block's last field).
inline constexpr std::size_t kBlockTailPadding = 64;

inline constexpr std::size_t field_count(std::size_t dim, int bits) {
  return bits == 4 ? dim : bits == 2 ? (dim + 1) / 2 : 3 * ((dim + 3) / 4);
}

// Coordinates that share their fields, and the fields they share.
inline constexpr int coordinates_per_step(int bits) { return bits == 4 ? 1 : bits == 2 ? 2 : 4; }
inline constexpr int fields_per_step(int bits) { return bits == 3 ? 3 : 1; }

inline constexpr int kMaxCodeParts = 3;

// One contiguous run of a code's bits inside a nibble.
struct CodePart {
  std::size_t field;
  unsigned shift;  // of the run within the nibble
  unsigned width;
  unsigned position;  // of the run within the code
};

// The parts of coordinate i's code; returns their number.
inline int code_parts(int bits, std::size_t i, CodePart parts[kMaxCodeParts]) {
  if (bits == 4) {
    parts[0] = {i, 0, 4, 0};
    return 1;
  }
  if (bits == 2) {
    parts[0] = {i / 2, 2 * static_cast<unsigned>(i % 2), 2, 0};
    return 1;
  }
  const std::size_t group = i / 4;
  const auto r = static_cast<unsigned>(i % 4);
  if (r < 3) {
    parts[0] = {3 * group + r, 0, 3, 0};
    return 1;
  }
  for (unsigned q = 0; q < 3; ++q) parts[q] = {3 * group + q, 3, 1, q};
  return 3;
}

// The nibble of a lane in a field is at byte lane % 16, bits 4 * (lane / 16).
inline unsigned nibble_shift(std::size_t lane) { return 4 * static_cast<unsigned>(lane / 16); }

inline unsigned read_code(const std::uint8_t* block, int bits, std::size_t i, std::size_t lane) {
  CodePart parts[kMaxCodeParts];
  const int count = code_parts(bits, i, parts);
  unsigned code = 0;
  for (int p = 0; p < count; ++p) {
    const unsigned byte = block[parts[p].field * kFieldBytes + lane % 16];
    const unsigned value = (byte >> (nibble_shift(lane) + parts[p].shift)) & ((1u << parts[p].width) - 1u);
    code |= value << parts[p].position;
  }
  return code;
}

inline void write_code(std::uint8_t* block, int bits, std::size_t i, std::size_t lane, unsigned code) {
  CodePart parts[kMaxCodeParts];
  const int count = code_parts(bits, i, parts);
  for (int p = 0; p < count; ++p) {
    std::uint8_t& byte = block[parts[p].field * kFieldBytes + lane % 16];
    const unsigned shift = nibble_shift(lane) + parts[p].shift;
    const unsigned mask = ((1u << parts[p].width) - 1u) << shift;
    const unsigned value = ((code >> parts[p].position) << shift) & mask;
    byte = static_cast<std::uint8_t>((byte & ~mask) | value);
  }
}

}  // namespace kernels
}  // namespace velmora
