// NEON kernels of the rotation: the eight lanes of the fixed dot-product order
// are two registers of four f32 (four registers of two f64). Every product and
// sum is its own rounded instruction: never a fused multiply-add.
#include <arm_neon.h>

#include "kernels/kernels.h"
#include "kernels/rotate_kernel.h"

namespace velmora {
namespace kernels {
namespace {

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

void rotate_neon(const float* matrix, std::size_t d, const float* x, float* y) {
  rotate_lanes<NeonRotationLanes>(matrix, d, x, y);
}

void rotate_batch_neon(const float* matrix, std::size_t d, const float* xs, std::size_t count, float* ys) {
  rotate_batch_lanes<NeonRotationLanes>(matrix, d, xs, count, ys);
}

void gram_schmidt_neon(double* const* columns, std::size_t count, const double* q, std::size_t d, std::size_t k_begin,
                       std::size_t k_end) {
  gram_schmidt_lanes<NeonRotationLanes>(columns, count, q, d, k_begin, k_end);
}

RotationKernels rotation_kernels_neon() {
  return RotationKernels{"neon", rotate_neon, rotate_batch_neon, gram_schmidt_neon};
}

}  // namespace kernels
}  // namespace velmora
