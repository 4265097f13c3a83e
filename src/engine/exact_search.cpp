#include "engine/exact_search.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/batch_search.h"
#include "engine/error_bound.h"
#include "engine/invariant.h"
#include "engine/pool.h"
#include "engine/rotation.h"

namespace velmora {

namespace {

// Queries whose tables are prepared at once, as in search_batch.
constexpr std::size_t kBatchQueries = 64;

}  // namespace

std::vector<ExactCandidatesOf> exact_candidates(const CompressedVectorStore& store, const float* queries,
                                                std::size_t m, std::size_t k, const PositionSet* allowed) {
  VELMORA_CHECK(store.keeps_error_bounds() && store.unknown_error_bounds() == 0,
                "exact_candidates: the store lacks error bounds");
  const StoredEntries entries = store.stored_entries();
  std::vector<ExactCandidatesOf> out(m);
  const std::size_t dim = store.dim();
  for (std::size_t q0 = 0; q0 < m; q0 += kBatchQueries) {
    const std::size_t count = std::min(kBatchQueries, m - q0);
    const std::vector<QueryLut> luts = prepare_all(store, queries + q0 * dim, count);
    const std::vector<std::vector<Candidate>> sums = exact_candidate_sums(store, luts, k, allowed);
    parallel_for(count, [&](std::size_t begin, std::size_t end) {
      for (std::size_t q = begin; q < end; ++q) {
        const CosineUpperBound bound(luts[q]);
        struct Bounded {
          std::size_t position;
          double lower, upper;
        };
        std::vector<Bounded> found;
        found.reserve(sums[q].size());
        for (const Candidate& c : sums[q]) {
          const std::uint16_t code = entries.error_bounds[c.position];
          found.push_back({c.position, bound.below(c.score, code), bound.at(c.score, code)});
        }
        const std::size_t first = std::min(k, found.size());
        std::partial_sort(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(first), found.end(),
                          [](const Bounded& a, const Bounded& b) {
                            return a.lower != b.lower ? a.lower > b.lower : a.position < b.position;
                          });
        ExactCandidatesOf& result = out[q0 + q];
        for (std::size_t i = 0; i < first; ++i) {
          result.first.push_back(found[i].position);
          result.first_lower.push_back(found[i].lower);
          result.first_upper.push_back(found[i].upper);
        }
        const double kth_lower =
            k > 0 && first == k ? found[k - 1].lower : -std::numeric_limits<double>::infinity();
        for (std::size_t i = first; i < found.size(); ++i) {
          if (found[i].upper >= kth_lower) {
            result.others.push_back(found[i].position);
            result.others_upper.push_back(found[i].upper);
          }
        }
      }
    });
  }
  return out;
}

double exact_norm(const double* v, std::size_t dim) { return std::sqrt(dot8(v, v, dim)); }

double exact_cosine(const double* q, double q_norm, const double* x, double x_norm, std::size_t dim) {
  return dot8(q, x, dim) / (x_norm * q_norm);
}

}  // namespace velmora
