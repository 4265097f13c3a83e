#include "engine/reconstruct.h"

#include <algorithm>
#include <vector>

#include "engine/invariant.h"
#include "engine/pool.h"
#include "engine/quantizer.h"

namespace velmora {

namespace {

// y = R^T x for the rotation R (row-major, d x d), with each y_j summed as
// dot8(column j of R, x) sums it. R's inverse is its transpose, but the
// transpose is never built: row i of R is read once, and its products with
// x_i go to the eight-lane partial sums of every y_j in the lane dot8 gives
// index i. Each partial sum thus takes its terms in ascending i, as in dot8.
// `lanes` holds 8 * d floats.
void rotate_back(const float* matrix, std::size_t d, const float* x, float* y, float* lanes) {
  std::fill(lanes, lanes + 8 * d, 0.0f);
  const std::size_t full = d / 8 * 8;
  for (std::size_t i = 0; i < full; ++i) {
    const float* row = matrix + i * d;
    float* lane = lanes + (i % 8) * d;
    const float xi = x[i];
    for (std::size_t j = 0; j < d; ++j) lane[j] = lane[j] + row[j] * xi;
  }
  for (std::size_t j = 0; j < d; ++j) {
    float s = 0.0f + (lanes[j] + lanes[4 * d + j]);
    s = s + (lanes[d + j] + lanes[5 * d + j]);
    s = s + (lanes[2 * d + j] + lanes[6 * d + j]);
    s = s + (lanes[3 * d + j] + lanes[7 * d + j]);
    y[j] = s;
  }
  for (std::size_t i = full; i < d; ++i) {
    const float* row = matrix + i * d;
    for (std::size_t j = 0; j < d; ++j) y[j] = y[j] + row[j] * x[i];
  }
}

}  // namespace

void reconstruct_positions(const CompressedVectorStore& store, const std::size_t* positions, std::size_t count,
                           float* out) {
  if (count == 0) return;
  const std::size_t dim = store.dim();
  const Quantizer quantizer = quantizer_of_store(dim, store.bits());
  const float* matrix = quantizer.rotation->matrix.data();
  const std::vector<float>& centroids = quantizer.codebook->centroids;
  const StoredEntries entries = store.stored_entries();
  parallel_for(count, [&](std::size_t begin, std::size_t end) {
    std::vector<std::uint8_t> indices(dim);
    std::vector<float> levels(dim), lanes(8 * dim);
    for (std::size_t v = begin; v < end; ++v) {
      const std::size_t p = positions[v];
      VELMORA_CHECK(p < entries.count, "reconstruct: position out of range");
      entries.codes->indices(p, indices.data());
      for (std::size_t i = 0; i < dim; ++i) levels[i] = centroids[indices[i]];
      float* row = out + v * dim;
      rotate_back(matrix, dim, levels.data(), row, lanes.data());
      const float norm = entries.norms[p];
      for (std::size_t j = 0; j < dim; ++j) row[j] = norm * row[j];
    }
  });
}

}  // namespace velmora
