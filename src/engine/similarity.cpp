#include "engine/similarity.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/codebook.h"
#include "engine/encode.h"
#include "engine/invariant.h"
#include "engine/pool.h"
#include "engine/quantizer.h"
#include "engine/rotation.h"
#include "kernels/kernels.h"

namespace velmora {

static_assert(SCORE_EPSILON == kernels::kScoreEpsilon, "one epsilon for every kernel");

Result<QueryLut> prepare_query(FloatView query, std::uint64_t dim, std::uint8_t bits) {
  Result<Quantizer> quantizer = get_quantizer(dim, bits);
  if (!quantizer) return std::move(quantizer).error();
  return table_for_rotated(quantizer.value().rotation->rotate(query.data, query.size), bits,
                           quantizer.value().codebook->centroids, vector_norm(query.data, query.size));
}

QueryLut table_for_rotated(std::vector<float> rotated, std::uint8_t bits, const std::vector<float>& centroids,
                           float query_norm) {
  QueryLut lut;
  lut.dim = rotated.size();
  lut.bits = bits;
  lut.query_norm = query_norm;
  double squares = 0.0;
  for (float y : rotated) squares += static_cast<double>(y) * static_cast<double>(y);
  lut.rotated_norm = std::sqrt(squares);
  const std::size_t levels = std::size_t{1} << bits;
  lut.lut.assign(rotated.size() * levels, 0.0f);
  for (std::size_t i = 0; i < rotated.size(); ++i) {
    for (std::size_t c = 0; c < levels; ++c) lut.lut[i * levels + c] = rotated[i] * centroids[c];
  }
  lut.rotated = std::move(rotated);
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

ExactScorer::ExactScorer(const QueryLut& lut, const ScoringKernels& kernels) : lut_(lut), kernel_(kernels.exact) {
  if (kernel_) {
    table_.resize(kernel_.table_bytes(lut.dim));
    kernel_.prepare(lut.lut.data(), lut.dim, table_.data());
  }
}

void ExactScorer::score_range(const StoredEntries& entries, std::size_t begin, std::size_t end, float* out) const {
  const BlockedCodes& codes = *entries.codes;
  VELMORA_CHECK(codes.dim() == lut_.dim && codes.bits() == lut_.bits,
                "scoring: stored codes do not match the query's dimension and bit width");
  VELMORA_CHECK(begin % kBlockLanes == 0 && begin <= end && end <= entries.count,
                "scoring: position range out of bounds");
  if (!kernel_) {
    std::vector<std::uint8_t> indices(lut_.dim);
    const std::size_t packed = packed_len(lut_.dim, lut_.bits);
    std::vector<std::uint8_t> record(packed);
    for (std::size_t p = begin; p < end; ++p) {
      codes.indices(p, indices.data());
      pack_indices_into(indices.data(), lut_.dim, lut_.bits, record.data(), packed);
      out[p - begin] = cosine_score(lut_, record.data(), packed, entries.norms[p]);
    }
    return;
  }
  kernels::ScoreBlocksArgs args{
      table_.data(),         lut_.dim,       codes.block(begin / kBlockLanes), codes.block_bytes(),
      entries.norms + begin, lut_.query_norm};
  const std::size_t full_blocks = (end - begin) / kBlockLanes;
  kernel_.score(args, full_blocks, out);
  const std::size_t done = full_blocks * kBlockLanes;
  if (begin + done < end) {
    // A partial block: its unused lanes hold zero codes and read padded norms.
    float norms[kBlockLanes] = {}, scores[kBlockLanes];
    const std::size_t lanes = end - begin - done;
    std::memcpy(norms, entries.norms + begin + done, lanes * sizeof(float));
    args.blocks += full_blocks * codes.block_bytes();
    args.norms = norms;
    kernel_.score(args, 1, scores);
    std::memcpy(out + done, scores, lanes * sizeof(float));
  }
}

void ExactScorer::score_scattered(const StoredEntries& entries, const std::size_t* positions, std::size_t count,
                                  float* out) const {
  const BlockedCodes& codes = *entries.codes;
  VELMORA_CHECK(count <= kernels::kMaxScatteredLanes, "scoring: too many scattered positions");
  kernels::ScatteredLanes lanes;
  lanes.count = count;
  for (std::size_t j = 0; j < count; ++j) {
    VELMORA_CHECK(positions[j] < entries.count, "scoring: position out of bounds");
    lanes.blocks[j] = codes.block(positions[j] / kBlockLanes);
    lanes.lanes[j] = static_cast<std::uint8_t>(positions[j] % kBlockLanes);
    lanes.norms[j] = entries.norms[positions[j]];
  }
  if (!kernel_) {
    std::vector<std::uint8_t> indices(lut_.dim);
    for (std::size_t j = 0; j < count; ++j) {
      codes.indices(positions[j], indices.data());
      const std::vector<std::uint8_t> record = pack_indices(indices.data(), lut_.dim, lut_.bits);
      out[j] = cosine_score(lut_, record.data(), record.size(), lanes.norms[j]);
    }
    return;
  }
  kernel_.score_lanes(lut_.lut.data(), lut_.dim, lanes, lut_.query_norm, out);
}

void score_range(const QueryLut& lut, const StoredEntries& entries, std::size_t begin, std::size_t end, float* out) {
  ExactScorer(lut, active_kernels(lut.bits)).score_range(entries, begin, end, out);
}

std::vector<float> score_positions(const QueryLut& lut, const StoredEntries& entries) {
  std::vector<float> scores(entries.count);
  const std::size_t blocks = (entries.count + kBlockLanes - 1) / kBlockLanes;
  const ExactScorer scorer(lut, active_kernels(lut.bits));
  parallel_for(blocks, [&](std::size_t first, std::size_t last) {
    const std::size_t begin = first * kBlockLanes;
    const std::size_t end = std::min(last * kBlockLanes, entries.count);
    scorer.score_range(entries, begin, end, scores.data() + begin);
  });
  return scores;
}

std::vector<ScoredPair> score_all(const QueryLut& lut, const StoredEntries& entries) {
  const std::vector<float> scores = score_positions(lut, entries);
  std::vector<ScoredPair> scored(entries.count);
  for (std::size_t p = 0; p < entries.count; ++p) scored[p] = {entries.ids[p], scores[p]};
  return scored;
}

}  // namespace velmora
