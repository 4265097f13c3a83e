// Every scoring kernel against the per-entry reference, bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "engine/code_layout.h"
#include "engine/codebook.h"
#include "engine/encode.h"
#include "engine/id_index.h"
#include "engine/rotation.h"
#include "engine/similarity.h"
#include "kernels/families.h"
#include "kernels/kernels.h"
#include "kernels/simd.h"

using namespace velmora;

namespace {

QueryLut random_lut(std::size_t dim, std::uint8_t bits, std::mt19937& gen) {
  std::normal_distribution<float> normal;
  QueryLut lut;
  lut.dim = dim;
  lut.bits = bits;
  lut.query_norm = std::abs(normal(gen)) * 10.0f;
  lut.lut.resize(dim << bits);
  for (float& x : lut.lut) x = normal(gen);
  return lut;
}

}  // namespace

class KernelsAgree : public ::testing::TestWithParam<int> {};

TEST_P(KernelsAgree, WithTheReferenceOnEveryLevel) {
  const auto bits = static_cast<std::uint8_t>(GetParam());
  const auto formulations = kernels::entries_this_cpu_runs(kernels::exact_family(bits));
  std::mt19937 gen(1234 + bits);
  // (1027: a long dimension, ending in a partial pair or group.)
  for (std::size_t dim : {32u, 33u, 34u, 35u, 40u, 47u, 64u, 100u, 129u, 1027u}) {
    for (std::size_t size : {1u, 31u, 32u, 33u, 34u, 70u, 97u, 333u}) {
      std::size_t n = size;
      BlockedCodes codes(dim, bits);
      std::vector<float> norms;
      std::vector<std::vector<std::uint8_t>> packed;
      std::vector<std::uint8_t> indices(dim);
      for (std::size_t p = 0; p < n; ++p) {
        for (auto& c : indices) c = static_cast<std::uint8_t>(gen() % (1u << bits));
        codes.push_back(indices.data());
        packed.push_back(pack_indices(indices.data(), dim, bits));
        norms.push_back(static_cast<float>(gen() % 100000 + 1) / 3.0f);
      }
      // Swap-removals (the store's way) must leave the layout scoring the
      // same records, including the lanes freed at the end.
      for (std::size_t victim : {n / 2, std::size_t{0}}) {
        if (codes.size() < 2) break;
        codes.move_last_to(victim);
        packed[victim] = packed.back();
        packed.pop_back();
        norms[victim] = norms.back();
        norms.pop_back();
      }
      n = codes.size();
      const QueryLut lut = random_lut(dim, bits, gen);
      std::vector<float> reference(n);
      for (std::size_t p = 0; p < n; ++p) {
        reference[p] = cosine_score(lut, packed[p].data(), packed[p].size(), norms[p]);
      }
      // The layout restores the indices it was given.
      for (std::size_t p = 0; p < n; p += 7) {
        codes.indices(p, indices.data());
        ASSERT_EQ(pack_indices(indices.data(), dim, bits), packed[p]);
      }
      std::vector<float> padded_norms(codes.block_count() * kBlockLanes, 0.0f);
      std::copy(norms.begin(), norms.end(), padded_norms.begin());
      for (const auto& f : formulations) {
        const kernels::ExactKernel& kernel = f.kernel;
        std::vector<std::uint8_t> table(kernel.table_bytes(dim));
        kernel.prepare(lut.lut.data(), dim, table.data());
        const kernels::ScoreBlocksArgs args{table.data(),        dim,           codes.blocks(), codes.block_bytes(),
                                            padded_norms.data(), lut.query_norm};
        // Scored in two calls, so that the last pass of the first is short
        // when a formulation scores several blocks per pass.
        std::vector<float> got(codes.block_count() * kBlockLanes);
        const std::size_t first = codes.block_count() / 2;
        kernel.score(args, first, got.data());
        kernels::ScoreBlocksArgs rest = args;
        rest.blocks += first * codes.block_bytes();
        rest.norms += first * kBlockLanes;
        kernel.score(rest, codes.block_count() - first, got.data() + first * kBlockLanes);
        // And block by block, as the search scores a lone block with survivors.
        for (std::size_t b = 0; b < std::min<std::size_t>(3, codes.block_count()); ++b) {
          kernels::ScoreBlocksArgs one = args;
          one.blocks += b * codes.block_bytes();
          one.norms += b * kBlockLanes;
          std::vector<float> lone(kBlockLanes);
          kernel.score(one, 1, lone.data());
          ASSERT_EQ(std::memcmp(lone.data(), &got[b * kBlockLanes], sizeof(float) * kBlockLanes), 0)
              << f.name << " dim " << dim << " n " << n << " block " << b << " scored alone";
        }
        for (std::size_t p = 0; p < n; ++p) {
          ASSERT_EQ(std::memcmp(&got[p], &reference[p], sizeof(float)), 0)
              << f.name << " dim " << dim << " n " << n << " position " << p << ": " << got[p] << " vs "
              << reference[p];
        }
      }
      // A few vectors anywhere in the store, scored side by side.
      for (std::size_t first = 0; first < n; first += kernels::kMaxScatteredLanes) {
        kernels::ScatteredLanes lanes;
        for (std::size_t p = first; p < std::min(n, first + kernels::kMaxScatteredLanes); ++p) {
          const std::size_t q = (p * 7919) % n;
          lanes.blocks[lanes.count] = codes.block(q / kBlockLanes);
          lanes.lanes[lanes.count] = static_cast<std::uint8_t>(q % kBlockLanes);
          lanes.norms[lanes.count] = norms[q];
          ++lanes.count;
        }
        for (const auto& f : formulations) {
          float got[kernels::kMaxScatteredLanes];
          f.kernel.score_lanes(lut.lut.data(), dim, lanes, lut.query_norm, got);
          for (std::size_t j = 0; j < lanes.count; ++j) {
            const std::size_t q = ((first + j) * 7919) % n;
            ASSERT_EQ(std::memcmp(&got[j], &reference[q], sizeof(float)), 0)
                << f.name << " scattered, dim " << dim << " position " << q;
          }
        }
      }
      // The active level through the store's entry point, from a block start
      // to a partial block's end.
      const std::vector<std::uint64_t> ids(n, 0);
      StoredEntries entries{ids.data(), norms.data(), &codes, n};
      const std::size_t begin = n > 32 ? 32 : 0;
      std::vector<float> ranged(n - begin);
      score_range(lut, entries, begin, n, ranged.data());
      ASSERT_EQ(std::memcmp(ranged.data(), reference.data() + begin, ranged.size() * sizeof(float)), 0);
      const std::vector<ScoredPair> all = score_all(lut, entries);
      ASSERT_EQ(all.size(), n);
      for (std::size_t p = 0; p < n; ++p) ASSERT_EQ(std::memcmp(&all[p].score, &reference[p], sizeof(float)), 0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BitWidths, KernelsAgree, ::testing::Values(2, 3, 4),
                         [](const auto& param_info) { return "bits" + std::to_string(param_info.param); });

// The bound passes sum one u8 entry per field exactly, past the 256 fields
// that fit 16-bit lanes too, and flag exactly the lanes above the limit.
TEST(BoundKernels, SumEveryFieldExactlyAndFlagTheLanesAboveTheLimit) {
  const auto passes = kernels::entries_this_cpu_runs(kernels::bound_family(kernels::BoundUse::OneQuery));
  std::mt19937 gen(42);
  for (std::size_t fields : {1u, 2u, 3u, 5u, 64u, 255u, 256u, 257u, 300u, 513u, 1152u}) {
    const std::size_t blocks = 5, block_bytes = fields * kernels::kFieldBytes;
    std::vector<std::uint8_t> table((fields + 3) / 4 * 4 * kernels::kFieldBytes, 0);
    std::vector<std::uint8_t> codes(blocks * block_bytes + kBlockTailPadding);
    // Mostly the largest entries, so that 16-bit sums would overflow if kept
    // too long.
    for (std::size_t i = 0; i < fields * kernels::kFieldBytes; ++i) {
      table[i] = static_cast<std::uint8_t>(gen() % 4 == 0 ? gen() : 255);
    }
    for (auto& c : codes) c = static_cast<std::uint8_t>(gen());
    std::vector<std::uint32_t> expected(blocks * kBlockLanes, 0);
    for (std::size_t b = 0; b < blocks; ++b) {
      for (std::size_t lane = 0; lane < kBlockLanes; ++lane) {
        for (std::size_t f = 0; f < fields; ++f) {
          const std::uint8_t byte = codes[b * block_bytes + f * kernels::kFieldBytes + lane % 16];
          expected[b * kBlockLanes + lane] += table[f * kernels::kFieldBytes + ((byte >> (4 * (lane / 16))) & 15)];
        }
      }
    }
    std::vector<std::uint32_t> sorted = expected;
    std::sort(sorted.begin(), sorted.end());
    for (std::uint32_t limit : {0u, sorted[sorted.size() / 2], sorted.back(), sorted.back() - 1, 0xFFFFFFFFu}) {
      for (const auto& pass : passes) {
        std::vector<std::uint32_t> sums(blocks * kBlockLanes), survivors(blocks);
        const kernels::BoundBlocksArgs args{table.data(), fields, codes.data(), block_bytes, limit};
        pass.kernel.blocks(args, blocks, sums.data(), survivors.data());
        ASSERT_EQ(sums, expected) << pass.name << " fields " << fields;
        for (std::size_t b = 0; b < blocks; ++b) {
          std::uint32_t mask = 0;
          for (std::size_t lane = 0; lane < kBlockLanes; ++lane) {
            mask |= std::uint32_t{expected[b * kBlockLanes + lane] > limit} << lane;
          }
          ASSERT_EQ(survivors[b], mask) << pass.name << " fields " << fields << " limit " << limit;
        }
      }
    }
  }
}

// A group pass gives each query exactly what a one-query portable pass with
// its own table and limit gives, for every group size (partial sub-groups of
// the wide kernels included) and past the 256 fields of 16-bit sums.
TEST(BoundKernels, GroupsGiveEveryQueryItsOwnPass) {
  const auto passes = kernels::entries_this_cpu_runs(kernels::bound_family(kernels::BoundUse::Group));
  std::mt19937 gen(7);
  for (std::size_t fields : {3u, 96u, 300u}) {
    const std::size_t blocks = 3, block_bytes = fields * kernels::kFieldBytes, padded = (fields + 3) / 4 * 4;
    std::vector<std::uint8_t> codes(blocks * block_bytes + kBlockTailPadding);
    for (auto& c : codes) c = static_cast<std::uint8_t>(gen());
    std::vector<std::vector<std::uint8_t>> tables(kernels::kMaxBoundQueries);
    for (auto& table : tables) {
      table.assign(padded * kernels::kFieldBytes, 0);
      for (std::size_t i = 0; i < fields * kernels::kFieldBytes; ++i) table[i] = static_cast<std::uint8_t>(gen());
    }
    // Each query's own sums and survivors; limits near its median sum.
    std::vector<std::vector<std::uint32_t>> sums(tables.size()), masks(tables.size());
    std::vector<std::uint32_t> limits(tables.size());
    for (std::size_t q = 0; q < tables.size(); ++q) {
      sums[q].resize(blocks * kBlockLanes);
      masks[q].resize(blocks);
      kernels::BoundBlocksArgs one{tables[q].data(), fields, codes.data(), block_bytes, 0};
      kernels::bound_kernel_portable().blocks(one, blocks, sums[q].data(), masks[q].data());
      limits[q] = sums[q][q * 5] - static_cast<std::uint32_t>(q % 2);
      one.limit = limits[q];
      kernels::bound_kernel_portable().blocks(one, blocks, sums[q].data(), masks[q].data());
    }
    for (const auto& pass : passes) {
      for (std::size_t group = 1; group <= kernels::kMaxBoundQueries; ++group) {
        kernels::BoundGroupArgs args{};
        for (std::size_t q = 0; q < group; ++q) {
          args.tables[q] = tables[(q + group) % tables.size()].data();
          args.limits[q] = limits[(q + group) % tables.size()];
        }
        args.queries = group;
        args.fields = fields;
        args.blocks = codes.data();
        args.block_bytes = block_bytes;
        std::vector<std::uint32_t> got_sums(group * blocks * kBlockLanes), got_masks(group * blocks);
        pass.kernel.group(args, blocks, got_sums.data(), got_masks.data());
        for (std::size_t q = 0; q < group; ++q) {
          const std::size_t t = (q + group) % tables.size();
          const std::vector<std::uint32_t> own_sums(
              got_sums.begin() + static_cast<std::ptrdiff_t>(q * blocks * kBlockLanes),
              got_sums.begin() + static_cast<std::ptrdiff_t>((q + 1) * blocks * kBlockLanes));
          const std::vector<std::uint32_t> own_masks(got_masks.begin() + static_cast<std::ptrdiff_t>(q * blocks),
                                                     got_masks.begin() + static_cast<std::ptrdiff_t>((q + 1) * blocks));
          ASSERT_EQ(own_sums, sums[t]) << pass.kernel.name << " group " << group << " query " << q << " fields "
                                       << fields;
          ASSERT_EQ(own_masks, masks[t]) << pass.kernel.name << " group " << group << " query " << q;
        }
      }
    }
  }
}

TEST(BlockedCodes, RemovalMovesTheLastVectorAndClearsFreedLanes) {
  for (std::uint8_t bits : {2, 3, 4}) {
    BlockedCodes codes(35, bits);
    std::vector<std::vector<std::uint8_t>> rows;
    std::mt19937 gen(bits);
    for (int p = 0; p < 70; ++p) {
      std::vector<std::uint8_t> row(35);
      for (auto& c : row) c = static_cast<std::uint8_t>(gen() % (1u << bits));
      codes.push_back(row.data());
      rows.push_back(row);
    }
    std::vector<std::uint8_t> got(35);
    // Mirror of swap-remove on the plain rows.
    for (std::size_t victim : {3u, 68u, 0u, 32u, 31u, 16u}) {
      codes.move_last_to(victim);
      rows[victim] = rows.back();
      rows.pop_back();
      ASSERT_EQ(codes.size(), rows.size());
      for (std::size_t p = 0; p < rows.size(); ++p) {
        codes.indices(p, got.data());
        ASSERT_EQ(got, rows[p]) << "bits " << int(bits) << " position " << p;
      }
    }
    // Lanes past the end read as zero codes, so a reused slot starts clean.
    while (codes.size() % kBlockLanes != 0) codes.pop_back();
    codes.push_back(rows[0].data());
    codes.indices(codes.size() - 1, got.data());
    EXPECT_EQ(got, rows[0]);
  }
}

TEST(IdIndex, FindsEveryIdThroughGrowthAndRemoval) {
  std::vector<std::uint64_t> ids;
  IdIndex index;
  std::mt19937_64 gen(7);
  // Sequential ids, ids that collide in the low bits, and random ones.
  for (std::uint64_t i = 0; i < 3000; ++i) {
    const std::uint64_t id = i < 1000 ? i : i < 2000 ? (i << 32) : gen();
    ASSERT_EQ(index.find(id, ids.data()), IdIndex::npos);
    ids.push_back(id);
    index.insert(id, ids.size() - 1, ids.data());
  }
  // Swap-remove every third id, as the store does.
  for (std::size_t k = 0; k < 1000; ++k) {
    const std::uint64_t victim = ids[(k * 7919) % ids.size()];
    const std::size_t p = index.find(victim, ids.data());
    ASSERT_NE(p, IdIndex::npos);
    index.erase(victim, ids.data());
    if (p != ids.size() - 1) {
      index.move(ids.back(), p, ids.data());
      ids[p] = ids.back();
    }
    ids.pop_back();
    ASSERT_EQ(index.find(victim, ids.data()), IdIndex::npos);
  }
  ASSERT_EQ(index.size(), ids.size());
  for (std::size_t p = 0; p < ids.size(); ++p) ASSERT_EQ(index.find(ids[p], ids.data()), p);
}

// A batch reserves what its ids need (any number of slots, not a power of
// two): every id stays findable through batches, single inserts and removals
// that wrap around the end of the table.
TEST(IdIndex, BatchReservationsKeepEveryIdFindable) {
  std::vector<std::uint64_t> ids;
  ids.reserve(20000);
  IdIndex index;
  std::mt19937_64 gen(11);
  std::uint64_t sequential = 0;
  for (std::size_t batch : {1u, 7u, 100u, 999u, 5000u, 3u, 12000u}) {
    index.reserve(ids.size() + batch, ids.data());
    for (std::size_t i = 0; i < batch; ++i) {
      const std::uint64_t id = gen() % 3 == 0 ? sequential++ : gen();
      ids.push_back(id);
      index.insert(id, ids.size() - 1, ids.data());
    }
    for (std::size_t k = 0; k < batch / 3; ++k) {
      const std::uint64_t victim = ids[(k * 104729) % ids.size()];
      const std::size_t p = index.find(victim, ids.data());
      ASSERT_NE(p, IdIndex::npos);
      index.erase(victim, ids.data());
      if (p != ids.size() - 1) {
        index.move(ids.back(), p, ids.data());
        ids[p] = ids.back();
      }
      ids.pop_back();
    }
    ASSERT_EQ(index.size(), ids.size());
    for (std::size_t p = 0; p < ids.size(); ++p) ASSERT_EQ(index.find(ids[p], ids.data()), p) << "batch " << batch;
  }
}

TEST(RotationKernels, MatchThePortableKernelsBitForBit) {
  std::mt19937 gen(99);
  std::normal_distribution<float> normal;
  const RotationKernels& active = rotation_kernels();
  // The active kernels and every batch rotation this CPU runs (partial tiles
  // of eight vectors and dimensions past a panel of 48 rows included).
  std::vector<RotationKernels> batches = {active};
  for (const auto& entry : kernels::rotation_family().entries) {
    if (kernels::cpu_supports(entry.needs)) batches.push_back(entry.kernel);
  }
  for (std::size_t d : {32u, 33u, 39u, 40u, 57u, 96u, 101u}) {
    std::vector<float> matrix(d * d);
    for (float& x : matrix) x = normal(gen);
    for (std::size_t count : {1u, 3u, 4u, 5u, 8u, 11u, 17u}) {
      std::vector<float> xs(count * d), expected(count * d);
      for (float& x : xs) x = normal(gen);
      rotate_batch_portable(matrix.data(), d, d, xs.data(), count, expected.data());
      for (const RotationKernels& rotation : batches) {
        std::vector<float> got(count * d, -1.0f);
        rotation.rotate_batch(matrix.data(), d, d, xs.data(), count, got.data());
        ASSERT_EQ(std::memcmp(expected.data(), got.data(), got.size() * sizeof(float)), 0)
            << rotation.name << " " << d << " " << count;
        rotation.rotate(matrix.data(), d, xs.data(), got.data());
        ASSERT_EQ(std::memcmp(expected.data(), got.data(), d * sizeof(float)), 0) << rotation.name << " " << d;
        // Some rows only (as partitions score centroids): fewer than a panel, and more.
        for (std::size_t rows : {std::size_t{5}, d - 1}) {
          std::vector<float> few(count * rows), few_got(count * rows, -1.0f);
          rotate_batch_portable(matrix.data(), rows, d, xs.data(), count, few.data());
          rotation.rotate_batch(matrix.data(), rows, d, xs.data(), count, few_got.data());
          ASSERT_EQ(std::memcmp(few.data(), few_got.data(), few.size() * sizeof(float)), 0)
              << rotation.name << " " << d << " " << count << " rows " << rows;
        }
      }
    }
    // One Gram-Schmidt sweep over a few columns at once equals column-wise sweeps.
    std::vector<double> q(d * d), mine(4 * d), theirs(4 * d);
    for (double& x : q) x = normal(gen);
    for (std::size_t e = 0; e < 4 * d; ++e) mine[e] = theirs[e] = normal(gen);
    for (std::size_t count = 1; count <= 4; ++count) {
      double* a[4] = {&mine[0], &mine[d], &mine[2 * d], &mine[3 * d]};
      double* b[4] = {&theirs[0], &theirs[d], &theirs[2 * d], &theirs[3 * d]};
      active.gram_schmidt(a, count, q.data(), d, 1, d - 2);
      gram_schmidt_portable(b, count, q.data(), d, 1, d - 2);
      ASSERT_EQ(std::memcmp(mine.data(), theirs.data(), mine.size() * sizeof(double)), 0) << d << " " << count;
    }
    // A row's dot products with itself and with any number of queries, the
    // row as doubles and as floats.
    std::vector<const double*> queries;
    for (std::size_t j = 0; j < 21; ++j) queries.push_back(&q[(j * 5 % d) * d]);
    const std::vector<double> wide(matrix.begin(), matrix.begin() + static_cast<std::ptrdiff_t>(d));
    for (std::size_t count = 0; count <= queries.size(); ++count) {
      std::vector<double> expected(count + 1), got(count + 1, -1.0);
      kernels::row_dots_f64_portable(wide.data(), d, queries.data(), count, expected.data());
      for (const RotationKernels& rotation : batches) {
        rotation.row_dots_f64(wide.data(), d, queries.data(), count, got.data());
        ASSERT_EQ(std::memcmp(expected.data(), got.data(), got.size() * sizeof(double)), 0)
            << rotation.name << " " << d << " " << count;
        std::fill(got.begin(), got.end(), -1.0);
        rotation.row_dots_f32(matrix.data(), d, queries.data(), count, got.data());
        ASSERT_EQ(std::memcmp(expected.data(), got.data(), got.size() * sizeof(double)), 0)
            << rotation.name << " f32 " << d << " " << count;
      }
    }
  }
}

TEST(QuantizeMany, AgreesWithTheBinarySearchIncludingSpecialValues) {
  const float inf = std::numeric_limits<float>::infinity();
  for (std::uint8_t bits : {2, 3, 4}) {
    auto codebook = get_codebook(48, bits);
    ASSERT_TRUE(codebook.ok());
    const Codebook& cb = *codebook.value();
    std::vector<float> xs = {inf, -inf, std::numeric_limits<float>::quiet_NaN(), 0.0f, -0.0f, 2.0f, -2.0f};
    for (float b : cb.boundaries) {
      xs.push_back(b);
      xs.push_back(std::nextafter(b, inf));
      xs.push_back(std::nextafter(b, -inf));
    }
    std::mt19937 gen(bits);
    std::normal_distribution<float> normal(0.0f, 0.2f);
    for (int i = 0; i < 300; ++i) xs.push_back(normal(gen));
    std::vector<std::uint8_t> got(xs.size());
    cb.quantize_many(xs.data(), xs.size(), got.data());
    for (std::size_t i = 0; i < xs.size(); ++i) ASSERT_EQ(got[i], cb.quantize(xs[i])) << xs[i];
  }
}
