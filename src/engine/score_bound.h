// Integer upper bounds of exact scores, so that a top-k query can skip the
// exact sum of every vector that provably cannot reach its k-th best score.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/similarity.h"
#include "kernels/line_aligned.h"

namespace velmora {

// A query's table quantised to one u8 table of 16 entries per block field
// (kernels/block_format.h), with the arithmetic that turns a k-th best exact
// score into the largest field sum that proves a vector worse.
class ScoreBound {
 public:
  // Scores below this are never used to prune (see score_bound.cpp).
  static constexpr float kPruneGuard = 0x1p-64f;

  // Nothing when the query must take the exact path: a table that is not
  // finite or has zero range, a query norm that is not finite and positive,
  // or sums that could overflow for a stored norm up to max_norm.
  static std::optional<ScoreBound> build(const QueryLut& lut, float max_norm);

  // 16 bytes per field, then zero rows up to a multiple of 4 fields.
  const std::uint8_t* table() const { return table_.data(); }
  std::size_t fields() const { return fields_; }
  // The step s and the fields' offsets O: s * (Q + O) bounds the real sum
  // of the query's f32 entries for a vector whose table sum is Q.
  double step() const { return step_; }
  std::int64_t offset_sum() const { return offset_sum_; }

  // The largest field sum that proves a vector's exact score strictly below
  // `kth_best`, or -1 when no sum does (kth_best not above the guard, or NaN).
  std::int64_t prune_limit(float kth_best) const;

 private:
  ScoreBound() = default;

  kernels::LineAlignedVector<std::uint8_t> table_;
  std::size_t fields_ = 0;
  double step_ = 0.0;            // an 8-bit integer times a power of two
  std::int64_t offset_sum_ = 0;  // the fields' offsets, in steps
  double summation_slack_ = 0.0;
  double query_norm_ = 0.0;
  std::int64_t max_sum_ = 0;
};

}  // namespace velmora
