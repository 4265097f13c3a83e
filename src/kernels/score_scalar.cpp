// Portable exact scoring: the block kernel with one plain loop per lane, and
// the scores of a few vectors scattered over the store.
#include "kernels/score_kernel.h"

namespace velmora {
namespace kernels {

ExactKernel scalar_kernel(int bits) { return exact_kernel<ScalarLookup>("scalar", bits); }

namespace {

// Coordinates decoded per round: a few KiB of codes, in L1 with the table rows.
constexpr std::size_t kDecodedCoordinates = 512;

// The codes of coordinates first .. first + count - 1 of the vector in one
// lane of a block (count a multiple of the coordinates of a step, or the last
// ones), one byte each.
template <int Bits>
void decode_lane(const std::uint8_t* block, std::size_t lane, std::size_t first, std::size_t count,
                 std::uint8_t* codes) {
  using Code = StepCode<Bits>;
  const std::uint8_t* bytes = block + lane % 16;
  const unsigned shift = nibble_shift(lane);
  const auto nibble = [&](std::size_t field) { return static_cast<unsigned>(bytes[field * kFieldBytes] >> shift) & 15u; };
  for (std::size_t c = 0; c < count; c += Code::kCoordinates) {
    const std::size_t step = (first + c) / Code::kCoordinates;
    std::uint8_t step_codes[4];
    if (Bits == 4) {
      step_codes[0] = static_cast<std::uint8_t>(nibble(step));
    } else if (Bits == 2) {
      const unsigned n = nibble(step);
      step_codes[0] = static_cast<std::uint8_t>(n & 3u);
      step_codes[1] = static_cast<std::uint8_t>(n >> 2);
    } else {
      unsigned fourth = 0;
      for (int q = 0; q < 3; ++q) {
        const unsigned n = nibble(3 * step + static_cast<std::size_t>(q));
        step_codes[q] = static_cast<std::uint8_t>(n & 7u);
        fourth |= (n >> 3) << q;
      }
      step_codes[3] = static_cast<std::uint8_t>(fourth);
    }
    for (int r = 0; r < Code::kCoordinates && c + static_cast<std::size_t>(r) < count; ++r) codes[c + r] = step_codes[r];
  }
}

// Each lane's codes are decoded a round of coordinates at a time, then the
// lanes' sums advance side by side, coordinate by coordinate (each lane's
// additions in coordinate order from +0.0, as every kernel sums). Unused
// lanes sum zero codes and are dropped.
template <int Bits>
void score_lanes_at(const float* lut, std::size_t dim, const ScatteredLanes& v, float query_norm, float* out) {
  static_assert(kDecodedCoordinates % 4 == 0, "a round holds whole steps");
  std::uint8_t codes[kMaxScatteredLanes][kDecodedCoordinates] = {};
  float sums[kMaxScatteredLanes] = {};
  for (std::size_t first = 0; first < dim; first += kDecodedCoordinates) {
    const std::size_t count = dim - first < kDecodedCoordinates ? dim - first : kDecodedCoordinates;
    for (std::size_t j = 0; j < v.count; ++j) decode_lane<Bits>(v.blocks[j], v.lanes[j], first, count, codes[j]);
    const float* row = lut + (first << Bits);
    for (std::size_t i = 0; i < count; ++i, row += std::size_t{1} << Bits) {
      for (std::size_t j = 0; j < kMaxScatteredLanes; ++j) sums[j] = sums[j] + row[codes[j][i]];
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
    case 2: score_lanes_at<2>(lut, dim, lanes, query_norm, out); break;
    case 3: score_lanes_at<3>(lut, dim, lanes, query_norm, out); break;
    case 4: score_lanes_at<4>(lut, dim, lanes, query_norm, out); break;
    default: break;
  }
}

}  // namespace kernels
}  // namespace velmora
