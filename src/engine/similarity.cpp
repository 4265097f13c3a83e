#include "engine/similarity.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <string>

#include "engine/codebook.h"
#include "engine/encode.h"
#include "engine/invariant.h"
#include "engine/pool.h"
#include "engine/quantizer.h"
#include "engine/rotation.h"
#include "kernels/kernels.h"
#include "kernels/simd.h"

#if defined(__x86_64__) || defined(__i386__)
#include <emmintrin.h>
#endif

namespace velmora {

static_assert(SCORE_EPSILON == kernels::kScoreEpsilon, "one epsilon for every kernel");

namespace {

std::uint64_t next_random(std::uint64_t& state) {
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  return state >> 33;
}

// A synthetic store: random codes (the unused bits of a last partial pair or
// group included), table entries and norms.
struct SyntheticBlocks {
  std::size_t dim, blocks, block_bytes;
  std::vector<float> lut, norms;
  std::vector<std::uint8_t> codes;

  SyntheticBlocks(std::size_t d, std::size_t b, int bits)
      : dim(d), blocks(b), block_bytes(kernels::field_count(d, bits) * kernels::kFieldBytes) {
    std::uint64_t state = 0x243F6A8885A308D3ULL;
    lut.resize(dim << bits);
    norms.resize(blocks * kBlockLanes);
    codes.resize(blocks * block_bytes + kBlockTailPadding);
    for (float& x : lut) x = static_cast<float>(next_random(state) % 20001) / 10000.0f - 1.0f;
    for (float& x : norms) x = static_cast<float>(next_random(state) % 1000 + 1) / 7.0f;
    for (auto& c : codes) c = static_cast<std::uint8_t>(next_random(state));
  }
};

// Moves bytes out of every cache level: a scan of a large store reads its
// codes from memory, and some kernels keep up with that better than others.
void evict(const void* data, std::size_t bytes) {
#if defined(__x86_64__) || defined(__i386__)
  const auto* p = static_cast<const char*>(data);
  for (std::size_t at = 0; at < bytes; at += 64) _mm_clflush(p + at);
  _mm_mfence();
#else
  (void)data;
  (void)bytes;
#endif
}

// The scores of the synthetic blocks, and how long the kernel took to
// prepare its table and score them (on codes read from memory): every query
// pays for both.
std::vector<float> run_exact(const kernels::ExactKernel& kernel, const SyntheticBlocks& s, double* seconds) {
  std::vector<std::uint8_t> table(kernel.table_bytes(s.dim));
  const kernels::ScoreBlocksArgs args{table.data(), s.dim, s.codes.data(), s.block_bytes, s.norms.data(), 1.75f};
  std::vector<float> out(s.blocks * kBlockLanes);
  if (seconds != nullptr) evict(s.codes.data(), s.codes.size());
  const auto t0 = std::chrono::steady_clock::now();
  kernel.prepare(s.lut.data(), s.dim, table.data());
  kernel.score(args, s.blocks, out.data());
  if (seconds != nullptr) *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return out;
}

// How candidates are timed. Each round runs every candidate once, starting
// from a different one each round so that none always follows the same
// neighbour, and a candidate's time is the median of its rounds: a core
// shared with other work slows single runs by large factors, which a median
// of interleaved rounds ignores, while a slower kernel is slower in most
// rounds. The timing data is a few hundred KiB of codes at a typical
// dimension, evicted from the caches before each run as a scan of a large
// store finds them, so that the choice follows the kernels' throughput over
// blocks streamed from memory rather than their start-up cost; all rounds of
// all candidates take a few ms.
constexpr int kTimingRounds = 15;
constexpr std::size_t kTimingDim = 128;
constexpr std::size_t kTimingCodeBytes = std::size_t{256} << 10;

// Candidates within this factor of the fastest median count as equally fast.
constexpr double kTimingTolerance = 1.15;

// The first candidate (of at least one, in order of preference) whose median
// time is within kTimingTolerance of the least: kernels that close swap
// places with the noise, and keeping the preferred one keeps the choice
// stable. run(c) runs candidate c once and returns its time in seconds.
template <class Run>
std::size_t fastest(std::size_t candidates, Run&& run) {
  std::vector<std::vector<double>> times(candidates);
  for (int round = 0; round < kTimingRounds; ++round) {
    for (std::size_t i = 0; i < candidates; ++i) {
      const std::size_t c = (i + static_cast<std::size_t>(round)) % candidates;
      times[c].push_back(run(c));
    }
  }
  std::vector<double> medians(candidates);
  for (std::size_t c = 0; c < candidates; ++c) {
    std::vector<double>& t = times[c];
    std::nth_element(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(t.size() / 2), t.end());
    medians[c] = t[t.size() / 2];
  }
  const double least = *std::min_element(medians.begin(), medians.end());
  std::size_t chosen = 0;
  while (medians[chosen] > least * kTimingTolerance) ++chosen;
  return chosen;
}

// Among the candidates of a level that agree bit for bit with the portable
// kernel (on blocks of a dimension with a partial last pair or group), the
// fastest. The clock only orders kernels whose results are identical, so it
// never reaches a result.
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
  const SyntheticBlocks check(99, 24, bits);
  const std::vector<float> expected = run_exact(portable, check, nullptr);
  std::vector<kernels::ExactKernel> agreeing;
  for (const kernels::ExactKernel& candidate : candidates) {
    const std::vector<float> got = run_exact(candidate, check, nullptr);
    if (std::memcmp(got.data(), expected.data(), got.size() * sizeof(float)) == 0) agreeing.push_back(candidate);
  }
  if (agreeing.empty()) return portable;
  const std::size_t block_bytes = kernels::field_count(kTimingDim, bits) * kernels::kFieldBytes;
  const SyntheticBlocks timing(kTimingDim, kTimingCodeBytes / block_bytes, bits);
  return agreeing[fastest(agreeing.size(), [&](std::size_t c) {
    double seconds = 0.0;
    run_exact(agreeing[c], timing, &seconds);
    return seconds;
  })];
}

// What a bound pass is chosen for: one query (CompressedVectorStore::query),
// or groups of queries sharing each pass (Index.search).
enum class BoundUse { OneQuery, Group };

// The bound pass of a level for one use, or another one the CPU runs that is
// faster here (in order of preference: VBMI and VNNI, the level's own,
// narrower); each must give the portable pass's sums and survivors.
kernels::BoundKernel choose_bound(SimdLevel level, BoundUse use) {
  std::vector<kernels::BoundKernel> candidates;
  if (level >= SimdLevel::Avx512 && cpu_has_avx512_vbmi_vnni()) candidates.push_back(kernels::bound_kernel_avx512_vnni());
  if (level >= SimdLevel::Avx512) candidates.push_back(kernels::bound_kernel_avx512());
  if (level >= SimdLevel::Avx2) candidates.push_back(kernels::bound_kernel_avx2());
  const kernels::BoundKernel portable = kernels::bound_kernel_scalar();
  if (candidates.empty()) return portable;
  std::uint64_t state = 0x13198A2E03707344ULL;
  auto random_bytes = [&state](std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(next_random(state) >> 23);
    return bytes;
  };
  // A group of queries over the same codes, with the portable pass's sums and
  // survivors (limits that let about half the lanes through).
  struct Case {
    std::size_t fields, blocks, queries;
    std::vector<std::vector<std::uint8_t>> tables;
    std::vector<std::uint8_t> codes;
    std::vector<std::uint32_t> sums, mask;
    kernels::BoundGroupArgs args;
  };
  auto make_case = [&](std::size_t fields, std::size_t blocks, std::size_t queries) {
    Case c{fields, blocks, queries, {}, random_bytes(blocks * fields * kernels::kFieldBytes + kBlockTailPadding),
           std::vector<std::uint32_t>(queries * blocks * kBlockLanes), std::vector<std::uint32_t>(queries * blocks), {}};
    c.args.queries = queries;
    c.args.fields = fields;
    c.args.blocks = c.codes.data();
    c.args.block_bytes = fields * kernels::kFieldBytes;
    for (std::size_t q = 0; q < queries; ++q) {
      c.tables.push_back(random_bytes((fields + 3) / 4 * 4 * kernels::kFieldBytes));
      std::fill(c.tables[q].begin() + static_cast<std::ptrdiff_t>(fields * kernels::kFieldBytes), c.tables[q].end(), 0);
      c.args.tables[q] = c.tables[q].data();
    }
    portable.group(c.args, blocks, c.sums.data(), c.mask.data());
    for (std::size_t q = 0; q < queries; ++q) c.args.limits[q] = c.sums[q * blocks * kBlockLanes + 7];
    portable.group(c.args, blocks, c.sums.data(), c.mask.data());
    return c;
  };
  // 300 fields check the 16-bit formulations' sums of the first 256 and
  // their widening; 128 fields (4 bits at dimension 128) are what is timed.
  const Case check = make_case(300, 4, 5);
  const std::size_t timed_queries = use == BoundUse::Group ? kernels::kMaxBoundQueries : 1;
  const Case timing = make_case(kTimingDim, kTimingCodeBytes / (kTimingDim * kernels::kFieldBytes), timed_queries);
  std::vector<kernels::BoundKernel> agreeing;
  for (const kernels::BoundKernel& candidate : candidates) {
    std::vector<std::uint32_t> sums(check.sums.size()), mask(check.mask.size());
    candidate.group(check.args, check.blocks, sums.data(), mask.data());
    bool same = sums == check.sums && mask == check.mask;
    for (std::size_t q = 0; q < check.queries && same; ++q) {
      const kernels::BoundBlocksArgs one{check.args.tables[q], check.fields, check.args.blocks, check.args.block_bytes,
                                         check.args.limits[q]};
      candidate.blocks(one, check.blocks, sums.data(), mask.data());
      same = std::equal(sums.begin(), sums.begin() + static_cast<std::ptrdiff_t>(check.blocks * kBlockLanes),
                        check.sums.begin() + static_cast<std::ptrdiff_t>(q * check.blocks * kBlockLanes)) &&
             std::equal(mask.begin(), mask.begin() + static_cast<std::ptrdiff_t>(check.blocks),
                        check.mask.begin() + static_cast<std::ptrdiff_t>(q * check.blocks));
    }
    if (same) agreeing.push_back(candidate);
  }
  if (agreeing.empty()) return portable;
  std::vector<std::uint32_t> sums(timing.sums.size()), mask(timing.mask.size());
  return agreeing[fastest(agreeing.size(), [&](std::size_t c) {
    evict(timing.codes.data(), timing.codes.size());
    const auto t0 = std::chrono::steady_clock::now();
    agreeing[c].group(timing.args, timing.blocks, sums.data(), mask.data());
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  })];
}

// The bound passes of a level, chosen once: they do not depend on the bit
// width (a block's fields are nibbles at every width).
const kernels::BoundKernel& bound_for(SimdLevel level, BoundUse use) {
  static std::once_flag once[4][2];
  static kernels::BoundKernel chosen[4][2];
  const int l = static_cast<int>(level), u = static_cast<int>(use);
  std::call_once(once[l][u], [&] { chosen[l][u] = choose_bound(level, use); });
  return chosen[l][u];
}

ScoringKernels choose_kernels(SimdLevel level, int bits) {
  ScoringKernels chosen;
  if (level == SimdLevel::Reference) return chosen;
  chosen.exact = choose_exact(level, bits);
  chosen.bound = bound_for(level, BoundUse::OneQuery);
  chosen.group_bound = bound_for(level, BoundUse::Group);
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
  Result<Quantizer> quantizer = get_quantizer(dim, bits);
  if (!quantizer) return std::move(quantizer).error();

  const std::vector<float> rotated = quantizer.value().rotation->rotate(query.data, query.size);
  QueryLut lut;
  lut.dim = dim;
  lut.bits = bits;
  lut.query_norm = vector_norm(query.data, query.size);
  double squares = 0.0;
  for (float y : rotated) squares += static_cast<double>(y) * static_cast<double>(y);
  lut.rotated_norm = std::sqrt(squares);
  const std::size_t levels = std::size_t{1} << bits;
  const std::vector<float>& centroids = quantizer.value().codebook->centroids;
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
