#include "similarity.h"

#include <string>

#include "codebook.h"
#include "encode.h"
#include "invariant.h"
#include "pool.h"
#include "rotation.h"

namespace velmora {

Result<QueryLut> prepare_query(FloatView query, std::uint64_t dim, std::uint8_t bits) {
  Result<RotationHandle> rotation = get_rotation(dim);
  if (!rotation) return std::move(rotation).error();
  Result<CodebookHandle> codebook = get_codebook(dim, bits);
  if (!codebook) return std::move(codebook).error();

  const std::vector<float> rotated = rotation.value()->rotate(query.data, query.size);
  QueryLut lut;
  lut.dim = dim;
  lut.bits = bits;
  lut.query_norm = vector_norm(query.data, query.size);
  const std::size_t levels = std::size_t{1} << bits;
  const std::vector<float>& centroids = codebook.value()->centroids;
  lut.lut.assign(rotated.size() * levels, 0.0f);
  for (std::size_t i = 0; i < rotated.size(); ++i) {
    for (std::size_t c = 0; c < levels; ++c) lut.lut[i * levels + c] = rotated[i] * centroids[c];
  }
  return lut;
}

float score_codes(const QueryLut& lut, const std::uint8_t* codes, std::size_t codes_len, float norm) {
  if (lut.dim == 0) return 0.0f * norm;
  const std::vector<std::uint8_t> indices = unpack_indices(codes, codes_len, lut.dim, lut.bits);
  float sum = 0.0f;
  for (std::size_t i = 0; i < indices.size(); ++i) {
    const std::size_t at = (i << lut.bits) + indices[i];
    VELMORA_CHECK(at < lut.lut.size(), "score_codes: table position out of range");
    sum = sum + lut.lut[at];
  }
  return sum * norm;
}

float cosine_score(const QueryLut& lut, const std::uint8_t* codes, std::size_t codes_len, float norm) {
  const float raw = score_codes(lut, codes, codes_len, norm);
  const float denominator = (lut.query_norm * norm) + SCORE_EPSILON;
  return raw / denominator;
}

std::vector<ScoredPair> score_all(const QueryLut& lut, const EntriesView& entries) {
  VELMORA_CHECK(entries.code_bytes == packed_len(lut.dim, lut.bits),
                "score_all: stored codes do not match the query's dimension and bit width");
  std::vector<ScoredPair> scored(entries.count);
  parallel_for(entries.count, [&](std::size_t begin, std::size_t end) {
    for (std::size_t p = begin; p < end; ++p) {
      const std::uint8_t* codes = entries.codes + p * entries.code_bytes;
      scored[p] = {entries.ids[p], cosine_score(lut, codes, entries.code_bytes, entries.norms[p])};
    }
  });
  return scored;
}

}  // namespace velmora
