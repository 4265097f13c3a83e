#include "engine/reconstruct.h"

#include <vector>

#include "engine/codebook.h"
#include "engine/invariant.h"
#include "engine/pool.h"
#include "engine/rotation.h"

namespace velmora {

void reconstruct_positions(const CompressedVectorStore& store, const std::size_t* positions, std::size_t count,
                           float* out) {
  if (count == 0) return;
  const std::size_t dim = store.dim();
  Result<RotationHandle> rotation = get_rotation(dim);
  Result<CodebookHandle> codebook = get_codebook(dim, store.bits());
  VELMORA_CHECK(rotation.ok() && codebook.ok(), "reconstruct: a store exists for an unsupported dimension");
  // The inverse of an orthogonal matrix is its transpose: row j of `columns`
  // is column j of the rotation.
  const std::vector<float>& matrix = rotation.value()->matrix;
  std::vector<float> columns(dim * dim);
  for (std::size_t i = 0; i < dim; ++i) {
    for (std::size_t j = 0; j < dim; ++j) columns[j * dim + i] = matrix[i * dim + j];
  }
  const std::vector<float>& centroids = codebook.value()->centroids;
  const StoredEntries entries = store.stored_entries();
  parallel_for(count, [&](std::size_t begin, std::size_t end) {
    std::vector<std::uint8_t> indices(dim);
    std::vector<float> levels(dim);
    for (std::size_t v = begin; v < end; ++v) {
      const std::size_t p = positions[v];
      VELMORA_CHECK(p < entries.count, "reconstruct: position out of range");
      entries.codes->indices(p, indices.data());
      for (std::size_t i = 0; i < dim; ++i) levels[i] = centroids[indices[i]];
      const float norm = entries.norms[p];
      float* row = out + v * dim;
      for (std::size_t j = 0; j < dim; ++j) row[j] = norm * dot8(columns.data() + j * dim, levels.data(), dim);
    }
  });
}

}  // namespace velmora
