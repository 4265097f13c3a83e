// Portable exact scoring: the block kernel with one plain loop per lane, and
// the scores of a few vectors scattered over the store.
#include "kernels/exact_kernel.h"

namespace velmora {
namespace kernels {

ExactKernel exact_kernel_portable(int bits) { return exact_kernel<PortableLookup>("scalar", bits); }

namespace {

template <int Bits>
void score_lanes_at(const float* lut, std::size_t dim, const ScatteredLanes& v, float query_norm, float* out) {
  using Code = StepCode<Bits>;
  float sums[kMaxScatteredLanes] = {};
  const std::uint8_t* bytes[kMaxScatteredLanes];  // lane % 16 of the first field
  unsigned shifts[kMaxScatteredLanes];
  for (std::size_t j = 0; j < v.count; ++j) {
    bytes[j] = v.blocks[j] + v.lanes[j] % 16;
    shifts[j] = nibble_shift(v.lanes[j]);
  }
  for (std::size_t i = 0; i < dim; ++i) {
    const std::size_t step = i / Code::kCoordinates;
    const int r = static_cast<int>(i % Code::kCoordinates);
    const float* row = lut + (i << Bits);
    const std::size_t fields = step * Code::kFields * kFieldBytes;
    for (std::size_t j = 0; j < v.count; ++j) {
      unsigned code = 0;
      if (Code::split(r)) {
        for (int q = 0; q < 3; ++q) code |= ((bytes[j][fields + q * kFieldBytes] >> (shifts[j] + 3)) & 1u) << q;
      } else {
        code = (bytes[j][fields + Code::field(r) * kFieldBytes] >> (shifts[j] + Code::shift(r))) & ((1u << Bits) - 1u);
      }
      sums[j] = sums[j] + row[code];
    }
  }
  for (std::size_t j = 0; j < v.count; ++j) {
    const float raw = sums[j] * v.norms[j];
    const float denominator = (query_norm * v.norms[j]) + kScoreEpsilon;
    out[j] = raw / denominator;
  }
}

}  // namespace

void score_lanes(const float* lut, std::size_t dim, int bits, const ScatteredLanes& lanes, float query_norm,
                 float* out) {
  switch (bits) {
    case 2:
      score_lanes_at<2>(lut, dim, lanes, query_norm, out);
      break;
    case 3:
      score_lanes_at<3>(lut, dim, lanes, query_norm, out);
      break;
    case 4:
      score_lanes_at<4>(lut, dim, lanes, query_norm, out);
      break;
    default:
      break;
  }
}

}  // namespace kernels
}  // namespace velmora
