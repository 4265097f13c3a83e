#include "kernels/families.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

#include "kernels/instruction_sets.h"
#include "kernels/line_aligned.h"

namespace velmora {
namespace kernels {

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::uint64_t next_random(std::uint64_t& state) {
  state = state * 6364136223846793005ULL + 1442695040888963407ULL;
  return state >> 33;
}

// Uniform in [-1, 1].
float random_unit(std::uint64_t& state) { return static_cast<float>(next_random(state) % 20001) / 10000.0f - 1.0f; }

// Moves bytes out of every cache level: a scan of a large store reads its
// codes from memory, and some kernels keep up with that better than others.
void evict(const void* data, std::size_t bytes) {
#if defined(__x86_64__)
  const auto* p = static_cast<const char*>(data);
  for (std::size_t at = 0; at < bytes; at += 64) _mm_clflush(p + at);
  _mm_mfence();
#elif defined(__aarch64__)
  // Clean and invalidate each line to the point of coherence, which Linux
  // lets user space do, in steps of the usual 64-byte line (a core with
  // larger lines flushes some twice).
  const auto* p = static_cast<const char*>(data);
  for (std::size_t at = 0; at < bytes; at += 64) __asm__ __volatile__("dc civac, %0" : : "r"(p + at) : "memory");
  __asm__ __volatile__("dsb ish" : : : "memory");
#else
  (void)data;
  (void)bytes;
#endif
}

template <class Kernel>
Entry<Kernel> entry(const Requirement& needs, const Kernel& kernel) {
  Entry<Kernel> e;
  e.name = kernel.name;
  e.needs = needs;
  e.kernel = kernel;
  return e;
}

template <class Fn>
Entry<Fn> entry(const Requirement& needs, const NamedKernel<Fn>& kernel) {
  Entry<Fn> e;
  e.name = kernel.name;
  e.needs = needs;
  e.kernel = kernel.fn;
  return e;
}

// A family's entries from every instruction set of the list but the last,
// and its portable kernel from the last: kernels_of(set) gives the set's
// kernels of the family in order of preference.
template <class Kernel, class KernelsOf>
void add_kernels(Family<Kernel>& family, const KernelsOf& kernels_of) {
  constexpr std::size_t kSets = sizeof kInstructionSets / sizeof kInstructionSets[0];
  for (std::size_t s = 0; s + 1 < kSets; ++s) {
    const InstructionSet& set = kInstructionSets[s];
    for (const auto& kernel : kernels_of(set)) family.entries.push_back(entry(set.needs, kernel));
  }
  family.portable = entry(Requirement{}, kernels_of(kInstructionSets[kSets - 1]).at(0));
}

// The kernels of one of a set's lists that are there, each made by `make`.
template <class Kernel, class Maker, std::size_t N, class Make>
std::vector<Kernel> kernels_made(const Maker (&makers)[N], const Make& make) {
  std::vector<Kernel> kernels;
  for (const Maker maker : makers) {
    if (maker != nullptr) kernels.push_back(make(maker));
  }
  return kernels;
}

// A set's plain-function kernel of a family, when it has one.
template <class Fn>
std::vector<NamedKernel<Fn>> kernel_if_any(const NamedKernel<Fn>& kernel) {
  if (kernel.fn == nullptr) return {};
  return {kernel};
}

// --- Exact scores and bound passes -------------------------------------------

// The timing data's codes and tables start on a cache line, as the store's
// blocks and a query's tables do (a plain vector's may not: every wide load
// would then span two lines, which costs some kernels more than others and
// so would skew their timings).

// The timing data is a few hundred KiB of codes at a typical dimension. The
// exact kernels' runs start with the codes evicted from the caches, so that
// their choice follows the throughput over blocks streamed from memory rather
// than start-up cost (the bound passes' runs do not: see bound_trial); all
// rounds of all candidates take a few ms.
constexpr std::size_t kTimingDim = 128;
constexpr std::size_t kTimingCodeBytes = std::size_t{256} << 10;

// A synthetic store: random codes (the unused bits of a last partial pair or
// group included), table entries and norms.
struct SyntheticBlocks {
  std::size_t dim, blocks, block_bytes;
  std::vector<float> lut, norms;
  LineAlignedVector<std::uint8_t> codes;

  SyntheticBlocks(std::size_t d, std::size_t b, int bits)
      : dim(d), blocks(b), block_bytes(field_count(d, bits) * kFieldBytes), codes(b * block_bytes + kBlockTailPadding) {
    std::uint64_t state = 0x243F6A8885A308D3ULL;
    lut.resize(dim << bits);
    norms.resize(blocks * kBlockLanes);
    for (float& x : lut) x = static_cast<float>(next_random(state) % 20001) / 10000.0f - 1.0f;
    for (float& x : norms) x = static_cast<float>(next_random(state) % 1000 + 1) / 7.0f;
    for (auto& c : codes) c = static_cast<std::uint8_t>(next_random(state));
  }
};

// The scores of the synthetic blocks, and how long the kernel took to
// prepare its table and score them (on codes read from memory): every query
// pays for both.
std::vector<float> run_exact(const ExactKernel& kernel, const SyntheticBlocks& s, double* seconds) {
  std::vector<std::uint8_t> table(kernel.table_bytes(s.dim));
  const ScoreBlocksArgs args{table.data(), s.dim, s.codes.data(), s.block_bytes, s.norms.data(), 1.75f};
  std::vector<float> out(s.blocks * kBlockLanes);
  if (seconds != nullptr) evict(s.codes.data(), s.codes.size());
  const auto t0 = Clock::now();
  kernel.prepare(s.lut.data(), s.dim, table.data());
  kernel.score(args, s.blocks, out.data());
  if (seconds != nullptr) *seconds = seconds_since(t0);
  return out;
}

// The scores of scattered lanes of the synthetic blocks, in sets of every
// count from 1 to kMaxScatteredLanes, lanes of every nibble and block.
std::vector<float> run_lanes(const ExactKernel& kernel, const SyntheticBlocks& s) {
  std::vector<float> out;
  std::size_t next = 0;
  for (std::size_t count = 1; count <= kMaxScatteredLanes; ++count) {
    ScatteredLanes lanes;
    lanes.count = count;
    for (std::size_t j = 0; j < count; ++j, next += 37) {
      const std::size_t position = next % (s.blocks * kBlockLanes);
      lanes.blocks[j] = s.codes.data() + position / kBlockLanes * s.block_bytes;
      lanes.lanes[j] = static_cast<std::uint8_t>(position % kBlockLanes);
      lanes.norms[j] = s.norms[position];
    }
    float scores[kMaxScatteredLanes];
    kernel.score_lanes(s.lut.data(), s.dim, lanes, 1.75f, scores);
    out.insert(out.end(), scores, scores + count);
  }
  return out;
}

Trial<ExactKernel> exact_trial(int bits, const ExactKernel& portable) {
  auto check = std::make_shared<const SyntheticBlocks>(99, 24, bits);
  auto expected = std::make_shared<std::vector<float>>(run_exact(portable, *check, nullptr));
  const std::vector<float> portable_lanes = run_lanes(portable, *check);
  expected->insert(expected->end(), portable_lanes.begin(), portable_lanes.end());
  const std::size_t block_bytes = field_count(kTimingDim, bits) * kFieldBytes;
  auto timing = std::make_shared<const SyntheticBlocks>(kTimingDim, kTimingCodeBytes / block_bytes, bits);
  Trial<ExactKernel> trial;
  trial.agrees = [check, expected](const ExactKernel& kernel) {
    std::vector<float> got = run_exact(kernel, *check, nullptr);
    const std::vector<float> lanes = run_lanes(kernel, *check);
    got.insert(got.end(), lanes.begin(), lanes.end());
    return got.size() == expected->size() && std::memcmp(got.data(), expected->data(), got.size() * sizeof(float)) == 0;
  };
  trial.run_timed = [timing](const ExactKernel& kernel) {
    double seconds = 0.0;
    run_exact(kernel, *timing, &seconds);
    return seconds;
  };
  return trial;
}

// A group of queries over the same codes with limits that let about half the
// lanes through, and the portable pass's sums and survivors when `expected`
// (the timing data needs none).
struct BoundCase {
  std::size_t fields = 0, blocks = 0, queries = 0;
  std::vector<LineAlignedVector<std::uint8_t>> tables;
  LineAlignedVector<std::uint8_t> codes;
  std::vector<std::uint32_t> sums, mask;
  BoundGroupArgs args{};

  BoundCase(std::size_t f, std::size_t b, std::size_t q, const BoundKernel& portable, bool expected,
            std::uint64_t& state)
      : fields(f),
        blocks(b),
        queries(q),
        codes(b * f * kFieldBytes + kBlockTailPadding),
        sums(q * b * kBlockLanes),
        mask(q * b) {
    auto fill_random = [&state](LineAlignedVector<std::uint8_t>& bytes) {
      for (auto& byte : bytes) byte = static_cast<std::uint8_t>(next_random(state) >> 23);
    };
    fill_random(codes);
    args.queries = queries;
    args.fields = fields;
    args.blocks = codes.data();
    args.block_bytes = fields * kFieldBytes;
    for (std::size_t i = 0; i < queries; ++i) {
      tables.emplace_back((fields + 3) / 4 * 4 * kFieldBytes);
      fill_random(tables[i]);
      std::fill(tables[i].begin() + static_cast<std::ptrdiff_t>(fields * kFieldBytes), tables[i].end(), 0);
      args.tables[i] = tables[i].data();
    }
    // Each query's limit is the sum of lane 7 of the first block.
    portable.group(args, 1, sums.data(), mask.data());
    for (std::size_t i = 0; i < queries; ++i) args.limits[i] = sums[i * kBlockLanes + 7];
    if (expected) portable.group(args, blocks, sums.data(), mask.data());
  }
};

// A candidate must give the portable pass's sums and survivors as a group,
// as the group of all but the last query (a pass may serve that many at
// once, by another path), and query by query, alone and as a group of one.
bool bound_agrees(const BoundKernel& candidate, const BoundCase& check) {
  std::vector<std::uint32_t> sums(check.sums.size()), mask(check.mask.size());
  candidate.group(check.args, check.blocks, sums.data(), mask.data());
  bool same = sums == check.sums && mask == check.mask;
  // The first queries' results: those of the leading queries of the group.
  const auto leading_agree = [&](std::size_t queries) {
    return std::equal(sums.begin(), sums.begin() + static_cast<std::ptrdiff_t>(queries * check.blocks * kBlockLanes),
                      check.sums.begin()) &&
           std::equal(mask.begin(), mask.begin() + static_cast<std::ptrdiff_t>(queries * check.blocks),
                      check.mask.begin());
  };
  if (same && check.queries > 1) {
    BoundGroupArgs fewer = check.args;
    fewer.queries = check.queries - 1;
    candidate.group(fewer, check.blocks, sums.data(), mask.data());
    same = leading_agree(fewer.queries);
  }
  for (std::size_t q = 0; q < check.queries && same; ++q) {
    const BoundBlocksArgs one{check.args.tables[q], check.fields, check.args.blocks, check.args.block_bytes,
                              check.args.limits[q]};
    // Whether the results at the front are query q's.
    const auto own_agree = [&] {
      return std::equal(sums.begin(), sums.begin() + static_cast<std::ptrdiff_t>(check.blocks * kBlockLanes),
                        check.sums.begin() + static_cast<std::ptrdiff_t>(q * check.blocks * kBlockLanes)) &&
             std::equal(mask.begin(), mask.begin() + static_cast<std::ptrdiff_t>(check.blocks),
                        check.mask.begin() + static_cast<std::ptrdiff_t>(q * check.blocks));
    };
    candidate.blocks(one, check.blocks, sums.data(), mask.data());
    same = own_agree();
    if (!same) break;
    candidate.group(group_of_one(one), check.blocks, sums.data(), mask.data());
    same = own_agree();
  }
  return same;
}

Trial<BoundKernel> bound_trial(BoundUse use, const BoundKernel& portable) {
  std::uint64_t state = 0x13198A2E03707344ULL;
  // 300 fields check the 16-bit formulations' sums of the first 256 and
  // their widening; 128 fields (4 bits at dimension 128) are what is timed.
  auto check = std::make_shared<const BoundCase>(300, 4, 5, portable, true, state);
  const std::size_t timed_queries = use == BoundUse::Group ? kMaxBoundQueries : 1;
  auto timing = std::make_shared<const BoundCase>(kTimingDim, kTimingCodeBytes / (kTimingDim * kFieldBytes),
                                                  timed_queries, portable, false, state);
  auto sums = std::make_shared<std::vector<std::uint32_t>>(timing->sums.size());
  auto mask = std::make_shared<std::vector<std::uint32_t>>(timing->mask.size());
  Trial<BoundKernel> trial;
  trial.agrees = [check](const BoundKernel& kernel) { return bound_agrees(kernel, *check); };
  // Timed on codes in cache: read from memory, every pass waits on the same
  // bandwidth and the medians tie, so the choice would be left to noise; in
  // cache (short lists, stores the cache holds, the queries of a group after
  // the first) the passes' own costs differ, and they decide.
  trial.run_timed = [timing, sums, mask](const BoundKernel& kernel) {
    const auto t0 = Clock::now();
    kernel.group(timing->args, timing->blocks, sums->data(), mask->data());
    return seconds_since(t0);
  };
  return trial;
}

// --- Rotation ------------------------------------------------------------------

// A d x d matrix, vectors to rotate, and Gram-Schmidt input: q's rows of
// about unit length (so that sweeps keep the columns' magnitudes) and four
// columns.
struct RotationData {
  std::size_t d, count;
  std::vector<float> matrix, xs;
  std::vector<double> q, columns;

  RotationData(std::size_t dim, std::size_t vectors, std::uint64_t seed)
      : d(dim), count(vectors), matrix(dim * dim), xs(vectors * dim), q(dim * dim), columns(4 * dim) {
    std::uint64_t state = seed;
    const double scale = std::sqrt(3.0 / static_cast<double>(dim));
    for (float& x : matrix) x = random_unit(state);
    for (float& x : xs) x = random_unit(state);
    for (double& x : q) x = random_unit(state) * scale;
    for (double& x : columns) x = random_unit(state);
  }
};

// rotate, rotate_batch (of the whole matrix and of its first rows only),
// Gram-Schmidt sweeps over 1 to 4 columns, each with its own range of q's
// rows, and a row's dot products, in one buffer of bytes.
std::vector<unsigned char> rotation_results(const RotationKernels& kernels, const RotationData& s) {
  constexpr std::size_t kFewRows = 37;
  std::vector<float> ys(s.count * (s.d + kFewRows)), y(s.d);
  kernels.rotate_batch(s.matrix.data(), s.d, s.d, s.xs.data(), s.count, ys.data());
  kernels.rotate_batch(s.matrix.data(), kFewRows, s.d, s.xs.data(), s.count, ys.data() + s.count * s.d);
  kernels.rotate(s.matrix.data(), s.d, s.xs.data() + (s.count - 1) * s.d, y.data());
  std::vector<double> swept;
  for (std::size_t count = 1; count <= 4; ++count) {
    std::vector<double> columns = s.columns;
    double* pointers[4] = {&columns[0], &columns[s.d], &columns[2 * s.d], &columns[3 * s.d]};
    kernels.gram_schmidt(pointers, count, s.q.data(), s.d, count - 1, s.d - count);
    swept.insert(swept.end(), columns.begin(), columns.end());
  }
  // A row's dot products with itself and with 0 to 18 queries (every
  // remainder of a kernel's groups), the row as doubles and as floats.
  std::vector<const double*> queries;
  for (std::size_t j = 0; j < 18; ++j) queries.push_back(&s.q[(j * 7 % s.d) * s.d]);
  for (std::size_t count = 0; count <= queries.size(); ++count) {
    std::vector<double> sums(2 * (count + 1));
    kernels.row_dots_f64(&s.columns[(count % 4) * s.d], s.d, queries.data(), count, sums.data());
    kernels.row_dots_f32(&s.xs[(count % s.count) * s.d], s.d, queries.data(), count, sums.data() + count + 1);
    swept.insert(swept.end(), sums.begin(), sums.end());
  }
  std::vector<unsigned char> bytes((ys.size() + y.size()) * sizeof(float) + swept.size() * sizeof(double));
  unsigned char* at = bytes.data();
  std::memcpy(at, ys.data(), ys.size() * sizeof(float));
  at += ys.size() * sizeof(float);
  std::memcpy(at, y.data(), y.size() * sizeof(float));
  at += y.size() * sizeof(float);
  std::memcpy(at, swept.data(), swept.size() * sizeof(double));
  return bytes;
}

Trial<RotationKernels> rotation_trial(const RotationKernels& portable) {
  // 53 = six full groups of eight and a tail of five; beyond one panel of
  // 48 rows; six vectors make a tile of four and two single ones.
  auto check = std::make_shared<const RotationData>(53, 6, 0xA4093822299F31D0ULL);
  auto expected = std::make_shared<const std::vector<unsigned char>>(rotation_results(portable, *check));
  auto timing = std::make_shared<RotationData>(64, 8, 0x082EFA98EC4E6C89ULL);
  auto ys = std::make_shared<std::vector<float>>(timing->xs.size());
  Trial<RotationKernels> trial;
  trial.agrees = [check, expected](const RotationKernels& kernels) {
    return rotation_results(kernels, *check) == *expected;
  };
  // A batch of queries and one sweep of four columns over half of q: what
  // encoding and building a rotation mostly do.
  trial.run_timed = [timing, ys](const RotationKernels& kernels) {
    RotationData& s = *timing;
    std::vector<double> columns = s.columns;
    double* pointers[4] = {&columns[0], &columns[s.d], &columns[2 * s.d], &columns[3 * s.d]};
    const auto t0 = Clock::now();
    kernels.rotate_batch(s.matrix.data(), s.d, s.d, s.xs.data(), s.count, ys->data());
    kernels.gram_schmidt(pointers, 4, s.q.data(), s.d, 0, s.d / 2);
    return seconds_since(t0);
  };
  return trial;
}

// --- Quantiser -----------------------------------------------------------------

// Ascending boundaries with one repeated edge, and values on, just beside and
// between them, infinities, zeros of both signs and NaN, in a count that
// leaves a partial group of eight.
struct QuantizerCheck {
  std::vector<std::vector<float>> interiors;
  std::vector<std::vector<float>> values;

  QuantizerCheck() {
    std::uint64_t state = 0xBE5466CF34E90C6CULL;
    const float inf = std::numeric_limits<float>::infinity();
    for (std::size_t count : {3u, 7u, 15u}) {
      std::vector<float> interior(count);
      for (std::size_t j = 0; j < count; ++j) {
        interior[j] = -0.6f + 1.2f * static_cast<float>(j) / static_cast<float>(count);
      }
      interior[1] = interior[2];
      std::vector<float> x = {std::numeric_limits<float>::quiet_NaN(), inf, -inf, 0.0f, -0.0f};
      for (float edge : interior) {
        x.push_back(edge);
        x.push_back(std::nextafter(edge, inf));
        x.push_back(std::nextafter(edge, -inf));
      }
      while (x.size() % 8 != 5) x.push_back(random_unit(state));
      interiors.push_back(interior);
      values.push_back(x);
    }
  }
};

Trial<QuantizeFn> quantizer_trial(QuantizeFn portable) {
  auto check = std::make_shared<const QuantizerCheck>();
  auto expected = std::make_shared<std::vector<std::vector<std::uint8_t>>>();
  for (std::size_t i = 0; i < check->values.size(); ++i) {
    std::vector<std::uint8_t> out(check->values[i].size());
    portable(check->interiors[i].data(), check->interiors[i].size(), check->values[i].data(), out.size(), out.data());
    expected->push_back(out);
  }
  // The four-bit cells of 4,096 coordinates, a few vectors' worth.
  struct Timing {
    std::vector<float> interior, x;
    std::vector<std::uint8_t> out;
  };
  auto timing = std::make_shared<Timing>();
  std::uint64_t state = 0x3F84D5B5B5470917ULL;
  for (int j = 0; j < 15; ++j) timing->interior.push_back(-0.35f + 0.05f * static_cast<float>(j));
  timing->x.resize(4096);
  for (float& x : timing->x) x = random_unit(state) * 0.4f;
  timing->out.resize(timing->x.size());
  Trial<QuantizeFn> trial;
  trial.agrees = [check, expected](const QuantizeFn& quantize) {
    for (std::size_t i = 0; i < check->values.size(); ++i) {
      std::vector<std::uint8_t> out(check->values[i].size());
      quantize(check->interiors[i].data(), check->interiors[i].size(), check->values[i].data(), out.size(), out.data());
      if (out != (*expected)[i]) return false;
    }
    return true;
  };
  trial.run_timed = [timing](const QuantizeFn& quantize) {
    const auto t0 = Clock::now();
    quantize(timing->interior.data(), timing->interior.size(), timing->x.data(), timing->x.size(), timing->out.data());
    return seconds_since(t0);
  };
  return trial;
}

// --- CRC-32C -------------------------------------------------------------------

// Checksums from several states over every start alignment and lengths around
// the eight-byte steps.
std::vector<std::uint32_t> crc32c_results(Crc32cFn update, const std::vector<unsigned char>& data) {
  std::vector<std::uint32_t> results;
  for (std::uint32_t state : {0u, 0xFFFFFFFFu, 0x9E3779B9u}) {
    for (std::size_t offset = 0; offset < 8; ++offset) {
      for (std::size_t len : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 64u, 100u, 1031u}) {
        results.push_back(update(state, data.data() + offset, len));
      }
    }
  }
  return results;
}

Trial<Crc32cFn> crc32c_trial(Crc32cFn portable) {
  auto data = std::make_shared<std::vector<unsigned char>>(std::size_t{16} << 10);
  std::uint64_t state = 0xC0AC29B7C97C50DDULL;
  for (auto& byte : *data) byte = static_cast<unsigned char>(next_random(state) >> 23);
  auto expected = std::make_shared<const std::vector<std::uint32_t>>(crc32c_results(portable, *data));
  Trial<Crc32cFn> trial;
  trial.agrees = [data, expected](const Crc32cFn& update) { return crc32c_results(update, *data) == *expected; };
  trial.run_timed = [data](const Crc32cFn& update) {
    const auto t0 = Clock::now();
    volatile std::uint32_t sink = update(0xFFFFFFFFu, data->data(), data->size());
    (void)sink;
    return seconds_since(t0);
  };
  return trial;
}

template <class Kernel, std::size_t N>
struct Choices {
  std::array<ChoicePerLevel<Kernel>, N> per;
};

std::size_t bit_width_slot(int bits) {
  if (bits < 2 || bits > 4) throw std::invalid_argument("kernel choice: unsupported bit width");
  return static_cast<std::size_t>(bits - 2);
}

}  // namespace

Family<ExactKernel> exact_family(int bits) {
  Family<ExactKernel> family;
  family.name = "exact_" + std::to_string(bits);
  add_kernels(family, [bits](const InstructionSet& set) {
    return kernels_made<ExactKernel>(set.exact, [bits](auto make) { return make(bits); });
  });
  family.none_at_reference = "reference (entry by entry)";
  family.make_trial = [bits, portable = family.portable.kernel] { return exact_trial(bits, portable); };
  return family;
}

Family<BoundKernel> bound_family(BoundUse use) {
  Family<BoundKernel> family;
  family.name = use == BoundUse::Group ? "group_bound" : "bound";
  add_kernels(family, [use](const InstructionSet& set) {
    return kernels_made<BoundKernel>(use == BoundUse::Group ? set.group_bound : set.bound,
                                     [](auto make) { return make(); });
  });
  family.none_at_reference = "none (scores every vector exactly)";
  family.make_trial = [use, portable = family.portable.kernel] { return bound_trial(use, portable); };
  return family;
}

Family<RotationKernels> rotation_family() {
  Family<RotationKernels> family;
  family.name = "rotation";
  add_kernels(family, [](const InstructionSet& set) {
    return set.rotation == nullptr ? std::vector<RotationKernels>{} : std::vector<RotationKernels>{set.rotation()};
  });
  family.make_trial = [portable = family.portable.kernel] { return rotation_trial(portable); };
  return family;
}

Family<QuantizeFn> quantizer_family() {
  Family<QuantizeFn> family;
  family.name = "quantizer";
  add_kernels(family, [](const InstructionSet& set) { return kernel_if_any(set.quantizer); });
  family.make_trial = [portable = family.portable.kernel] { return quantizer_trial(portable); };
  return family;
}

Family<Crc32cFn> crc32c_family() {
  Family<Crc32cFn> family;
  family.name = "crc32c";
  add_kernels(family, [](const InstructionSet& set) { return kernel_if_any(set.crc32c); });
  family.make_trial = [portable = family.portable.kernel] { return crc32c_trial(portable); };
  return family;
}

const Choice<ExactKernel>& exact_choice(SimdLevel level, int bits) {
  static Choices<ExactKernel, 3> choices;
  const std::size_t slot = bit_width_slot(bits);
  return choices.per[slot].at(level, [bits] { return exact_family(bits); });
}

const Choice<BoundKernel>& bound_choice(SimdLevel level, BoundUse use) {
  static Choices<BoundKernel, 2> choices;
  return choices.per[static_cast<std::size_t>(use)].at(level, [use] { return bound_family(use); });
}

const Choice<RotationKernels>& rotation_choice(SimdLevel level) {
  static ChoicePerLevel<RotationKernels> choices;
  return choices.at(level, rotation_family);
}

const Choice<QuantizeFn>& quantizer_choice(SimdLevel level) {
  static ChoicePerLevel<QuantizeFn> choices;
  return choices.at(level, quantizer_family);
}

const Choice<Crc32cFn>& crc32c_choice(SimdLevel level) {
  static ChoicePerLevel<Crc32cFn> choices;
  return choices.at(level, crc32c_family);
}

const ScoringKernels& scoring_kernels(SimdLevel level, int bits) {
  static std::once_flag once[kSimdLevelCount][3];
  static ScoringKernels chosen[kSimdLevelCount][3];
  const auto l = static_cast<std::size_t>(level);
  const std::size_t b = bit_width_slot(bits);
  std::call_once(once[l][b], [&] {
    chosen[l][b] = ScoringKernels{exact_choice(level, bits).kernel, bound_choice(level, BoundUse::OneQuery).kernel,
                                  bound_choice(level, BoundUse::Group).kernel};
  });
  return chosen[l][b];
}

std::vector<FamilyReport> family_reports(SimdLevel level) {
  std::vector<FamilyReport> reports;
  for (int bits = 2; bits <= 4; ++bits) reports.push_back(exact_choice(level, bits).report);
  reports.push_back(bound_choice(level, BoundUse::OneQuery).report);
  reports.push_back(bound_choice(level, BoundUse::Group).report);
  reports.push_back(rotation_choice(level).report);
  reports.push_back(quantizer_choice(level).report);
  reports.push_back(crc32c_choice(level).report);
  return reports;
}

}  // namespace kernels
}  // namespace velmora
