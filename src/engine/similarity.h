// Scoring a query against stored codes: the query becomes a table of products
// of its rotated coordinates with the codebook's levels, and a stored vector
// scores the sum of one table entry per coordinate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/code_layout.h"
#include "engine/invariant.h"
#include "engine/store_error.h"
#include "kernels/families.h"
#include "kernels/kernels.h"
#include "kernels/simd.h"

namespace velmora {

// A read-only view of f32 values.
struct FloatView {
  const float* data = nullptr;
  std::size_t size = 0;
  FloatView() = default;
  FloatView(const float* d, std::size_t n) : data(d), size(n) {}
  FloatView(const std::vector<float>& v) : data(v.data()), size(v.size()) {}  // NOLINT
};

struct ScoredPair {
  std::uint64_t id;
  float score;
};

// 1e-12 as an f32 (bit pattern 0x2B8CBCCC).
inline constexpr float SCORE_EPSILON = 1e-12f;

struct QueryLut {
  std::vector<float> lut;  // entry (i, c) at (i << bits) + c: y_i * centroids[c]
  std::uint64_t dim = 0;
  float query_norm = 0.0f;    // of the query as passed in
  double rotated_norm = 0.0;  // of the rotated query, summed in double from its f32 coordinates
  std::uint8_t bits = 0;
  std::vector<float> rotated;  // the rotated query, which picks the lists a partitioned search reads
};

// The stored entries of a store, position by position.
struct StoredEntries {
  const std::uint64_t* ids = nullptr;
  const float* norms = nullptr;
  const BlockedCodes* codes = nullptr;
  std::size_t count = 0;
  const std::uint16_t* error_bounds = nullptr;  // null when the store keeps none (error_bound.h)
};

// The caller guarantees query.size == dim.
Result<QueryLut> prepare_query(FloatView query, std::uint64_t dim, std::uint8_t bits);
// The table of a query given in the rotated space (`centroids` the
// codebook's levels), with the norm its scores divide by.
QueryLut table_for_rotated(std::vector<float> rotated, std::uint8_t bits, const std::vector<float>& centroids,
                           float query_norm);

// Table sum over the unpacked indices, times the entry's norm.
float score_codes(const QueryLut& lut, const std::uint8_t* codes, std::size_t codes_len, float norm);

// raw / ((query_norm * norm) + SCORE_EPSILON), each step rounded to f32.
float cosine_score(const QueryLut& lut, const std::uint8_t* codes, std::size_t codes_len, float norm);

// The kernels a query of one bit width uses at one instruction-set level, as
// the kernel registry chose them (kernels/families.h): the fastest exact
// formulation, bound pass for one query and bound pass for groups of queries.
// All are empty at the reference level, which scores entry by entry and
// never prunes.
using kernels::ScoringKernels;
inline const ScoringKernels& kernels_for(SimdLevel level, int bits) {
  VELMORA_CHECK(bits >= 2 && bits <= 4, "kernels_for: unsupported bit width");
  VELMORA_CHECK(simd_level_supported(level), "kernels_for: instruction-set level not supported by this CPU");
  return kernels::scoring_kernels(level, bits);
}
inline const ScoringKernels& active_kernels(int bits) { return kernels_for(active_simd_level(), bits); }

// One query's table in the form its exact kernel reads.
class ExactScorer {
 public:
  ExactScorer(const QueryLut& lut, const ScoringKernels& kernels);
  const QueryLut& lut() const { return lut_; }
  // Cosine scores of positions [begin, end) into out[0 .. end - begin);
  // begin is a multiple of 32.
  void score_range(const StoredEntries& entries, std::size_t begin, std::size_t end, float* out) const;
  // Cosine scores of up to kernels::kMaxScatteredLanes positions anywhere.
  void score_scattered(const StoredEntries& entries, const std::size_t* positions, std::size_t count, float* out) const;

 private:
  const QueryLut& lut_;
  kernels::ExactKernel kernel_;
  std::vector<std::uint8_t> table_;
};

// ExactScorer::score_range with the active level's kernels.
void score_range(const QueryLut& lut, const StoredEntries& entries, std::size_t begin, std::size_t end, float* out);

// The cosine score of every entry, in position order, computed on the pool.
std::vector<float> score_positions(const QueryLut& lut, const StoredEntries& entries);

// (id, cosine score) of every entry, in position order, computed on the pool.
std::vector<ScoredPair> score_all(const QueryLut& lut, const StoredEntries& entries);

}  // namespace velmora
