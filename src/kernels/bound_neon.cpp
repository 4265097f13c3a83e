// The integer bound pass with NEON. A field's 16 code bytes are split into
// low nibbles (vectors 0-15) and high nibbles (vectors 16-31), and each half
// looks up the field's 16-entry u8 table with one TBL. The looked-up bytes
// are added to 16-bit sums with widening adds, which is exact for up to 256
// fields (256 * 255 < 2^16); every 256 fields the sums are added to 32-bit
// ones. A group of queries shares each load and split of the codes.
#include <arm_neon.h>

#include <cstddef>
#include <cstdint>

#include "kernels/block_format.h"
#include "kernels/bound_kernel.h"
#include "kernels/instruction_sets.h"
#include "kernels/kernels.h"

namespace velmora {
namespace kernels {
namespace {

constexpr std::size_t kFieldsPer16BitSum = 256;

// Bit `lane` set where the sum of that lane (of 4 * first .. + 3) exceeds the
// limit, for the 32 lanes in eight registers.
std::uint32_t survivors_of(const uint32x4_t (&sums)[8], std::uint32_t limit) {
  static const std::uint32_t kWeights[4] = {1, 2, 4, 8};
  const uint32x4_t weights = vld1q_u32(kWeights);
  const uint32x4_t threshold = vdupq_n_u32(limit);
  std::uint32_t mask = 0;
  for (int j = 0; j < 8; ++j) {
    mask |= vaddvq_u32(vandq_u32(vcgtq_u32(sums[j], threshold), weights)) << (4 * j);
  }
  return mask;
}

struct NeonBoundPass {
  // Up to four queries a pass: each keeps four registers of 16-bit sums in the
  // loop over the fields.
  static constexpr int kQueriesPerPass = 4;

  // One block for Q queries of a group, from query q0 on.
  template <int Q>
  void sum_block(const BoundGroupArgs& a, std::size_t q0, std::size_t b, std::size_t block_count, std::uint32_t* sums,
                 std::uint32_t* survivors) const {
    const std::uint8_t* block = a.blocks + b * a.block_bytes;
    const uint8x16_t low_nibbles = vdupq_n_u8(0x0F);
    // total[q][j]: vectors 4j .. 4j + 3.
    uint32x4_t total[Q][8];
    for (int q = 0; q < Q; ++q)
      for (uint32x4_t& t : total[q]) t = vdupq_n_u32(0);
    for (std::size_t first = 0; first < a.fields; first += kFieldsPer16BitSum) {
      const std::size_t last = a.fields < first + kFieldsPer16BitSum ? a.fields : first + kFieldsPer16BitSum;
      // part[q][j]: vectors 8j .. 8j + 7.
      uint16x8_t part[Q][4];
      for (int q = 0; q < Q; ++q)
        for (uint16x8_t& p : part[q]) p = vdupq_n_u16(0);
      for (std::size_t f = first; f < last; ++f) {
        const uint8x16_t codes = vld1q_u8(block + f * kFieldBytes);
        const uint8x16_t low = vandq_u8(codes, low_nibbles);
        const uint8x16_t high = vshrq_n_u8(codes, 4);
        for (int q = 0; q < Q; ++q) {
          const uint8x16_t table = vld1q_u8(a.tables[q0 + q] + f * kFieldBytes);
          const uint8x16_t of_low = vqtbl1q_u8(table, low);
          const uint8x16_t of_high = vqtbl1q_u8(table, high);
          part[q][0] = vaddw_u8(part[q][0], vget_low_u8(of_low));
          part[q][1] = vaddw_high_u8(part[q][1], of_low);
          part[q][2] = vaddw_u8(part[q][2], vget_low_u8(of_high));
          part[q][3] = vaddw_high_u8(part[q][3], of_high);
        }
      }
      for (int q = 0; q < Q; ++q) {
        for (int j = 0; j < 4; ++j) {
          total[q][2 * j] = vaddw_u16(total[q][2 * j], vget_low_u16(part[q][j]));
          total[q][2 * j + 1] = vaddw_high_u16(total[q][2 * j + 1], part[q][j]);
        }
      }
    }
    for (int q = 0; q < Q; ++q) {
      std::uint32_t* out = sums + ((q0 + q) * block_count + b) * kBlockLanes;
      for (int j = 0; j < 8; ++j) vst1q_u32(out + 4 * j, total[q][j]);
      survivors[(q0 + q) * block_count + b] = survivors_of(total[q], a.limits[q0 + q]);
    }
  }
};

}  // namespace

BoundKernel bound_kernel_neon() { return bound_kernel<NeonBoundPass>("neon-bound"); }

}  // namespace kernels
}  // namespace velmora
