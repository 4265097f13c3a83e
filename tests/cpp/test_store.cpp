#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "engine/batch_search.h"
#include "engine/error_bound.h"
#include "engine/exact_search.h"
#include "engine/similarity.h"
#include "engine/store.h"

using velmora::CompressedVectorStore;
using velmora::PreparedPairs;
using velmora::StoreErrorKind;

namespace {

std::vector<float> gaussian(std::size_t dim, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<float> normal;
  std::vector<float> v(dim);
  for (float& x : v) x = normal(gen);
  return v;
}

CompressedVectorStore make_store(std::uint64_t dim, std::uint8_t bits) {
  auto created = CompressedVectorStore::create(dim, bits);
  EXPECT_TRUE(created.ok());
  return std::move(created).value();
}

std::vector<std::uint64_t> positions(const CompressedVectorStore& store) {
  std::vector<std::uint64_t> ids;
  for (std::size_t p = 0; p < store.size(); ++p) ids.push_back(store.id_at(p));
  return ids;
}

}  // namespace

TEST(StoreConstruction, DimensionIsValidatedBeforeBitWidth) {
  auto a = CompressedVectorStore::create(16, 5);
  ASSERT_FALSE(a.ok());
  EXPECT_EQ(a.error().kind(), StoreErrorKind::UnsupportedDimension);
  auto b = CompressedVectorStore::create(64, 1);
  ASSERT_FALSE(b.ok());
  EXPECT_EQ(b.error().message(), "Unsupported bit width: 1. Valid values are 2, 3, or 4.");
  auto c = CompressedVectorStore::create(std::uint64_t{1} << 32, 4);
  ASSERT_FALSE(c.ok());
  EXPECT_EQ(c.error().message(), "Internal error: ShapeError/Overflow: arithmetic overflow");
}

TEST(StoreMutation, UpsertKeepsPositionAndRemoveSwapsTheLastEntryIn) {
  auto store = make_store(32, 3);
  for (std::uint64_t id : {1, 2, 3, 4}) ASSERT_TRUE(store.insert(id, gaussian(32, unsigned(id))).ok());
  ASSERT_TRUE(store.insert(2, gaussian(32, 99)).ok());
  EXPECT_EQ(positions(store), (std::vector<std::uint64_t>{1, 2, 3, 4}));
  EXPECT_EQ(store.entry_at(1).codes, [] {
    auto other = make_store(32, 3);
    EXPECT_TRUE(other.insert(7, gaussian(32, 99)).ok());
    return other.entry_at(0).codes;
  }());

  EXPECT_TRUE(store.remove(1));
  EXPECT_EQ(positions(store), (std::vector<std::uint64_t>{4, 2, 3}));
  EXPECT_TRUE(store.remove(3));  // the last entry: nothing moves
  EXPECT_EQ(positions(store), (std::vector<std::uint64_t>{4, 2}));
  EXPECT_FALSE(store.remove(3));
  ASSERT_TRUE(store.insert(3, gaussian(32, 3)).ok());
  EXPECT_EQ(positions(store), (std::vector<std::uint64_t>{4, 2, 3}));
  EXPECT_EQ(store.memory_bytes(), 3u * (12 + 4));
}

TEST(StoreMutation, FailedInsertLeavesTheOldRecord) {
  auto store = make_store(32, 4);
  ASSERT_TRUE(store.insert(1, gaussian(32, 1)).ok());
  const auto before = store.entry_at(0);
  auto zero = store.insert(1, std::vector<float>(32, 0.0f));
  ASSERT_FALSE(zero.ok());
  EXPECT_EQ(zero.error().message(), "Internal error: Vector has zero or NaN norm");
  auto short_vector = store.insert(1, gaussian(31, 1));
  ASSERT_FALSE(short_vector.ok());
  EXPECT_EQ(short_vector.error().message(), "Dimension mismatch: expected 32, got 31");
  EXPECT_EQ(store.entry_at(0).codes, before.codes);
  EXPECT_EQ(store.entry_at(0).norm, before.norm);
}

TEST(StoreBatch, MatchesSingleInsertsAndKeepsFirstPositionForDuplicates) {
  auto batch_store = make_store(40, 3);
  auto single_store = make_store(40, 3);
  PreparedPairs pairs;
  for (std::uint64_t id : {5, 6, 5, 7, 6}) pairs.add(id, gaussian(40, unsigned(pairs.size())));
  ASSERT_TRUE(batch_store.insert_batch(pairs).ok());
  for (std::size_t i = 0; i < pairs.size(); ++i) ASSERT_TRUE(single_store.insert(pairs.id(i), pairs.vector(i)).ok());
  ASSERT_EQ(positions(batch_store), (std::vector<std::uint64_t>{5, 6, 7}));
  ASSERT_EQ(positions(single_store), positions(batch_store));
  for (std::size_t p = 0; p < 3; ++p) {
    EXPECT_EQ(batch_store.entry_at(p).codes, single_store.entry_at(p).codes);
    EXPECT_EQ(batch_store.entry_at(p).norm, single_store.entry_at(p).norm);
  }
}

TEST(StoreBatch, AllOrNothingWithLengthsCheckedBeforeEncoding) {
  auto store = make_store(32, 2);
  ASSERT_TRUE(store.insert(1, gaussian(32, 1)).ok());
  const auto before = store.entry_at(0);
  PreparedPairs pairs;
  pairs.add(1, std::vector<float>(32, 0.0f));
  for (unsigned i = 0; i < 300; ++i) pairs.add(100 + i, gaussian(32, i));
  auto degenerate = store.insert_batch(pairs);
  ASSERT_FALSE(degenerate.ok());
  EXPECT_EQ(degenerate.error().message(), "Internal error: Vector has zero or NaN norm");
  pairs.add(9, gaussian(33, 1));
  auto mismatch = store.insert_batch(pairs);
  ASSERT_FALSE(mismatch.ok());
  EXPECT_EQ(mismatch.error().message(), "Dimension mismatch: expected 32, got 33");
  EXPECT_EQ(store.size(), 1u);
  EXPECT_EQ(store.entry_at(0).codes, before.codes);
  EXPECT_TRUE(store.insert_batch(PreparedPairs()).ok());
}

TEST(StoreQuery, SelectionAgreesWithFullRanking) {
  auto store = make_store(64, 4);
  PreparedPairs pairs;
  for (unsigned i = 0; i < 500; ++i) pairs.add(i * 3ull, gaussian(64, i));
  // Exact duplicates give tied scores.
  const auto tenth = gaussian(64, 10);
  pairs.add(7, tenth);
  pairs.add(8, tenth);
  ASSERT_TRUE(store.insert_batch(pairs).ok());
  const auto q = gaussian(64, 1000);
  auto all = store.query_all(q);
  ASSERT_TRUE(all.ok());
  ASSERT_EQ(all.value().size(), store.size());
  for (std::size_t i = 1; i < all.value().size(); ++i) {
    ASSERT_GE(all.value()[i - 1].score, all.value()[i].score);
  }
  for (std::uint64_t k : {0ull, 1ull, 2ull, 10ull, 501ull, 502ull, 10000ull, ~0ull}) {
    auto top = store.query(q, k);
    ASSERT_TRUE(top.ok());
    const std::size_t expect = std::min<std::uint64_t>(k, store.size());
    ASSERT_EQ(top.value().size(), expect);
    for (std::size_t i = 0; i < expect; ++i) EXPECT_EQ(top.value()[i].score, all.value()[i].score);
  }
  // Querying with a stored vector: its tied copies are the best; k = 1 takes
  // the earliest stored of them.
  auto best = store.query(tenth, 1);
  ASSERT_TRUE(best.ok());
  EXPECT_EQ(best.value()[0].id, 30u);
}

TEST(StoreQuery, ErrorsAndDegenerateQueries) {
  auto store = make_store(32, 4);
  auto empty = store.query(gaussian(3, 1), 5);
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().kind(), StoreErrorKind::EmptyStore);
  for (unsigned i = 0; i < 50; ++i) ASSERT_TRUE(store.insert(i, gaussian(32, i)).ok());
  auto mismatch = store.query_all(gaussian(3, 1));
  ASSERT_FALSE(mismatch.ok());
  EXPECT_EQ(mismatch.error().message(), "Dimension mismatch: expected 32, got 3");

  auto zero = store.query(std::vector<float>(32, 0.0f), 50);
  ASSERT_TRUE(zero.ok());
  for (const auto& pair : zero.value()) EXPECT_EQ(pair.score, 0.0f);

  auto with_nan = gaussian(32, 7);
  with_nan[3] = std::numeric_limits<float>::quiet_NaN();
  for (std::uint64_t k : {1ull, 5ull, 50ull, 60ull}) {
    auto nan_result = store.query(with_nan, k);
    ASSERT_TRUE(nan_result.ok());
    ASSERT_EQ(nan_result.value().size(), std::min<std::uint64_t>(k, 50));
    std::vector<bool> seen(50, false);
    for (const auto& pair : nan_result.value()) {
      EXPECT_TRUE(std::isnan(pair.score));
      ASSERT_LT(pair.id, 50u);
      EXPECT_FALSE(seen[pair.id]);
      seen[pair.id] = true;
    }
  }

  auto q = gaussian(32, 11);
  auto negated = q;
  for (float& x : negated) x = -x;
  auto plain = store.query_all(q);
  auto flipped = store.query_all(negated);
  ASSERT_TRUE(plain.ok() && flipped.ok());
  std::vector<float> by_id_plain(50), by_id_flipped(50);
  for (const auto& pair : plain.value()) by_id_plain[pair.id] = pair.score;
  for (const auto& pair : flipped.value()) by_id_flipped[pair.id] = pair.score;
  for (unsigned i = 0; i < 50; ++i) EXPECT_EQ(by_id_flipped[i], -by_id_plain[i]);
}

TEST(Scoring, CosineOfAVectorWithItselfIsNearOne) {
  for (std::uint8_t bits : {2, 3, 4}) {
    auto store = make_store(128, bits);
    const auto v = gaussian(128, 3);
    ASSERT_TRUE(store.insert(1, v).ok());
    auto result = store.query(v, 1);
    ASSERT_TRUE(result.ok());
    const float tolerance = bits == 2 ? 0.15f : bits == 3 ? 0.06f : 0.03f;
    EXPECT_NEAR(result.value()[0].score, 1.0f, tolerance) << int(bits);
  }
}

TEST(Scoring, LookupTableLayoutAndRawScore) {
  const std::vector<float> q = gaussian(33, 5);
  for (std::uint8_t bits : {2, 3, 4}) {
    auto lut = velmora::prepare_query(q, 33, bits);
    ASSERT_TRUE(lut.ok());
    ASSERT_EQ(lut.value().lut.size(), 33u << bits);
    // A record whose every index is c sums column c of the table.
    for (unsigned c = 0; c < (1u << bits); ++c) {
      std::vector<std::uint8_t> indices(33, static_cast<std::uint8_t>(c));
      const auto codes = velmora::pack_indices(indices.data(), 33, bits);
      float expected = 0.0f;
      for (std::size_t i = 0; i < 33; ++i) expected = expected + lut.value().lut[(i << bits) + c];
      EXPECT_EQ(velmora::score_codes(lut.value(), codes.data(), codes.size(), 2.0f), expected * 2.0f);
    }
  }
}

TEST(Ranking, RadixOrderEqualsTheComparisonOrder) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  std::mt19937 gen(5);
  std::vector<float> pool = {nan,
                             -nan,
                             inf,
                             -inf,
                             0.0f,
                             -0.0f,
                             1e-45f,
                             -1e-45f,
                             1.0f,
                             -1.0f,
                             std::numeric_limits<float>::max(),
                             -std::numeric_limits<float>::max()};
  for (std::size_t n : {0u, 1u, 2u, 17u, 1000u, 70000u}) {
    std::vector<float> scores(n);
    for (float& x : scores) {
      // Many exact ties and every special value.
      x = gen() % 3 == 0 ? pool[gen() % pool.size()] : static_cast<float>(static_cast<int>(gen() % 200) - 100) / 8.0f;
    }
    std::vector<std::size_t> expected(n);
    for (std::size_t p = 0; p < n; ++p) expected[p] = p;
    std::stable_sort(expected.begin(), expected.end(), [&](std::size_t a, std::size_t b) {
      if (std::isnan(scores[a]) || std::isnan(scores[b])) return !std::isnan(scores[a]);
      return scores[a] > scores[b];
    });
    ASSERT_EQ(velmora::rank_by_score(scores.data(), n), expected) << n;
  }
}

// The exact search's passes must never rule out a vector they cannot bound:
// one whose norm was summed from subnormal squares, or any vector at all for
// a query whose table sums are NaN.
TEST(ExactPasses, TinyNormsAreUnboundedAndNaNSumsAreRead) {
  const std::size_t dim = 64;
  auto created = CompressedVectorStore::create(dim, 4, /*keep_error_bounds=*/true);
  ASSERT_TRUE(created.ok());
  CompressedVectorStore store = std::move(created).value();
  std::vector<float> one_hot(dim, 0.0f);
  one_hot[3] = 2.7e-23f;  // its square is subnormal: the norm comes out as 3.7e-23
  ASSERT_TRUE(store.insert(0, velmora::FloatView(one_hot.data(), dim)).ok());
  for (std::uint64_t id = 1; id < 40; ++id) {
    const std::vector<float> v = gaussian(dim, static_cast<unsigned>(id));
    ASSERT_TRUE(store.insert(id, velmora::FloatView(v.data(), dim)).ok());
  }
  const velmora::StoredEntries entries = store.stored_entries();
  EXPECT_EQ(entries.error_bounds[0], velmora::kUnboundedError);
  for (std::size_t p = 1; p < store.size(); ++p) EXPECT_LT(entries.error_bounds[p], velmora::kUnboundedError);
  // Imported records of a tiny norm get the same treatment whatever bound they come with.
  const std::uint8_t indices[dim] = {};
  const float tiny = 1e-21f;
  const std::uint16_t small_bound = 100;
  const std::uint64_t imported_id = 77;
  store.upsert_encoded(&imported_id, indices, &tiny, 1, &small_bound);
  EXPECT_EQ(store.stored_entries().error_bounds[store.position_of(imported_id)], velmora::kUnboundedError);

  // Infinite coordinates of both signs make every table sum NaN.
  std::vector<float> query = gaussian(dim, 99);
  query[0] = std::numeric_limits<float>::infinity();
  query[1] = -std::numeric_limits<float>::infinity();
  const double tau = 0.5;
  const auto read = velmora::positions_to_read(store.record_view(), query.data(), 1, &tau, nullptr);
  EXPECT_EQ(read[0].size(), store.size());
  const auto passes = velmora::exact_pass(store.record_view(), query.data(), 1, 4, 2, nullptr, 0.0);
  EXPECT_EQ(passes[0].first.size() + passes[0].others.size(), store.size());
}

// A view of some runs of blocks (as a layout that groups blocks in lists
// gives the passes) is searched exactly as the flat store restricted to the
// runs' records: pruned and fully ranked, with and without a filter, and the
// exact search's table sums list every record of the runs at a floor of -inf.
TEST(RecordViews, SearchesOfSomeRunsMatchTheirRecordsAlone) {
  const std::size_t dim = 48;
  auto created = CompressedVectorStore::create(dim, 3, /*keep_error_bounds=*/true);
  ASSERT_TRUE(created.ok());
  CompressedVectorStore store = std::move(created).value();
  for (std::uint64_t id = 0; id < 3000; ++id) {
    const std::vector<float> v = gaussian(dim, static_cast<unsigned>(id + 500));
    ASSERT_TRUE(store.insert(id * 3 + 1, velmora::FloatView(v.data(), dim)).ok());
  }
  velmora::RecordView view = store.record_view();
  view.runs = {{0, 70}, {4, 4 * 32 + 96}, {20, 20 * 32 + 100}, {60, 3000}};
  const std::vector<std::size_t> in_runs = view.positions(nullptr);
  velmora::PositionSet every_third(store.size());
  for (std::size_t p = 0; p < store.size(); p += 3) every_third.add(p);
  std::vector<float> queries;
  for (unsigned q = 0; q < 3; ++q) {
    const std::vector<float> v = gaussian(dim, 9000 + q);
    queries.insert(queries.end(), v.begin(), v.end());
  }
  const velmora::StoredEntries entries = store.stored_entries();
  const velmora::PositionSet* const filters[] = {nullptr, &every_third};
  for (const velmora::PositionSet* allowed : filters) {
    std::vector<std::size_t> candidates;
    for (std::size_t p : in_runs) {
      if (allowed == nullptr || allowed->contains(p)) candidates.push_back(p);
    }
    ASSERT_EQ(velmora::candidate_count(view, allowed), candidates.size());
    for (std::size_t k : {std::size_t{5}, candidates.size() / 4}) {
      std::vector<std::uint64_t> ids(3 * k);
      std::vector<float> scores(3 * k);
      velmora::search_batch(view, queries.data(), 3, k, allowed, ids.data(), scores.data());
      for (std::size_t q = 0; q < 3; ++q) {
        velmora::QueryLut lut =
            velmora::prepare_query(velmora::FloatView(queries.data() + q * dim, dim), dim, 3).value();
        const std::vector<float> all = velmora::score_positions(lut, entries);
        std::vector<float> restricted;
        for (std::size_t p : candidates) restricted.push_back(all[p]);
        const std::vector<std::size_t> order = velmora::rank_by_score(restricted.data(), restricted.size());
        for (std::size_t j = 0; j < k; ++j) {
          ASSERT_EQ(ids[q * k + j], entries.ids[candidates[order[j]]])
              << "k " << k << ", query " << q << ", rank " << j;
          ASSERT_EQ(scores[q * k + j], restricted[order[j]]);
        }
      }
    }
    const std::vector<velmora::QueryLut> luts = velmora::prepare_all(view, queries.data(), 3);
    const float floors[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (std::vector<velmora::Candidate>& found : velmora::table_sums_at_least(view, luts, floors, allowed, {})) {
      std::vector<std::size_t> listed;
      for (const velmora::Candidate& c : found) listed.push_back(c.position);
      std::sort(listed.begin(), listed.end());
      EXPECT_EQ(listed, candidates);
    }
  }
}
