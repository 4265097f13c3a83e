// NEON (AArch64 Advanced SIMD) register operations for the kernel templates.
// Included only by translation units built for aarch64; internal linkage
// throughout.
//
// The templates are written for registers of two 128-bit lanes whose byte
// shuffles and unpacks stay within a lane (AVX2's). Here such a register is a
// pair of NEON registers, `lo` and `hi`, and every operation applies to each
// alone: the data of a lane never crosses into the other, so the pair gives
// the same lanes, in the same order, as the x86 instantiations.
#pragma once

#include <arm_neon.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace velmora {
namespace kernels {
namespace {

struct NeonIsa {
  struct I {
    uint8x16_t lo, hi;
  };
  struct F {
    float32x4_t lo, hi;
  };
  static constexpr int kFloatLanes = 8;
  static constexpr int kBlocksPerReg = 1;  // a pair is one block's 32 byte lanes
  static constexpr int kPermuteBlocks = 2;

  template <class Op>
  static F each(F a, F b, Op op) {
    return {op(a.lo, b.lo), op(a.hi, b.hi)};
  }
  template <class Op>
  static I each(I a, I b, Op op) {
    return {op(a.lo, b.lo), op(a.hi, b.hi)};
  }

  static F zero() { return splat(0.0f); }
  static F splat(float x) { return {vdupq_n_f32(x), vdupq_n_f32(x)}; }
  // Separate multiplies and adds, each rounded: never a fused multiply-add.
  static F add(F a, F b) {
    return each(a, b, [](float32x4_t x, float32x4_t y) { return vaddq_f32(x, y); });
  }
  static F mul(F a, F b) {
    return each(a, b, [](float32x4_t x, float32x4_t y) { return vmulq_f32(x, y); });
  }
  static F div(F a, F b) {
    return each(a, b, [](float32x4_t x, float32x4_t y) { return vdivq_f32(x, y); });
  }
  static F load(const float* p) { return {vld1q_f32(p), vld1q_f32(p + 4)}; }
  static void store(float* p, F x) {
    vst1q_f32(p, x.lo);
    vst1q_f32(p + 4, x.hi);
  }
  static F as_float(I x) { return {vreinterpretq_f32_u8(x.lo), vreinterpretq_f32_u8(x.hi)}; }

  static I splat8(int x) {
    const uint8x16_t v = vdupq_n_u8(static_cast<std::uint8_t>(x));
    return {v, v};
  }
  static I splat32(int x) {
    const uint8x16_t v = vreinterpretq_u8_u32(vdupq_n_u32(static_cast<std::uint32_t>(x)));
    return {v, v};
  }
  static I and_(I a, I b) {
    return each(a, b, [](uint8x16_t x, uint8x16_t y) { return vandq_u8(x, y); });
  }
  static I or_(I a, I b) {
    return each(a, b, [](uint8x16_t x, uint8x16_t y) { return vorrq_u8(x, y); });
  }
  // A right shift of each 32-bit lane (NEON shifts right by negative counts).
  static uint8x16_t srl32(uint8x16_t x, int n) {
    return vreinterpretq_u8_u32(vshlq_u32(vreinterpretq_u32_u8(x), vdupq_n_s32(-n)));
  }
  static I srli32(I x, int n) { return {srl32(x.lo, n), srl32(x.hi, n)}; }

  // --- table rows looked up by 32-bit index: byte lookups (TBL) over the row
  // 16 entries (64 bytes, four registers) for 4 bits, 8 for 2 and 3 bits.
  template <int Bits>
  static constexpr int permute_entries() {
    return Bits == 4 ? 16 : 8;
  }
  template <int Bits>
  struct Row {
    explicit Row(const float* p) {
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(p);
      if constexpr (Bits == 4) {
        entries = vld1q_u8_x4(bytes);
      } else {
        entries = vld1q_u8_x2(bytes);
      }
    }
    std::conditional_t<Bits == 4, uint8x16x4_t, uint8x16x2_t> entries;
  };
  // Each 32-bit lane's index (its bits above the row's size ignored)
  // becomes the byte indices 4 * index + 0 .. 3 of its entry.
  template <int Bits>
  static uint8x16_t lookup_half(const Row<Bits>& row, uint8x16_t index) {
    const uint32x4_t entry = vandq_u32(vreinterpretq_u32_u8(index), vdupq_n_u32(permute_entries<Bits>() - 1));
    const uint8x16_t bytes = vreinterpretq_u8_u32(vaddq_u32(vmulq_n_u32(entry, 0x04040404u), vdupq_n_u32(0x03020100u)));
    if constexpr (Bits == 4) {
      return vqtbl4q_u8(row.entries, bytes);
    } else {
      return vqtbl2q_u8(row.entries, bytes);
    }
  }
  template <int Bits>
  static F lookup(const Row<Bits>& row, I index) {
    return as_float(I{lookup_half<Bits>(row, index.lo), lookup_half<Bits>(row, index.hi)});
  }
  // Eight bytes, zero-extended to 32-bit lanes.
  static I widen_bytes(const std::uint8_t* p) {
    const uint16x8_t halves = vmovl_u8(vld1_u8(p));
    return {vreinterpretq_u8_u32(vmovl_u16(vget_low_u16(halves))), vreinterpretq_u8_u32(vmovl_high_u16(halves))};
  }

  // --- byte planes
  static I broadcast16(const std::uint8_t* p) {
    const uint8x16_t v = vld1q_u8(p);
    return {v, v};
  }
  static I load_fields(const std::uint8_t* const* blocks, std::size_t offset) {
    return broadcast16(blocks[0] + offset);
  }
  // `lo` (vectors 0-15) shifted right by `extra`, `hi` (vectors 16-31, the
  // high nibbles) by extra + 4, in 32-bit lanes.
  static I srl_nibbles(I x, int extra) { return {srl32(x.lo, extra), srl32(x.hi, extra + 4)}; }
  // Indices here are below 16, where TBL and pshufb agree.
  static I shuffle8(I table, I index) { return {vqtbl1q_u8(table.lo, index.lo), vqtbl1q_u8(table.hi, index.hi)}; }
  static I unpacklo8(I a, I b) {
    return each(a, b, [](uint8x16_t x, uint8x16_t y) { return vzip1q_u8(x, y); });
  }
  static I unpackhi8(I a, I b) {
    return each(a, b, [](uint8x16_t x, uint8x16_t y) { return vzip2q_u8(x, y); });
  }
  static I unpacklo16(I a, I b) {
    return each(a, b, [](uint8x16_t x, uint8x16_t y) {
      return vreinterpretq_u8_u16(vzip1q_u16(vreinterpretq_u16_u8(x), vreinterpretq_u16_u8(y)));
    });
  }
  static I unpackhi16(I a, I b) {
    return each(a, b, [](uint8x16_t x, uint8x16_t y) {
      return vreinterpretq_u8_u16(vzip2q_u16(vreinterpretq_u16_u8(x), vreinterpretq_u16_u8(y)));
    });
  }
  // Lanes 4 * q .. + 3 (in `lo`) and 16 + 4 * q .. + 3 (in `hi`) of the block.
  static F load_quads(const float* const* blocks, std::size_t at) {
    return {vld1q_f32(blocks[0] + at), vld1q_f32(blocks[0] + 16 + at)};
  }
  static void store_quads(float* const* blocks, std::size_t at, F x) {
    vst1q_f32(blocks[0] + at, x.lo);
    vst1q_f32(blocks[0] + 16 + at, x.hi);
  }
};

// The rotation's eight lanes (rotate_kernel.h): two registers of four f32,
// four of two f64. Every product and sum is its own rounded instruction:
// never a fused multiply-add.
struct NeonRotationLanes {
  // Lanes 0-3 and 4-7 of an eight-lane f32 sum.
  struct F8 {
    float32x4_t low, high;
  };
  // Lanes (0, 1), (2, 3), (4, 5) and (6, 7) of an eight-lane f64 sum.
  struct D8 {
    float64x2_t v[4];
  };
  // As many sums as the 32 registers hold beside the operands.
  static constexpr int kRowsForOneVector = 8;
  static constexpr int kRowsForFourVectors = 2;
  static constexpr int kDotsTogether = 4;  // their sums in 16 of the 32 registers

  static F8 zero_f8() { return {vdupq_n_f32(0.0f), vdupq_n_f32(0.0f)}; }
  static F8 load_f8(const float* p) { return {vld1q_f32(p), vld1q_f32(p + 4)}; }
  static F8 add_product(F8 acc, F8 a, F8 b) {
    return {vaddq_f32(acc.low, vmulq_f32(a.low, b.low)), vaddq_f32(acc.high, vmulq_f32(a.high, b.high))};
  }
  // s = 0 + (p0 + p4); s += (p1 + p5); s += (p2 + p6); s += (p3 + p7).
  static float fold(F8 p) {
    const float32x4_t pairs = vaddq_f32(p.low, p.high);
    float s = 0.0f + vgetq_lane_f32(pairs, 0);
    s = s + vgetq_lane_f32(pairs, 1);
    s = s + vgetq_lane_f32(pairs, 2);
    return s + vgetq_lane_f32(pairs, 3);
  }

  static D8 zero_d8() { return splat_d8(0.0); }
  static D8 splat_d8(double x) {
    const float64x2_t s = vdupq_n_f64(x);
    return {{s, s, s, s}};
  }
  static D8 load_d8(const double* p) { return {{vld1q_f64(p), vld1q_f64(p + 2), vld1q_f64(p + 4), vld1q_f64(p + 6)}}; }
  static D8 load_d8(const float* p) {
    const float32x4_t low = vld1q_f32(p), high = vld1q_f32(p + 4);
    return {{vcvt_f64_f32(vget_low_f32(low)), vcvt_high_f64_f32(low), vcvt_f64_f32(vget_low_f32(high)),
             vcvt_high_f64_f32(high)}};
  }
  static void store_d8(double* p, const D8& x) {
    for (int l = 0; l < 4; ++l) vst1q_f64(p + 2 * l, x.v[l]);
  }
  static D8 add_product(const D8& acc, const D8& a, const D8& b) {
    D8 out;
    for (int l = 0; l < 4; ++l) out.v[l] = vaddq_f64(acc.v[l], vmulq_f64(a.v[l], b.v[l]));
    return out;
  }
  static D8 minus_product(const D8& x, const D8& a, const D8& b) {
    D8 out;
    for (int l = 0; l < 4; ++l) out.v[l] = vsubq_f64(x.v[l], vmulq_f64(a.v[l], b.v[l]));
    return out;
  }
  static double fold(const D8& p) {
    const float64x2_t pairs01 = vaddq_f64(p.v[0], p.v[2]);
    const float64x2_t pairs23 = vaddq_f64(p.v[1], p.v[3]);
    double s = 0.0 + vgetq_lane_f64(pairs01, 0);
    s = s + vgetq_lane_f64(pairs01, 1);
    s = s + vgetq_lane_f64(pairs23, 0);
    return s + vgetq_lane_f64(pairs23, 1);
  }
};

}  // namespace
}  // namespace kernels
}  // namespace velmora
