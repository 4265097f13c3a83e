// The pruned top-k search against the per-entry reference: the same
// positions, scores and order, bit for bit, for every kernel, bound pass and
// split of the store, on data built so that the bound has little room.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/code_layout.h"
#include "engine/codebook.h"
#include "engine/encode.h"
#include "engine/ranking.h"
#include "engine/score_bound.h"
#include "engine/similarity.h"
#include "engine/store.h"
#include "engine/top_k.h"
#include "kernels/families.h"
#include "kernels/kernels.h"
#include "kernels/simd.h"

using namespace velmora;

namespace {

// A store's worth of codes, norms and a query table, built directly.
struct Data {
  std::size_t dim;
  std::uint8_t bits;
  BlockedCodes codes;
  std::vector<std::vector<std::uint8_t>> rows;  // the codes of each position
  std::vector<float> norms;
  std::vector<std::uint64_t> ids;
  QueryLut lut;

  Data(std::size_t d, std::uint8_t b) : dim(d), bits(b), codes(d, b) {
    lut.dim = d;
    lut.bits = b;
  }
  std::size_t size() const { return rows.size(); }
  void add(const std::vector<std::uint8_t>& row, float norm) {
    codes.push_back(row.data());
    rows.push_back(row);
    norms.push_back(norm);
    ids.push_back(ids.size());
  }
  // The store's way: the last entry moves into the hole.
  void remove(std::size_t p) {
    codes.move_last_to(p);
    rows[p] = rows.back();
    rows.pop_back();
    norms[p] = norms.back();
    norms.pop_back();
    ids[p] = ids.back();
    ids.pop_back();
  }
  StoredEntries entries() const { return {ids.data(), norms.data(), &codes, size()}; }
  float max_norm() const { return *std::max_element(norms.begin(), norms.end()); }
  float reference_score(std::size_t p) const {
    const std::vector<std::uint8_t> packed = pack_indices(rows[p].data(), dim, bits);
    return cosine_score(lut, packed.data(), packed.size(), norms[p]);
  }
};

std::vector<Candidate> reference_top_k(const Data& data, std::size_t k) {
  std::vector<float> scores(data.size());
  for (std::size_t p = 0; p < data.size(); ++p) scores[p] = data.reference_score(p);
  const std::vector<std::size_t> order = rank_by_score(scores.data(), data.size());
  std::vector<Candidate> best(k);
  for (std::size_t i = 0; i < k; ++i) best[i] = {scores[order[i]], order[i]};
  return best;
}

// Codes near the middle of the codebook are the common ones, as for real
// rotated vectors.
std::vector<std::uint8_t> typical_row(std::size_t dim, std::uint8_t bits, std::mt19937& gen) {
  std::normal_distribution<float> normal(0.0f, static_cast<float>(1 << bits) / 4.0f);
  const int levels = 1 << bits;
  std::vector<std::uint8_t> row(dim);
  for (auto& c : row) {
    const int code = static_cast<int>(std::lround(normal(gen) + (levels - 1) / 2.0f));
    c = static_cast<std::uint8_t>(std::clamp(code, 0, levels - 1));
  }
  return row;
}

// The query of a stored vector: y_i times the codebook's levels, y the
// vector's own levels (so that it and its near copies score at the top).
void table_towards(Data& data, const std::vector<std::uint8_t>& row, std::mt19937& gen, float noise = 0.3f) {
  const auto codebook = get_codebook(data.dim, data.bits);
  ASSERT_TRUE(codebook.ok());
  const std::vector<float>& levels = codebook.value()->centroids;
  std::normal_distribution<float> normal(0.0f, noise / std::sqrt(static_cast<float>(data.dim)));
  data.lut.lut.assign(data.dim << data.bits, 0.0f);
  double squares = 0.0;
  for (std::size_t i = 0; i < data.dim; ++i) {
    const float y = levels[row[i]] + normal(gen);
    squares += double(y) * y;
    for (std::size_t c = 0; c < levels.size(); ++c) data.lut.lut[(i << data.bits) + c] = y * levels[c];
  }
  data.lut.query_norm = static_cast<float>(std::sqrt(squares));
}

// The kernels to try: each bound pass (for one query and for groups) with
// the level's exact kernel, and each exact formulation with the portable
// bound pass.
std::vector<std::pair<std::string, ScoringKernels>> kernel_choices(int bits) {
  std::vector<std::pair<std::string, ScoringKernels>> out;
  out.emplace_back("reference", kernels_for(SimdLevel::Reference, bits));
  const ScoringKernels& scalar = kernels_for(SimdLevel::Scalar, bits);
  out.emplace_back("scalar", scalar);
  for (const auto& entry : kernels::bound_family(kernels::BoundUse::OneQuery).entries) {
    if (!kernels::cpu_supports(entry.needs)) continue;
    ScoringKernels k = kernels_for(entry.needs.level, bits);
    k.bound = k.group_bound = entry.kernel;
    out.emplace_back(entry.name, k);
  }
  for (const auto& entry : kernels::exact_family(bits).entries) {
    if (kernels::cpu_supports(entry.needs)) {
      out.emplace_back(entry.name, ScoringKernels{entry.kernel, scalar.bound, scalar.group_bound});
    }
  }
  return out;
}

// Every kernel choice and split gives the reference's answer; `exact` gets the
// number of exact scores the portable choice needed in one piece.
void expect_reference_answer(const Data& data, std::size_t k, const char* what, std::size_t* exact = nullptr) {
  const std::vector<Candidate> expected = reference_top_k(data, k);
  for (const auto& [name, kernels] : kernel_choices(data.bits)) {
    for (std::size_t pieces : {1u, 2u, 3u}) {
      TopKStats stats;
      const std::vector<Candidate> got =
          search_top_k(data.lut, data.entries(), k, data.max_norm(), kernels, pieces, &stats);
      EXPECT_EQ(got.size(), expected.size());
      for (std::size_t i = 0; i < std::min(got.size(), expected.size()); ++i) {
        ASSERT_EQ(got[i].position, expected[i].position)
            << what << ": " << name << ", " << pieces << " pieces, dim " << data.dim << ", bits " << int(data.bits)
            << ", k " << k << ", rank " << i;
        ASSERT_EQ(std::memcmp(&got[i].score, &expected[i].score, sizeof(float)), 0)
            << what << ": " << name << ", rank " << i;
      }
      if (name == "scalar" && pieces == 1 && exact != nullptr) *exact = stats.exact_scores;
    }
  }
}

// Every vector's bound sum: no vector may be proven below its own score.
void expect_no_vector_beneath_itself(const Data& data, const ScoreBound& bound, const char* what) {
  std::vector<std::uint32_t> sums(data.codes.block_count() * kBlockLanes), survivors(data.codes.block_count());
  const kernels::BoundBlocksArgs args{bound.table(), bound.fields(), data.codes.blocks(), data.codes.block_bytes(), 0};
  kernels::bound_kernel_portable().blocks(args, data.codes.block_count(), sums.data(), survivors.data());
  for (std::size_t p = 0; p < data.size(); ++p) {
    const float score = data.reference_score(p);
    const std::int64_t limit = bound.prune_limit(score);
    ASSERT_TRUE(limit < 0 || sums[p] > static_cast<std::uint64_t>(limit))
        << what << ": position " << p << " score " << score << " sum " << sums[p] << " limit " << limit;
  }
}

}  // namespace

// Thousands of exactly equal and nearly equal scores around the k-th place:
// copies of one row (equal scores), the same row with other norms (scores a
// few ulps apart) and rows one level away in one coordinate; they straddle
// every k tried, and every bound pass must keep whatever can still win,
// ties going to the earlier position.
TEST(TopKSearch, NearTiesAroundTheKthPlaceMatchTheReference) {
  for (std::uint8_t bits : {2, 3, 4}) {
    for (std::size_t dim : {33u, 128u}) {
      std::mt19937 gen(dim * 10 + bits);
      Data data(dim, bits);
      const std::vector<std::uint8_t> target = typical_row(dim, bits, gen);
      std::uniform_real_distribution<float> spread(0.5f, 2.0f);
      std::uniform_int_distribution<std::size_t> coordinate(0, dim - 1);
      for (std::size_t p = 0; p < 12000; ++p) {
        switch (p % 6) {
          case 0:
            data.add(target, 1.0f);
            break;
          case 1:
            data.add(target, spread(gen));
            break;
          case 2: {
            std::vector<std::uint8_t> near = target;
            std::uint8_t& c = near[coordinate(gen)];
            c = static_cast<std::uint8_t>(c == 0 ? 1 : c - 1);
            data.add(near, spread(gen));
            break;
          }
          default:
            data.add(typical_row(dim, bits, gen), spread(gen));
        }
      }
      table_towards(data, target, gen);
      for (std::size_t victim : {5u, 600u, 0u, 7001u}) data.remove(victim);
      for (std::size_t k : {std::size_t{1}, std::size_t{7}, std::size_t{100}, std::size_t{2000}, data.size() / 8}) {
        expect_reference_answer(data, k, "near ties");
      }
      const auto bound = ScoreBound::build(data.lut, data.max_norm());
      ASSERT_TRUE(bound.has_value());
      expect_no_vector_beneath_itself(data, *bound, "near ties");
    }
  }
}

// Wide dimensions (sums widened past 256 fields), one coordinate's row far
// above the others, and tables of random signs rather than products.
TEST(TopKSearch, WideDimensionsDominantRowsAndArbitraryTables) {
  // The bit widths of a dimension one after another: they share its codebook
  // samples, which take long to draw at these dimensions.
  for (std::size_t dim : {32u, 100u, 768u, 1536u}) {
    for (std::uint8_t bits : {2, 3, 4}) {
      std::mt19937 gen(dim + bits);
      Data data(dim, bits);
      const std::size_t n = dim >= 768 ? 2500 : 6000;
      std::uniform_real_distribution<float> spread(0.25f, 4.0f);
      const std::vector<std::uint8_t> target = typical_row(dim, bits, gen);
      for (std::size_t p = 0; p < n; ++p) data.add(p % 50 == 0 ? target : typical_row(dim, bits, gen), spread(gen));
      table_towards(data, target, gen, 1.0f);
      expect_reference_answer(data, 10, "realistic table");
      // One row a million times the others.
      for (std::size_t c = 0; c < (std::size_t{1} << bits); ++c) data.lut.lut[(7 << bits) + c] *= 1e6f;
      expect_reference_answer(data, 25, "dominant row");
      // Entries of any sign and order.
      std::normal_distribution<float> normal;
      for (float& x : data.lut.lut) x = normal(gen);
      expect_reference_answer(data, n / 8, "arbitrary table");
      const auto bound = ScoreBound::build(data.lut, data.max_norm());
      ASSERT_TRUE(bound.has_value());
      expect_no_vector_beneath_itself(data, *bound, "arbitrary table");
    }
  }
}

// Scales from subnormal to near overflow, in the table, the query norm and
// the stored norms. Where the bound cannot be trusted the search scores
// everything; either way the answer is the reference's.
TEST(TopKSearch, HugeAndTinyMagnitudes) {
  const float inf = std::numeric_limits<float>::infinity();
  for (std::uint8_t bits : {2, 3, 4}) {
    std::mt19937 gen(77 + bits);
    Data data(64, bits);
    const std::vector<std::uint8_t> target = typical_row(64, bits, gen);
    std::uniform_real_distribution<float> exponent(-30.0f, 30.0f);
    for (std::size_t p = 0; p < 4000; ++p) {
      data.add(p % 9 == 0 ? target : typical_row(64, bits, gen), std::pow(10.0f, exponent(gen)));
    }
    table_towards(data, target, gen);
    const std::vector<float> base = data.lut.lut;
    const float base_norm = data.lut.query_norm;
    struct Scale {
      float table, query_norm;
      bool bounded;  // whether the bound pass may run
    };
    for (const Scale scale :
         {Scale{1e-30f, 1e-30f, true}, Scale{1e-40f, 1e-40f, true}, Scale{1e-41f, 1.0f, true}, Scale{1e8f, 1e8f, false},
          Scale{1.0f, 1e-38f, true}, Scale{1.0f, inf, false}, Scale{1.0f, 0.0f, false}}) {
      for (std::size_t j = 0; j < base.size(); ++j) data.lut.lut[j] = base[j] * scale.table;
      data.lut.query_norm = base_norm * scale.query_norm;
      TopKStats stats;
      search_top_k(data.lut, data.entries(), 5, data.max_norm(), kernels_for(SimdLevel::Scalar, bits), 1, &stats);
      EXPECT_EQ(stats.bounded, scale.bounded) << scale.table << " " << scale.query_norm;
      for (std::size_t k : {1u, 5u, 300u}) expect_reference_answer(data, k, "magnitudes");
      if (stats.bounded) {
        expect_no_vector_beneath_itself(data, *ScoreBound::build(data.lut, data.max_norm()), "magnitudes");
      }
    }
  }
}

// Tables the bound cannot serve (not finite, or of zero range) take the exact
// path and still rank NaN last and ties by position.
// The integer tables against every code vector of a few fields: s (Q + O)
// is at least the real sum of the entries. Entries sit on multiples of 2^-20
// and one float away from them, where a quotient rounded the wrong way would
// show. Where every row holds the same values (no field is wider than the
// others, so none is raised at the bottom) it is also less than one step a
// coordinate above the sum.
TEST(ScoreBoundTables, BoundEveryCodeVectorWithinAStepACoordinate) {
  std::mt19937 gen(11);
  for (int bits : {2, 3, 4}) {
    const std::size_t dim = 4, levels = std::size_t{1} << bits;
    for (int trial = 0; trial < 40; ++trial) {
      QueryLut lut;
      lut.dim = dim;
      lut.bits = static_cast<std::uint8_t>(bits);
      lut.query_norm = 1.0f;
      lut.lut.resize(dim * levels);
      const float spread = trial % 2 == 0 ? 1.0f : 1e-3f * static_cast<float>(trial);
      for (float& v : lut.lut) {
        const auto multiple = static_cast<float>(static_cast<int>(gen() % 2001) - 1000) * 0x1p-20f * spread;
        const int nudge = static_cast<int>(gen() % 3);  // on the multiple, or a float either side
        v = nudge == 0 ? multiple : std::nextafter(multiple, nudge == 1 ? 1.0f : -1.0f);
      }
      const bool same_rows = trial % 4 == 3;
      if (same_rows) {
        for (std::size_t i = 1; i < dim; ++i) {
          std::copy(lut.lut.begin(), lut.lut.begin() + static_cast<std::ptrdiff_t>(levels),
                    lut.lut.begin() + static_cast<std::ptrdiff_t>(i * levels));
          std::shuffle(lut.lut.begin() + static_cast<std::ptrdiff_t>(i * levels),
                       lut.lut.begin() + static_cast<std::ptrdiff_t>((i + 1) * levels), gen);
        }
      }
      const std::optional<ScoreBound> bound = ScoreBound::build(lut, 1.0f);
      ASSERT_TRUE(bound.has_value());
      const double step = bound->step();
      const std::size_t combos = std::size_t{1} << (bits * dim);
      for (std::size_t combo = 0; combo < combos; ++combo) {
        std::vector<std::uint8_t> codes(dim);
        long double real = 0.0L;  // exact: four floats of nearby exponents
        for (std::size_t i = 0; i < dim; ++i) {
          codes[i] = static_cast<std::uint8_t>((combo >> (bits * i)) & (levels - 1));
          real += static_cast<long double>(lut.lut[i * levels + codes[i]]);
        }
        BlockedCodes block(dim, static_cast<std::uint8_t>(bits));
        block.push_back(codes.data());
        std::int64_t sum = bound->offset_sum();
        for (std::size_t f = 0; f < bound->fields(); ++f) {
          const std::uint8_t byte = block.block(0)[f * kernels::kFieldBytes];
          sum += bound->table()[f * kernels::kFieldBytes + (byte & 0x0F)];
        }
        const long double upper = static_cast<long double>(step) * static_cast<long double>(sum);
        ASSERT_GE(upper, real) << "bits " << bits << " trial " << trial << " codes " << combo;
        // Each ceiling adds less than a step; the 3-bit split of a group's
        // fourth coordinate may add more, so only 2 and 4 bits are held to it.
        if (same_rows && bits != 3) {
          ASSERT_LT(upper - real, static_cast<long double>(step) * dim) << "bits " << bits << " trial " << trial;
        }
      }
    }
  }
}

// The ceilings at the points where a quotient is hardest to round: entries on
// whole multiples of the step and one float either side. The step depends
// only on the rows' ranges, so a table keeps it when its rows keep their
// lowest and highest entries and the others move onto (or beside) a
// multiple. At 4 bits a field is a coordinate, and within a field not raised
// at the bottom the u8 entries differ exactly as the ceilings do.
TEST(ScoreBoundTables, CeilingsOnAndBesideMultiplesOfTheStep) {
  std::mt19937 gen(29);
  std::normal_distribution<float> normal;
  const std::size_t dim = 96, levels = 16;
  for (int trial = 0; trial < 30; ++trial) {
    QueryLut lut;
    lut.dim = dim;
    lut.bits = 4;
    lut.query_norm = 1.0f;
    lut.lut.resize(dim * levels);
    const float scale = trial % 3 == 0 ? 1e-6f : trial % 3 == 1 ? 1.0f : 3e4f;
    for (std::size_t i = 0; i < dim; ++i) {
      const float y = normal(gen) * scale;
      for (std::size_t c = 0; c < levels; ++c) lut.lut[i * levels + c] = y * (static_cast<float>(c) - 7.5f) / 7.5f;
    }
    const double step = ScoreBound::build(lut, 1.0f).value().step();
    for (std::size_t i = 0; i < dim; ++i) {
      float* row = lut.lut.data() + i * levels;
      const auto [low, high] = std::minmax_element(row, row + levels);
      for (std::size_t c = 0; c < levels; ++c) {
        float& v = row[c];
        if (&v == low || &v == high) continue;
        const auto multiple = static_cast<float>(std::round(static_cast<double>(v) / step) * step);
        if (!(multiple > *low && multiple < *high)) continue;
        const int nudge = static_cast<int>(gen() % 3);
        v = nudge == 0 ? multiple : std::nextafter(multiple, nudge == 1 ? *high : *low);
      }
    }
    const std::optional<ScoreBound> bound = ScoreBound::build(lut, 1.0f);
    ASSERT_TRUE(bound.has_value());
    ASSERT_EQ(bound->step(), step) << "trial " << trial;
    const auto exact_ceiling = [step](float t) {
      double q = std::ceil(static_cast<double>(t) / step);  // then made exact with exact products
      while (q * step < static_cast<double>(t)) q += 1.0;
      while ((q - 1.0) * step >= static_cast<double>(t)) q -= 1.0;
      return static_cast<std::int64_t>(q);
    };
    std::size_t fields_checked = 0;
    for (std::size_t f = 0; f < dim; ++f) {
      const float* row = lut.lut.data() + f * levels;
      const std::uint8_t* entries = bound->table() + f * kernels::kFieldBytes;
      const std::size_t lowest = static_cast<std::size_t>(std::min_element(row, row + levels) - row);
      if (entries[lowest] != 0 || *std::max_element(entries, entries + levels) == 255) continue;  // raised
      ++fields_checked;
      for (std::size_t c = 0; c < levels; ++c) {
        ASSERT_EQ(entries[c], exact_ceiling(row[c]) - exact_ceiling(row[lowest]))
            << "trial " << trial << " field " << f << " code " << c << " entry " << row[c];
      }
    }
    EXPECT_GT(fields_checked, dim / 2);
  }
}

TEST(TopKSearch, UnboundableTablesTakeTheExactPath) {
  std::mt19937 gen(5);
  Data data(40, 4);
  for (std::size_t p = 0; p < 3000; ++p) data.add(typical_row(40, 4, gen), 1.0f + static_cast<float>(p % 7));
  table_towards(data, data.rows[3], gen);
  const std::vector<float> base = data.lut.lut;
  for (float odd : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), 0.0f}) {
    data.lut.lut = base;
    if (odd == 0.0f) {
      std::fill(data.lut.lut.begin(), data.lut.lut.end(), 0.0f);  // a zero query
    } else {
      data.lut.lut[(5 << 4) + 3] = odd;  // one entry: only the vectors with that code score NaN or inf
    }
    EXPECT_FALSE(ScoreBound::build(data.lut, data.max_norm()).has_value());
    for (std::size_t k : {1u, 10u, 375u}) expect_reference_answer(data, k, "unboundable");
  }
  // Norms so large that sum * norm could overflow.
  data.lut.lut = base;
  data.norms[17] = 3e38f;
  EXPECT_FALSE(ScoreBound::build(data.lut, data.max_norm()).has_value());
  expect_reference_answer(data, 10, "overflowing norms");
}

// All scores equal: no vector is ever strictly below the k-th best, so every
// vector is scored exactly and the earliest positions win.
TEST(TopKSearch, EqualScoresKeepEveryVector) {
  for (std::uint8_t bits : {2, 3, 4}) {
    Data data(96, bits);
    std::mt19937 gen(bits);
    const std::vector<std::uint8_t> row = typical_row(96, bits, gen);
    for (std::size_t p = 0; p < 5000; ++p) data.add(row, 2.0f);
    table_towards(data, row, gen);
    for (std::size_t k : {1u, 10u, 600u}) {
      std::size_t exact = 0;
      expect_reference_answer(data, k, "equal scores", &exact);
      EXPECT_EQ(exact, data.size());
    }
  }
}

// Copies of one vector far above the rest, the first near the start: once
// the k-th best is one of them, the bound pass leaves every other vector
// unscored (the copies themselves tie with it and must be scored).
TEST(TopKSearch, ClearWinnersPruneNearlyEverything) {
  for (std::uint8_t bits : {2, 3, 4}) {
    Data data(128, bits);
    std::mt19937 gen(11 * bits);
    const std::vector<std::uint8_t> target = typical_row(128, bits, gen);
    for (std::size_t p = 0; p < 40000; ++p) data.add(p % 1000 == 17 ? target : typical_row(128, bits, gen), 1.0f);
    table_towards(data, target, gen);
    std::size_t exact = 0;
    expect_reference_answer(data, 1, "clear winners", &exact);
    EXPECT_LT(exact, data.size() / 200) << "bits " << int(bits);
    expect_reference_answer(data, 10, "clear winners", &exact);
    EXPECT_LT(exact, data.size() / 20) << "bits " << int(bits);
  }
}

// A store assembled from arrays (a loaded file) knows its largest norm, so a
// norm that could make sum * norm overflow still keeps queries off the bound.
TEST(TopKSearch, StoresBuiltFromArraysGuardAgainstTheirLargestNorm) {
  for (const float largest : {2.0f, 3e38f}) {
    std::mt19937 gen(3);
    const std::size_t dim = 64, n = 2000;
    PageArray<std::uint64_t> ids;
    PageArray<float> norms;
    BlockedCodes codes(dim, 4);
    for (std::size_t p = 0; p < n; ++p) {
      const std::vector<std::uint8_t> row = typical_row(dim, 4, gen);
      codes.push_back(row.data());
      ids.push_back(p * 3);
      norms.push_back(p == 1234 ? largest : 1.0f + static_cast<float>(p % 5));
    }
    std::uint64_t repeated = 0;
    auto store =
        CompressedVectorStore::from_arrays(std::move(ids), std::move(norms), std::move(codes), std::nullopt, &repeated);
    ASSERT_TRUE(store.has_value());
    std::normal_distribution<float> normal;
    std::vector<float> query(dim);
    for (float& x : query) x = normal(gen);
    TopKStats stats;
    const auto top = store->query(query, 10, &stats);
    ASSERT_TRUE(top.ok());
    EXPECT_EQ(stats.bounded, largest < 1e30f);
    const auto all = store->query_all(query);
    ASSERT_TRUE(all.ok());
    for (std::size_t i = 0; i < 10; ++i) {
      EXPECT_EQ(top.value()[i].id, all.value()[i].id);
      EXPECT_EQ(std::memcmp(&top.value()[i].score, &all.value()[i].score, sizeof(float)), 0);
    }
  }
}

// Groups of queries sharing each bound pass, over split block ranges and
// under filters, give every query the reference's k best among the allowed
// positions: queries towards near-tied rows, one towards nothing in
// particular and a zero query (which cannot prune) in the same groups;
// filters of every shape, down to a single block, the last partial block,
// and nothing at all.
TEST(GroupSearch, GroupsAndFiltersMatchTheReferenceForEveryQuery) {
  for (std::uint8_t bits : {2, 3, 4}) {
    std::mt19937 gen(300 + bits);
    const std::size_t dim = 45;
    Data data(dim, bits);
    const std::vector<std::uint8_t> target = typical_row(dim, bits, gen);
    std::uniform_real_distribution<float> spread(0.5f, 2.0f);
    for (std::size_t p = 0; p < 2000; ++p) {
      data.add(p % 5 == 0 ? target : typical_row(dim, bits, gen), p % 10 == 0 ? 1.0f : spread(gen));
    }
    data.remove(3);
    const std::size_t n = data.size();
    std::vector<QueryLut> luts;
    for (std::size_t q = 0; q < 10; ++q) {
      table_towards(data, q % 3 == 0 ? target : data.rows[gen() % n], gen, q == 9 ? 5.0f : 0.3f);
      luts.push_back(data.lut);
    }
    luts.push_back(luts[0]);
    std::fill(luts.back().lut.begin(), luts.back().lut.end(), 0.0f);  // a zero query
    const std::size_t m = luts.size();
    std::vector<std::vector<float>> reference(m, std::vector<float>(n));
    for (std::size_t q = 0; q < m; ++q) {
      data.lut = luts[q];
      for (std::size_t p = 0; p < n; ++p) reference[q][p] = data.reference_score(p);
    }
    const std::size_t blocks = (n + kBlockLanes - 1) / kBlockLanes;
    std::vector<std::pair<const char*, std::vector<std::size_t>>> filters;
    auto positions = [&](const char* name, auto&& keep) {
      std::vector<std::size_t> out;
      for (std::size_t p = 0; p < n; ++p) {
        if (keep(p)) out.push_back(p);
      }
      filters.emplace_back(name, out);
    };
    positions("all", [](std::size_t) { return true; });
    positions("every third", [](std::size_t p) { return p % 3 == 1; });
    positions("one in every fifth block", [](std::size_t p) { return p % (5 * kBlockLanes) == 17; });
    positions("one block", [](std::size_t p) { return p / kBlockLanes == 9; });
    positions("last partial block", [&](std::size_t p) { return p / kBlockLanes == blocks - 1; });
    positions("nothing", [](std::size_t) { return false; });
    for (const auto& [name, kernels] : kernel_choices(bits)) {
      for (const auto& [filter_name, allowed_positions] : filters) {
        PositionSet set(n);
        for (std::size_t p : allowed_positions) set.add(p);
        const PositionSet* allowed = std::string(filter_name) == "all" ? nullptr : &set;
        const std::size_t candidates = allowed_positions.size();
        for (std::size_t k : {std::size_t{1}, std::size_t{10}, candidates / 8}) {
          if (k == 0 && candidates > 0) continue;
          for (std::size_t group : {std::size_t{1}, std::size_t{3}, kernels::kMaxBoundQueries}) {
            for (std::size_t ranges : {1u, 3u}) {
              std::vector<std::unique_ptr<QuerySearch>> searches;
              for (const QueryLut& lut : luts) {
                searches.push_back(std::make_unique<QuerySearch>(lut, data.max_norm(), kernels));
              }
              std::vector<std::vector<Candidate>> kept(m);
              for (std::size_t q0 = 0; q0 < m; q0 += group) {
                const std::size_t count = std::min(group, m - q0);
                std::vector<QuerySearch*> members;
                for (std::size_t q = q0; q < q0 + count; ++q) members.push_back(searches[q].get());
                for (std::size_t r = 0; r < ranges; ++r) {
                  std::vector<TopK> best(count, TopK(std::max<std::size_t>(k, 1)));
                  search_blocks(members.data(), count, data.entries(), allowed, r * blocks / ranges,
                                (r + 1) * blocks / ranges, best.data());
                  for (std::size_t j = 0; j < count; ++j) {
                    kept[q0 + j].insert(kept[q0 + j].end(), best[j].kept().begin(), best[j].kept().end());
                  }
                }
              }
              for (std::size_t q = 0; q < m; ++q) {
                std::vector<Candidate> expected;
                for (std::size_t p : allowed_positions) expected.push_back({reference[q][p], p});
                keep_best(expected, std::min(k, expected.size()));
                keep_best(kept[q], std::min(k, kept[q].size()));
                ASSERT_EQ(kept[q].size(), expected.size()) << name << ", " << filter_name << ", query " << q;
                for (std::size_t i = 0; i < expected.size(); ++i) {
                  ASSERT_EQ(kept[q][i].position, expected[i].position)
                      << name << ", " << filter_name << ", bits " << int(bits) << ", k " << k << ", group " << group
                      << ", ranges " << ranges << ", query " << q << ", rank " << i;
                  ASSERT_EQ(std::memcmp(&kept[q][i].score, &expected[i].score, sizeof(float)), 0);
                }
              }
            }
          }
        }
      }
    }
  }
}

// The re-ranking's candidates: the k largest bound sums, equal sums by
// smaller id (ids shuffled against positions), whatever the bound pass, the
// group a query shares passes with and the split into ranges; a query
// without a bound (a zero table, a NaN one) by its scores, NaN last.
TEST(BoundSumCandidates, LargestSumsBySmallerIdWhateverTheSplit) {
  for (std::uint8_t bits : {2, 3, 4}) {
    std::mt19937 gen(700 + bits);
    const std::size_t dim = 70;
    Data data(dim, bits);
    const std::vector<std::uint8_t> target = typical_row(dim, bits, gen);
    // Norms play no part in the sums: the copies of the target tie whatever theirs.
    std::uniform_real_distribution<float> spread(0.25f, 4.0f);
    for (std::size_t p = 0; p < 1500; ++p) data.add(p % 7 == 0 ? target : typical_row(dim, bits, gen), spread(gen));
    const std::size_t n = data.size();
    std::vector<std::uint64_t> shuffled(n);
    for (std::size_t p = 0; p < n; ++p) shuffled[p] = 3 * p + 1;
    std::shuffle(shuffled.begin(), shuffled.end(), gen);
    data.ids = shuffled;
    std::vector<QueryLut> luts;
    for (std::size_t q = 0; q < 6; ++q) {
      table_towards(data, q % 2 == 0 ? target : data.rows[gen() % n], gen, q == 5 ? 4.0f : 0.3f);
      luts.push_back(data.lut);
    }
    luts.push_back(luts[0]);
    std::fill(luts.back().lut.begin(), luts.back().lut.end(), 0.0f);  // no bound: every sum 0
    luts.push_back(luts[1]);
    luts.back().lut[5] = std::numeric_limits<float>::quiet_NaN();  // no bound: NaN for some
    const std::size_t m = luts.size();
    // Each query's keys by position: the portable pass's sums, or scores.
    std::vector<std::vector<float>> keys(m, std::vector<float>(n));
    for (std::size_t q = 0; q < m; ++q) {
      data.lut = luts[q];
      const std::optional<ScoreBound> bound = ScoreBound::build(luts[q], 1.0f);
      ASSERT_EQ(bound.has_value(), q < 6) << "query " << q;
      if (!bound) {
        for (std::size_t p = 0; p < n; ++p) keys[q][p] = data.reference_score(p);
        continue;
      }
      std::vector<std::uint32_t> sums(data.codes.block_count() * kBlockLanes), survivors(data.codes.block_count());
      const kernels::BoundBlocksArgs args{bound->table(), bound->fields(), data.codes.blocks(),
                                          data.codes.block_bytes(), 0};
      kernels::bound_kernel_portable().blocks(args, data.codes.block_count(), sums.data(), survivors.data());
      for (std::size_t p = 0; p < n; ++p) keys[q][p] = static_cast<float>(sums[p]);
    }
    PositionSet odd(n);
    for (std::size_t p = 1; p < n; p += 2) odd.add(p);
    const std::size_t blocks = data.codes.block_count();
    for (const auto& [name, kernels] : kernel_choices(bits)) {
      for (const PositionSet* allowed :
           {static_cast<const PositionSet*>(nullptr), static_cast<const PositionSet*>(&odd)}) {
        for (std::size_t k : {std::size_t{1}, std::size_t{40}, std::size_t{400}}) {
          for (std::size_t group : {std::size_t{1}, std::size_t{3}, kernels::kMaxBoundQueries}) {
            for (std::size_t ranges : {1u, 4u}) {
              std::vector<std::unique_ptr<QuerySearch>> searches;
              for (const QueryLut& lut : luts) searches.push_back(std::make_unique<QuerySearch>(lut, 1.0f, kernels));
              std::vector<std::vector<Candidate>> kept(m);
              for (std::size_t q0 = 0; q0 < m; q0 += group) {
                const std::size_t count = std::min(group, m - q0);
                std::vector<QuerySearch*> members;
                for (std::size_t q = q0; q < q0 + count; ++q) members.push_back(searches[q].get());
                for (std::size_t r = 0; r < ranges; ++r) {
                  std::vector<TopSums> best(count, TopSums(k, data.ids.data()));
                  const BlockRun range{r * blocks / ranges, std::min((r + 1) * blocks / ranges * kBlockLanes, n)};
                  search_blocks(members.data(), count, data.entries(), allowed, range, best.data());
                  for (std::size_t j = 0; j < count; ++j) {
                    kept[q0 + j].insert(kept[q0 + j].end(), best[j].kept().begin(), best[j].kept().end());
                  }
                }
              }
              const TopSums order(k, data.ids.data());
              for (std::size_t q = 0; q < m; ++q) {
                std::vector<Candidate> expected;
                for (std::size_t p = 0; p < n; ++p) {
                  if (allowed == nullptr || allowed->contains(p)) expected.push_back({keys[q][p], p});
                }
                std::sort(expected.begin(), expected.end(), [&](const Candidate& a, const Candidate& b) {
                  const bool a_nan = std::isnan(a.score), b_nan = std::isnan(b.score);
                  if (a_nan != b_nan) return b_nan;
                  if (!a_nan && a.score != b.score) return a.score > b.score;
                  return data.ids[a.position] < data.ids[b.position];
                });
                expected.resize(std::min(k, expected.size()));
                order.keep_best(kept[q]);
                ASSERT_EQ(kept[q].size(), expected.size()) << name << ", query " << q;
                for (std::size_t i = 0; i < expected.size(); ++i) {
                  ASSERT_EQ(kept[q][i].position, expected[i].position)
                      << name << ", bits " << int(bits) << ", k " << k << ", group " << group << ", ranges " << ranges
                      << ", filtered " << (allowed != nullptr) << ", query " << q << ", rank " << i;
                  ASSERT_TRUE(std::memcmp(&kept[q][i].score, &expected[i].score, sizeof(float)) == 0 ||
                              (std::isnan(kept[q][i].score) && std::isnan(expected[i].score)))
                      << "query " << q << ": " << kept[q][i].score << " vs " << expected[i].score;
                }
              }
            }
          }
        }
      }
    }
  }
}
