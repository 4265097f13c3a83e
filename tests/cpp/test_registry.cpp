// The kernel registry: every entry the CPU runs gives its family's portable
// results bit for bit, a wrong entry is caught by its family's self-test and
// never chosen, the level limits the candidates, every entry is listed under
// its own instruction set, and the choice keeps the preferred of the equally
// fast.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kernels/families.h"
#include "kernels/registry.h"
#include "kernels/simd.h"

using namespace velmora;
using namespace velmora::kernels;

namespace {

std::vector<std::uint8_t> random_bytes(std::size_t n, std::mt19937& gen) {
  std::vector<std::uint8_t> bytes(n);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(gen());
  return bytes;
}

template <class T>
std::vector<T> random_values(std::size_t n, std::mt19937& gen, double scale = 1.0) {
  std::normal_distribution<double> normal(0.0, scale);
  std::vector<T> values(n);
  for (T& x : values) x = static_cast<T>(normal(gen));
  return values;
}

template <class T>
bool same_bits(const std::vector<T>& a, const std::vector<T>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0;
}

// Runs check(entry, portable) for every entry of the family this CPU runs.
template <class Kernel, class Check>
int for_supported_entries(const Family<Kernel>& family, Check&& check) {
  int checked = 0;
  for (const Entry<Kernel>& entry : family.entries) {
    if (!cpu_supports(entry.needs)) continue;
    SCOPED_TRACE(family.name + ": " + entry.name);
    check(entry.kernel, family.portable.kernel);
    ++checked;
  }
  return checked;
}

std::vector<float> exact_scores(const ExactKernel& kernel, const std::vector<float>& lut, std::size_t dim,
                                const std::vector<std::uint8_t>& codes, std::size_t block_bytes,
                                const std::vector<float>& norms) {
  std::vector<std::uint8_t> table(kernel.table_bytes(dim));
  kernel.prepare(lut.data(), dim, table.data());
  const std::size_t blocks = norms.size() / kBlockLanes;
  std::vector<float> out(norms.size());
  kernel.score({table.data(), dim, codes.data(), block_bytes, norms.data(), 2.5f}, blocks, out.data());
  return out;
}

// The portable exact kernel with one lane of a partial group's block off by
// one ulp: a fault only a bit-for-bit comparison sees.
void score_off_by_an_ulp(const ScoreBlocksArgs& args, std::size_t block_count, float* out) {
  exact_kernel_portable(3).score(args, block_count, out);
  if (block_count > 0) out[block_count * kBlockLanes - 1] = std::nextafter(out[block_count * kBlockLanes - 1], 1e30f);
}

// The portable scattered lanes with the last of a full set off by one ulp: a
// fault of the path a gathering kernel takes for many lanes only.
void lanes_off_by_an_ulp(const float* lut, std::size_t dim, const ScatteredLanes& lanes, float query_norm, float* out) {
  exact_kernel_portable(3).score_lanes(lut, dim, lanes, query_norm, out);
  if (lanes.count == kMaxScatteredLanes) out[lanes.count - 1] = std::nextafter(out[lanes.count - 1], 1e30f);
}

// The portable bound pass, but letting through lanes whose sum equals the
// limit.
void bound_group_at_limit(const BoundGroupArgs& a, std::size_t block_count, std::uint32_t* sums,
                          std::uint32_t* survivors) {
  BoundGroupArgs lowered = a;
  for (std::size_t q = 0; q < a.queries; ++q) lowered.limits[q] = a.limits[q] == 0 ? 0 : a.limits[q] - 1;
  bound_kernel_portable().group(lowered, block_count, sums, survivors);
}
void bound_blocks_at_limit(const BoundBlocksArgs& a, std::size_t block_count, std::uint32_t* sums,
                           std::uint32_t* survivors) {
  bound_group_at_limit(group_of_one(a), block_count, sums, survivors);
}

// The portable pass, but at the limit for groups of `Queries` queries only:
// a fault of one path of a pass that picks its loop by the group's size.
template <std::size_t Queries>
void bound_group_at_limit_for(const BoundGroupArgs& a, std::size_t block_count, std::uint32_t* sums,
                              std::uint32_t* survivors) {
  if (a.queries == Queries) return bound_group_at_limit(a, block_count, sums, survivors);
  bound_kernel_portable().group(a, block_count, sums, survivors);
}

// Rows summed in index order instead of dot8's eight lanes.
void rotate_in_index_order(const float* matrix, std::size_t d, const float* x, float* y) {
  for (std::size_t j = 0; j < d; ++j) {
    float s = 0.0f;
    for (std::size_t i = 0; i < d; ++i) s = s + matrix[j * d + i] * x[i];
    y[j] = s;
  }
}
void rotate_batch_in_index_order(const float* matrix, std::size_t rows, std::size_t d, const float* xs,
                                 std::size_t count, float* ys) {
  for (std::size_t v = 0; v < count; ++v) {
    for (std::size_t j = 0; j < rows; ++j) {
      float s = 0.0f;
      for (std::size_t i = 0; i < d; ++i) s = s + matrix[j * d + i] * xs[v * d + i];
      ys[v * rows + j] = s;
    }
  }
}

// NaN lands in the top cell instead of cell 0.
void quantize_nan_high(const float* interior, std::size_t count, const float* x, std::size_t n, std::uint8_t* out) {
  for (std::size_t i = 0; i < n; ++i) {
    unsigned cell = 0;
    for (std::size_t j = 0; j < count; ++j) cell += !(x[i] < interior[j]);
    out[i] = static_cast<std::uint8_t>(cell);
  }
}

// Drops the last byte of a length that is one short of a multiple of eight.
std::uint32_t crc32c_short_tail(std::uint32_t state, const unsigned char* p, std::size_t len) {
  return crc32c_update_portable(state, p, len % 8 == 7 ? len - 1 : len);
}

// Puts `wrong` first (the most preferred, allowed at every level but the
// reference) and checks that the self-test rejects it.
template <class Kernel>
void expect_rejected(Family<Kernel> family, const char* name, Kernel wrong) {
  Entry<Kernel> fake;
  fake.name = name;
  fake.needs.level = SimdLevel::Scalar;
  fake.kernel = wrong;
  family.entries.insert(family.entries.begin(), fake);
  const Choice<Kernel> choice = choose(family, detected_simd_level());
  const CandidateReport& report = choice.report.candidates.front();
  EXPECT_EQ(report.name, name);
  EXPECT_TRUE(report.allowed) << family.name;
  EXPECT_EQ(report.self_test, SelfTest::Failed) << family.name;
  EXPECT_FALSE(report.chosen) << family.name;
  EXPECT_LT(report.median_seconds, 0.0) << family.name << ": a rejected entry is not timed";
  EXPECT_NE(choice.report.chosen, name) << family.name;
}

}  // namespace

TEST(KernelRegistry, EveryEntryTheCpuRunsGivesThePortableResults) {
  std::mt19937 gen(2024);
  for (int bits = 2; bits <= 4; ++bits) {
    for (std::size_t dim : {33u, 64u, 130u}) {
      const std::size_t block_bytes = field_count(dim, bits) * kFieldBytes, blocks = 3;
      const std::vector<std::uint8_t> codes = random_bytes(blocks * block_bytes + kBlockTailPadding, gen);
      const std::vector<float> lut = random_values<float>(dim << bits, gen);
      std::vector<float> norms = random_values<float>(blocks * kBlockLanes, gen, 10.0);
      for (float& n : norms) n = std::abs(n);
      for_supported_entries(exact_family(bits), [&](const ExactKernel& kernel, const ExactKernel& portable) {
        ASSERT_TRUE(same_bits(exact_scores(kernel, lut, dim, codes, block_bytes, norms),
                              exact_scores(portable, lut, dim, codes, block_bytes, norms)))
            << "dim " << dim << " bits " << bits;
      });
    }
  }
  for (BoundUse use : {BoundUse::OneQuery, BoundUse::Group}) {
    for (std::size_t fields : {5u, 257u}) {
      const std::size_t blocks = 2, queries = 3, padded = (fields + 3) / 4 * 4;
      const std::vector<std::uint8_t> codes = random_bytes(blocks * fields * kFieldBytes + kBlockTailPadding, gen);
      std::vector<std::vector<std::uint8_t>> tables;
      BoundGroupArgs args{};
      for (std::size_t q = 0; q < queries; ++q) {
        tables.push_back(random_bytes(padded * kFieldBytes, gen));
        std::fill(tables[q].begin() + static_cast<std::ptrdiff_t>(fields * kFieldBytes), tables[q].end(), 0);
        args.tables[q] = tables[q].data();
        args.limits[q] = static_cast<std::uint32_t>(fields * 120 + q);
      }
      args.queries = queries;
      args.fields = fields;
      args.blocks = codes.data();
      args.block_bytes = fields * kFieldBytes;
      auto run = [&](const BoundKernel& kernel) {
        std::vector<std::uint32_t> out(queries * blocks * (kBlockLanes + 1));
        kernel.group(args, blocks, out.data(), out.data() + queries * blocks * kBlockLanes);
        std::vector<std::uint32_t> one(blocks * (kBlockLanes + 1));
        const BoundBlocksArgs first{args.tables[1], fields, args.blocks, args.block_bytes, args.limits[1]};
        kernel.blocks(first, blocks, one.data(), one.data() + blocks * kBlockLanes);
        out.insert(out.end(), one.begin(), one.end());
        return out;
      };
      for_supported_entries(bound_family(use), [&](const BoundKernel& kernel, const BoundKernel& portable) {
        ASSERT_EQ(run(kernel), run(portable)) << "fields " << fields;
      });
    }
  }
  for (std::size_t d : {32u, 41u, 100u}) {
    const std::vector<float> matrix = random_values<float>(d * d, gen), xs = random_values<float>(5 * d, gen);
    const std::vector<double> q = random_values<double>(d * d, gen, 1.0 / std::sqrt(static_cast<double>(d)));
    const std::vector<double> columns = random_values<double>(4 * d, gen);
    auto run = [&](const RotationKernels& kernels) {
      std::vector<float> ys(6 * d);
      kernels.rotate_batch(matrix.data(), d, d, xs.data(), 5, ys.data());
      kernels.rotate(matrix.data(), d, xs.data() + 2 * d, ys.data() + 5 * d);
      std::vector<double> swept;
      for (std::size_t count = 1; count <= 4; ++count) {
        std::vector<double> c = columns;
        double* pointers[4] = {&c[0], &c[d], &c[2 * d], &c[3 * d]};
        kernels.gram_schmidt(pointers, count, q.data(), d, 0, d - count);
        swept.insert(swept.end(), c.begin(), c.end());
      }
      return std::make_pair(ys, swept);
    };
    for_supported_entries(rotation_family(), [&](const RotationKernels& kernels, const RotationKernels& portable) {
      const auto got = run(kernels), expected = run(portable);
      ASSERT_TRUE(same_bits(got.first, expected.first)) << "d " << d;
      ASSERT_TRUE(same_bits(got.second, expected.second)) << "d " << d;
    });
  }
  const float inf = std::numeric_limits<float>::infinity();
  for (std::size_t count : {1u, 3u, 7u, 15u}) {
    std::vector<float> interior = random_values<float>(count, gen, 0.3);
    std::sort(interior.begin(), interior.end());
    std::vector<float> x = random_values<float>(93, gen, 0.4);
    x.insert(x.end(), {std::numeric_limits<float>::quiet_NaN(), inf, -inf, -0.0f});
    x.insert(x.end(), interior.begin(), interior.end());
    for_supported_entries(quantizer_family(), [&](QuantizeFn quantize, QuantizeFn portable) {
      std::vector<std::uint8_t> got(x.size()), expected(x.size());
      quantize(interior.data(), count, x.data(), x.size(), got.data());
      portable(interior.data(), count, x.data(), x.size(), expected.data());
      ASSERT_EQ(got, expected) << count << " boundaries";
    });
  }
  const std::vector<std::uint8_t> data = random_bytes(5000, gen);
  for_supported_entries(crc32c_family(), [&](Crc32cFn update, Crc32cFn portable) {
    for (std::size_t offset : {0u, 3u}) {
      for (std::size_t len : {0u, 6u, 13u, 4096u, 4997u}) {
        ASSERT_EQ(update(0x12345678u, data.data() + offset, len), portable(0x12345678u, data.data() + offset, len))
            << offset << " " << len;
      }
    }
  });
  // And each family's own self-test passed every entry the CPU runs.
  for (const FamilyReport& family : family_reports(detected_simd_level())) {
    for (std::size_t i = 0; i + 1 < family.candidates.size(); ++i) {
      const CandidateReport& c = family.candidates[i];
      if (c.supported) {
        EXPECT_EQ(c.self_test, SelfTest::Passed) << family.family << ": " << c.name;
      }
    }
  }
}

TEST(KernelRegistry, AWrongEntryFailsItsFamilysSelfTestAndIsNeverChosen) {
  ExactKernel off_by_an_ulp = exact_kernel_portable(3);
  off_by_an_ulp.score = score_off_by_an_ulp;
  expect_rejected(exact_family(3), "ulp", off_by_an_ulp);
  ExactKernel lanes_off = exact_kernel_portable(3);
  lanes_off.score_lanes = lanes_off_by_an_ulp;
  expect_rejected(exact_family(3), "lanes-ulp", lanes_off);
  const BoundKernel at_limit{"at-limit", bound_blocks_at_limit, bound_group_at_limit};
  expect_rejected(bound_family(BoundUse::OneQuery), "at-limit", at_limit);
  expect_rejected(bound_family(BoundUse::Group), "at-limit", at_limit);
  const BoundKernel wrong_alone{"one-of-a-group", bound_kernel_portable().blocks, bound_group_at_limit_for<1>};
  expect_rejected(bound_family(BoundUse::OneQuery), "one-of-a-group", wrong_alone);
  const BoundKernel wrong_four{"four-of-a-group", bound_kernel_portable().blocks, bound_group_at_limit_for<4>};
  expect_rejected(bound_family(BoundUse::Group), "four-of-a-group", wrong_four);
  RotationKernels index_order = rotation_kernels_portable();
  index_order.rotate = rotate_in_index_order;
  index_order.rotate_batch = rotate_batch_in_index_order;
  expect_rejected(rotation_family(), "index-order", index_order);
  expect_rejected<QuantizeFn>(quantizer_family(), "nan-high", quantize_nan_high);
  expect_rejected<Crc32cFn>(crc32c_family(), "short-tail", crc32c_short_tail);
}

TEST(KernelRegistry, TheLevelLimitsTheCandidates) {
  for (SimdLevel level : supported_simd_levels()) {
    SCOPED_TRACE(simd_level_name(level));
    auto check = [&](const auto& family, const auto& choice) {
      const FamilyReport& report = choice.report;
      ASSERT_EQ(report.candidates.size(), family.entries.size() + 1);
      for (std::size_t i = 0; i < family.entries.size(); ++i) {
        const auto& needs = family.entries[i].needs;
        const CandidateReport& c = report.candidates[i];
        const bool within = level >= needs.level && level != SimdLevel::Reference;
        EXPECT_EQ(c.allowed, within && cpu_supports(needs)) << report.family << ": " << c.name;
        if (!c.allowed) {
          EXPECT_TRUE(c.self_test == SelfTest::NotRun && !c.chosen) << report.family << ": " << c.name;
        }
      }
    };
    for (int bits = 2; bits <= 4; ++bits) check(exact_family(bits), exact_choice(level, bits));
    for (BoundUse use : {BoundUse::OneQuery, BoundUse::Group}) check(bound_family(use), bound_choice(level, use));
    check(rotation_family(), rotation_choice(level));
    check(quantizer_family(), quantizer_choice(level));
    check(crc32c_family(), crc32c_choice(level));
    if (level <= SimdLevel::Scalar) {
      EXPECT_EQ(rotation_choice(level).report.chosen, "scalar");
      EXPECT_EQ(quantizer_choice(level).report.chosen, "scalar");
    }
  }
  // The reference level scores entry by entry and never prunes; the scalar
  // level uses the portable block kernels.
  EXPECT_FALSE(exact_choice(SimdLevel::Reference, 4).kernel);
  EXPECT_FALSE(bound_choice(SimdLevel::Reference, BoundUse::Group).kernel);
  EXPECT_EQ(crc32c_choice(SimdLevel::Reference).report.chosen, "slicing-by-8");
  EXPECT_EQ(exact_choice(SimdLevel::Scalar, 4).report.chosen, "scalar");
  EXPECT_EQ(bound_choice(SimdLevel::Scalar, BoundUse::OneQuery).report.chosen, "scalar-bound");
}

// A kernel listed under another instruction set than its own would run where
// the CPU may lack its instructions, which no check on a CPU that has them
// sees: every entry is named for the level, or the features, its row needs.
TEST(KernelRegistry, EveryEntryIsListedUnderTheInstructionSetItIsNamedFor) {
  auto check = [](const auto& family) {
    for (const auto& entry : family.entries) {
      const Requirement& needs = entry.needs;
      const std::string set = needs.level > SimdLevel::Scalar ? simd_level_name(needs.level)
                              : needs.extra != nullptr        ? needs.extra
                                                              : "";
      EXPECT_FALSE(set.empty()) << family.name << ": " << entry.name << " needs nothing";
      EXPECT_EQ(std::string(entry.name).rfind(set, 0), 0u) << family.name << ": " << entry.name << " needs " << set;
    }
  };
  for (int bits = 2; bits <= 4; ++bits) check(exact_family(bits));
  for (BoundUse use : {BoundUse::OneQuery, BoundUse::Group}) check(bound_family(use));
  check(rotation_family());
  check(quantizer_family());
  check(crc32c_family());
}

// The choice on a family of stand-in kernels with set times.
TEST(KernelRegistry, ChoosesThePreferredOfTheEquallyFastAmongThoseThatAgree) {
  struct Setup {
    std::vector<double> seconds;  // per kernel value
    std::vector<bool> agree;
  };
  auto family_of = [](const Setup& setup, int* trials, std::vector<int>* checked) {
    Family<int> family;
    family.name = "stand-in";
    for (int k = 0; k < static_cast<int>(setup.seconds.size()); ++k) {
      Entry<int> e;
      e.name = "entry";
      e.needs.level = SimdLevel::Scalar;
      e.kernel = k;
      family.entries.push_back(e);
    }
    family.portable.name = "portable";
    family.portable.kernel = -1;
    family.make_trial = [setup, trials, checked] {
      ++*trials;
      Trial<int> trial;
      trial.agrees = [setup, checked](const int& k) {
        checked->push_back(k);
        return static_cast<bool>(setup.agree[static_cast<std::size_t>(k)]);
      };
      trial.run_timed = [setup](const int& k) { return setup.seconds[static_cast<std::size_t>(k)]; };
      return trial;
    };
    return family;
  };
  const struct {
    Setup setup;
    int expected;
  } cases[] = {
      {{{1.10, 1.00, 2.0}, {true, true, true}}, 0},    // within 15%: the preferred one stays
      {{{1.20, 1.00, 2.0}, {true, true, true}}, 1},    // beyond: the fastest
      {{{1.00, 0.10, 1.05}, {true, false, true}}, 0},  // the fastest disagrees
      {{{1.00, 2.00}, {false, false}}, -1},            // none agrees: the portable kernel
  };
  for (const auto& c : cases) {
    int trials = 0;
    std::vector<int> checked;
    const Choice<int> choice = choose(family_of(c.setup, &trials, &checked), detected_simd_level());
    EXPECT_EQ(choice.kernel, c.expected);
    EXPECT_EQ(trials, 1);
    EXPECT_EQ(checked.size(), c.setup.seconds.size());
  }
  // An entry the CPU lacks is never run, and a level without entries builds
  // no synthetic data at all.
  int trials = 0;
  std::vector<int> checked;
  Family<int> family = family_of({{0.5, 1.0}, {true, true}}, &trials, &checked);
  family.entries[0].needs.cpu_has_extra = [] { return false; };
  EXPECT_EQ(choose(family, detected_simd_level()).kernel, 1);
  EXPECT_EQ(checked, std::vector<int>{1});
  EXPECT_EQ(choose(family, SimdLevel::Reference).kernel, -1);
  EXPECT_EQ(trials, 1);
}
