#include "similarity.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
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

// A small synthetic store: random codes (the unused bits of a last partial
// pair or group included), table entries and norms.
struct SyntheticBlocks {
  static constexpr std::size_t kDim = 99, kBlocks = 24;
  std::vector<float> lut, norms;
  std::vector<std::uint8_t> codes;
  std::size_t block_bytes;

  explicit SyntheticBlocks(int bits) : block_bytes(kernels::field_count(kDim, bits) * kernels::kFieldBytes) {
    std::uint64_t state = 0x243F6A8885A308D3ULL;
    auto next = [&state] {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      return static_cast<std::uint32_t>(state >> 33);
    };
    lut.resize(kDim << bits);
    norms.resize(kBlocks * kBlockLanes);
    codes.resize(kBlocks * block_bytes + kBlockTailPadding);
    for (float& x : lut) x = static_cast<float>(next() % 20001) / 10000.0f - 1.0f;
    for (float& x : norms) x = static_cast<float>(next() % 1000 + 1) / 7.0f;
    for (auto& c : codes) c = static_cast<std::uint8_t>(next());
  }
};

// The scores of the synthetic blocks, and how long the kernel took.
std::vector<float> run_exact(const kernels::ExactKernel& kernel, const SyntheticBlocks& s, double* seconds) {
  std::vector<std::uint8_t> table(kernel.table_bytes(SyntheticBlocks::kDim));
  kernel.prepare(s.lut.data(), SyntheticBlocks::kDim, table.data());
  const kernels::ScoreBlocksArgs args{table.data(), SyntheticBlocks::kDim, s.codes.data(), s.block_bytes,
                                      s.norms.data(), 1.75f};
  std::vector<float> out(SyntheticBlocks::kBlocks * kBlockLanes);
  const auto t0 = std::chrono::steady_clock::now();
  kernel.score(args, SyntheticBlocks::kBlocks, out.data());
  if (seconds != nullptr) *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return out;
}

constexpr int kTimingRounds = 5;

// Among the candidates of a level that agree bit for bit with the portable
// kernel on the synthetic blocks, the fastest: each is timed once per round,
// in turns, and keeps its best round. The clock only orders kernels whose
// results are identical, so it never reaches a result.
kernels::ExactKernel choose_exact(SimdLevel level, int bits) {
  std::vector<kernels::ExactKernel> candidates;
  if (level >= SimdLevel::Avx512) {
    candidates.push_back(kernels::permute_kernel_avx512(bits));
    candidates.push_back(kernels::plane_kernel_avx512(bits));
  }
  if (level >= SimdLevel::Avx2) {
    candidates.push_back(kernels::permute_kernel_avx2(bits));
    candidates.push_back(kernels::plane_kernel_avx2(bits));
  }
  const kernels::ExactKernel portable = kernels::scalar_kernel(bits);
  if (candidates.empty()) return portable;
  const SyntheticBlocks synthetic(bits);
  const std::vector<float> expected = run_exact(portable, synthetic, nullptr);
  std::vector<double> best(candidates.size(), 1e30);
  for (std::size_t c = 0; c < candidates.size(); ++c) {
    const std::vector<float> got = run_exact(candidates[c], synthetic, &best[c]);
    if (std::memcmp(got.data(), expected.data(), got.size() * sizeof(float)) != 0) best[c] = -1.0;  // never
  }
  for (int round = 1; round < kTimingRounds; ++round) {
    for (std::size_t c = 0; c < candidates.size(); ++c) {
      if (best[c] < 0.0) continue;
      double seconds = 0.0;
      run_exact(candidates[c], synthetic, &seconds);
      best[c] = std::min(best[c], seconds);
    }
  }
  kernels::ExactKernel chosen = portable;
  double fastest = 1e30;
  for (std::size_t c = 0; c < candidates.size(); ++c) {
    if (best[c] >= 0.0 && best[c] < fastest) {
      chosen = candidates[c];
      fastest = best[c];
    }
  }
  return chosen;
}

// The bound pass of a level, or a narrower one that is faster here; each
// must give the portable pass's sums and survivors.
kernels::BoundBlocksFn choose_bound(SimdLevel level) {
  std::vector<kernels::BoundBlocksFn> candidates;
  if (level >= SimdLevel::Avx512) candidates.push_back(kernels::bound_blocks_avx512());
  if (level >= SimdLevel::Avx2) candidates.push_back(kernels::bound_blocks_avx2());
  const kernels::BoundBlocksFn portable = kernels::bound_blocks_scalar();
  if (candidates.empty()) return portable;
  // 300 fields: sums of the first 256 in 16-bit lanes, then widened.
  const std::size_t fields = 300, blocks = 16, padded = (fields + 3) / 4 * 4;
  std::uint64_t state = 0x13198A2E03707344ULL;
  auto next = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<std::uint8_t>(state >> 56);
  };
  std::vector<std::uint8_t> table(padded * kernels::kFieldBytes, 0), codes(blocks * fields * kernels::kFieldBytes + kBlockTailPadding);
  for (std::size_t i = 0; i < fields * kernels::kFieldBytes; ++i) table[i] = next();
  for (auto& c : codes) c = next();
  std::vector<std::uint32_t> expected_sums(blocks * kBlockLanes), sums(blocks * kBlockLanes);
  std::vector<std::uint32_t> expected_mask(blocks), mask(blocks);
  kernels::BoundBlocksArgs args{table.data(), fields, codes.data(), fields * kernels::kFieldBytes, 0};
  portable(args, 1, expected_sums.data(), expected_mask.data());
  args.limit = expected_sums[7];  // about half the lanes survive
  portable(args, blocks, expected_sums.data(), expected_mask.data());
  std::vector<double> best(candidates.size(), 1e30);
  for (int round = 0; round < kTimingRounds; ++round) {
    for (std::size_t c = 0; c < candidates.size(); ++c) {
      if (best[c] < 0.0) continue;
      const auto t0 = std::chrono::steady_clock::now();
      candidates[c](args, blocks, sums.data(), mask.data());
      best[c] = std::min(best[c], std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
      if (sums != expected_sums || mask != expected_mask) best[c] = -1.0;  // never
    }
  }
  kernels::BoundBlocksFn chosen = portable;
  double fastest = 1e30;
  for (std::size_t c = 0; c < candidates.size(); ++c) {
    if (best[c] >= 0.0 && best[c] < fastest) {
      chosen = candidates[c];
      fastest = best[c];
    }
  }
  return chosen;
}

ScoringKernels choose_kernels(SimdLevel level, int bits) {
  ScoringKernels chosen;
  if (level == SimdLevel::Reference) return chosen;
  chosen.exact = choose_exact(level, bits);
  chosen.bound = choose_bound(level);
  return chosen;
}

}  // namespace

const ScoringKernels& kernels_for(SimdLevel level, int bits) {
  VELMORA_CHECK(bits >= 2 && bits <= 4, "kernels_for: unsupported bit width");
  VELMORA_CHECK(level <= detected_simd_level() || level == SimdLevel::Reference || level == SimdLevel::Scalar,
                "kernels_for: instruction-set level not supported by this CPU");
  static std::once_flag once[4][3];
  static ScoringKernels chosen[4][3];
  const int l = static_cast<int>(level), b = bits - 2;
  std::call_once(once[l][b], [&] { chosen[l][b] = choose_kernels(level, bits); });
  return chosen[l][b];
}

const ScoringKernels& active_kernels(int bits) { return kernels_for(active_simd_level(), bits); }

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
  kernels::ScoreBlocksArgs args{table_.data(), lut_.dim, codes.block(begin / kBlockLanes), codes.block_bytes(),
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
  kernels::score_lanes(lut_.lut.data(), lut_.dim, lut_.bits, lanes, lut_.query_norm, out);
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
