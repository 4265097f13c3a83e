#include "similarity.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "codebook.h"
#include "encode.h"
#include "invariant.h"
#include "kernels/kernels.h"
#include "pool.h"
#include "rotation.h"
#include "simd.h"

namespace velmora {

static_assert(SCORE_EPSILON == kernels::kScoreEpsilon, "one epsilon for every kernel");

namespace {

kernels::ScoreBlocksFn kernel_at(SimdLevel level, int bits) {
  switch (level) {
    case SimdLevel::Avx512: return kernels::score_blocks_avx512(bits);
    case SimdLevel::Avx2: return kernels::score_blocks_avx2(bits);
    case SimdLevel::Scalar: return kernels::score_blocks_scalar(bits);
    case SimdLevel::Reference: return nullptr;
  }
  return nullptr;
}

// Scores a small synthetic store with `fn` and with the portable kernel; a
// wide kernel that disagrees in any bit is not used.
bool agrees_with_scalar(kernels::ScoreBlocksFn fn, int bits) {
  const std::size_t dim = 37, blocks = 5;
  std::uint64_t state = 0x243F6A8885A308D3ULL;
  auto next = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint32_t>(state >> 33);
  };
  std::vector<float> lut((dim << bits) + 16), norms(blocks * 16);
  for (float& x : lut) x = static_cast<float>(next() % 20001) / 10000.0f - 1.0f;
  for (float& x : norms) x = static_cast<float>(next() % 1000 + 1) / 7.0f;
  std::vector<std::uint8_t> codes(blocks * dim * 2 * bits + kBlockTailPadding);
  for (auto& c : codes) c = static_cast<std::uint8_t>(next());
  const kernels::ScoreBlocksArgs args{lut.data(), dim, codes.data(), dim * 2 * bits, norms.data(), 1.75f};
  std::vector<float> expected(blocks * 16), got(blocks * 16);
  kernels::score_blocks_scalar(bits)(args, blocks, expected.data());
  fn(args, blocks, got.data());
  return std::memcmp(expected.data(), got.data(), got.size() * sizeof(float)) == 0;
}

kernels::ScoreBlocksFn choose_kernel(int bits) {
  for (int level = static_cast<int>(active_simd_level()); level > static_cast<int>(SimdLevel::Scalar); --level) {
    kernels::ScoreBlocksFn fn = kernel_at(static_cast<SimdLevel>(level), bits);
    if (fn != nullptr && agrees_with_scalar(fn, bits)) return fn;
  }
  return active_simd_level() == SimdLevel::Reference ? nullptr : kernels::score_blocks_scalar(bits);
}

kernels::ScoreBlocksFn active_kernel(int bits) {
  static const kernels::ScoreBlocksFn chosen[3] = {choose_kernel(2), choose_kernel(3), choose_kernel(4)};
  return chosen[bits - 2];
}

}  // namespace

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

void score_range(const QueryLut& lut, const StoredEntries& entries, std::size_t begin,
                 std::size_t end, float* out) {
  const BlockedCodes& codes = *entries.codes;
  VELMORA_CHECK(codes.dim() == lut.dim && codes.bits() == lut.bits,
                "scoring: stored codes do not match the query's dimension and bit width");
  VELMORA_CHECK(begin % kBlockLanes == 0 && begin <= end && end <= entries.count,
                "scoring: position range out of bounds");
  const kernels::ScoreBlocksFn kernel = active_kernel(lut.bits);
  if (kernel == nullptr) {
    std::vector<std::uint8_t> indices(lut.dim);
    const std::size_t packed = packed_len(lut.dim, lut.bits);
    std::vector<std::uint8_t> record(packed);
    for (std::size_t p = begin; p < end; ++p) {
      codes.indices(p, indices.data());
      pack_indices_into(indices.data(), lut.dim, lut.bits, record.data(), packed);
      out[p - begin] = cosine_score(lut, record.data(), packed, entries.norms[p]);
    }
    return;
  }
  kernels::ScoreBlocksArgs args{lut.lut.data(), lut.dim, codes.blocks() + (begin / kBlockLanes) * codes.block_bytes(),
                                codes.block_bytes(), entries.norms + begin, lut.query_norm};
  const std::size_t full_blocks = (end - begin) / kBlockLanes;
  kernel(args, full_blocks, out);
  const std::size_t done = full_blocks * kBlockLanes;
  if (begin + done < end) {
    // A partial block: its unused lanes hold zero codes and read padded norms.
    float norms[kBlockLanes] = {}, scores[kBlockLanes];
    const std::size_t lanes = end - begin - done;
    std::memcpy(norms, entries.norms + begin + done, lanes * sizeof(float));
    args.blocks += full_blocks * codes.block_bytes();
    args.norms = norms;
    kernel(args, 1, scores);
    std::memcpy(out + done, scores, lanes * sizeof(float));
  }
}

std::vector<float> score_positions(const QueryLut& lut, const StoredEntries& entries) {
  std::vector<float> scores(entries.count);
  const std::size_t blocks = (entries.count + kBlockLanes - 1) / kBlockLanes;
  parallel_for(blocks, [&](std::size_t first, std::size_t last) {
    const std::size_t begin = first * kBlockLanes;
    const std::size_t end = std::min(last * kBlockLanes, entries.count);
    score_range(lut, entries, begin, end, scores.data() + begin);
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
