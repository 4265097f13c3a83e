#include "engine/store.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "engine/codebook.h"
#include "engine/error_bound.h"
#include "engine/invariant.h"
#include "engine/pool.h"
#include "engine/quantizer.h"
#include "engine/ranking.h"
#include "engine/rotation.h"
#include "engine/top_k.h"

namespace velmora {

CompressedVectorStore::CompressedVectorStore(std::size_t dim, std::uint8_t bits, bool keep_error_bounds)
    : dim_(dim), bits_(bits), codes_(dim, bits), keeps_error_bounds_(keep_error_bounds) {}

Result<CompressedVectorStore> CompressedVectorStore::create(std::uint64_t dim, std::uint8_t bits,
                                                            bool keep_error_bounds) {
  // A first store of a (dim, bits) pair builds a rotation and a codebook; the
  // codebook's sampling is serial, so it runs beside the rotation's build,
  // once the rotation has shown that this dimension fits in memory.
  std::optional<SamplePrefetch> prefetch;
  const bool valid_bits = bits >= 2 && bits <= 4;
  {
    Result<RotationHandle> rotation = get_rotation(dim, [&] {
      if (valid_bits && !codebook_cached(dim, bits)) prefetch.emplace(dim);
    });
    if (!rotation) return std::move(rotation).error();
  }
  if (prefetch) prefetch->wait();
  {
    Result<CodebookHandle> codebook = get_codebook(dim, bits);
    if (!codebook) return std::move(codebook).error();
  }
  return CompressedVectorStore(static_cast<std::size_t>(dim), bits, keep_error_bounds);
}

std::uint64_t CompressedVectorStore::bytes_per_vector() const {
  return static_cast<std::uint64_t>(packed_len(dim_, bits_)) + 4 + (keeps_error_bounds_ ? 2 : 0);
}

std::uint64_t CompressedVectorStore::memory_bytes() const {
  std::uint64_t bytes = bytes_per_vector() * static_cast<std::uint64_t>(size());
  if (lists_) {
    // The centroids, 16 bytes of bookkeeping per list and 4 per block.
    const std::uint64_t lists = lists_->list_count();
    bytes += lists * dim_ * sizeof(float) + 16 * lists + 4 * static_cast<std::uint64_t>(lists_->block_count());
  }
  return bytes;
}

std::string CompressedVectorStore::repr() const {
  // printf rounds the exact binary value to the nearest tenth, ties to even.
  char kb[64];
  std::snprintf(kb, sizeof kb, "%.1f", static_cast<double>(memory_bytes()) / 1024.0);
  return "CompressedVectorStore(dim=" + std::to_string(dim_) + ", bits=" + std::to_string(bits_) +
         ", n=" + std::to_string(size()) + ", memory=" + kb + "KB)";
}

std::uint64_t CompressedVectorStore::id_at(std::size_t position) const {
  VELMORA_CHECK(position < position_count(), "id_at: position out of range");
  return ids_[position];
}

EncodedVector CompressedVectorStore::entry_at(std::size_t position) const {
  VELMORA_CHECK(position < position_count(), "entry_at: position out of range");
  std::vector<std::uint8_t> indices(dim_);
  codes_.indices(position, indices.data());
  EncodedVector e;
  e.codes = pack_indices(indices.data(), dim_, bits_);
  e.norm = norms_[position];
  return e;
}

void CompressedVectorStore::upsert_entry(std::uint64_t id, const std::uint8_t* indices, float norm,
                                         std::uint16_t error_bound, std::uint32_t list) {
  error_bound = stored_error_bound(error_bound, norm);
  const std::size_t found = index_.find(id, ids_.data());
  if (lists_) {
    if (found != IdIndex::npos && lists_->list_of(found) == list) {
      codes_.assign(found, indices);
      norms_[found] = norm;
      if (keeps_error_bounds_) error_bounds_[found] = error_bound;
      max_norm_ = std::max(max_norm_, norm);
      return;
    }
    if (found != IdIndex::npos) remove_at(found);  // it moves to another list
    const std::size_t p = lists_->append(list);
    if (p >= position_count()) fit_to_blocks();
    codes_.assign(p, indices);
    norms_[p] = norm;
    if (keeps_error_bounds_) error_bounds_[p] = error_bound;
    ids_[p] = id;
    index_.insert(id, p, ids_.data());
    max_norm_ = std::max(max_norm_, norm);
    return;
  }
  if (found != IdIndex::npos) {
    VELMORA_CHECK(found < size(), "upsert_entry: indexed position out of range");
    codes_.assign(found, indices);
    norms_[found] = norm;
    if (keeps_error_bounds_) error_bounds_[found] = error_bound;
    max_norm_ = std::max(max_norm_, norm);
    return;
  }
  const std::size_t p = size();
  // Everything that may allocate happens before the first change, and each
  // append either completes or leaves its container as it was.
  index_.reserve_to_append(p + 1, ids_.data());
  ids_.reserve_to_append(p + 1);
  norms_.reserve_to_append(p + 1);
  if (keeps_error_bounds_) error_bounds_.reserve_to_append(p + 1);
  codes_.reserve(p + 1, true);
  codes_.push_back(indices);
  norms_.push_back(norm);
  if (keeps_error_bounds_) error_bounds_.push_back(error_bound);
  ids_.push_back(id);
  index_.insert(id, p, ids_.data());
  max_norm_ = std::max(max_norm_, norm);
}

Status CompressedVectorStore::insert(std::uint64_t id, FloatView vector) {
  if (vector.size != dim_) return StoreError::dimension_mismatch(dim_, vector.size);
  Result<Quantizer> quantizer = get_quantizer(dim_, bits_);
  if (!quantizer) return std::move(quantizer).error();
  std::vector<float> scratch(2 * dim_);
  std::vector<std::uint8_t> indices(dim_);
  float norm;
  const Codebook& codebook = *quantizer.value().codebook;
  if (!encode_indices(vector.data, *quantizer.value().rotation, codebook, indices.data(), &norm, scratch.data())) {
    return StoreError::internal(kDegenerateNormText);
  }
  // encode_indices leaves the rotated unit vector in the scratch's second half.
  const std::uint16_t error_bound =
      keeps_error_bounds_ ? residual_code(scratch.data() + dim_, indices.data(), codebook.centroids.data(), dim_)
                          : kUnknownErrorBound;
  upsert_entry(id, indices.data(), norm, error_bound);
  return ok_status();
}

void CompressedVectorStore::move_record(std::size_t from, std::size_t to) {
  index_.move(ids_[from], to, ids_.data());
  ids_[to] = ids_[from];
  norms_[to] = norms_[from];
  if (keeps_error_bounds_) error_bounds_[to] = error_bounds_[from];
  codes_.copy(from, to);
}

void CompressedVectorStore::remove_at(std::size_t p) {
  // The list's last record fills the gap, and its lane is cleared.
  const std::uint32_t list = lists_->list_of(p);
  const std::size_t last = lists_->last_position(list);
  index_.erase(ids_[p], ids_.data());
  if (p != last) move_record(last, p);
  codes_.clear(last);
  norms_[last] = 1.0f;
  if (keeps_error_bounds_) error_bounds_[last] = 0;
  lists_->pop(list);
}

void CompressedVectorStore::reserve_blocks(std::size_t blocks) {
  const std::size_t positions = blocks * kBlockLanes;
  ids_.reserve(positions);
  norms_.reserve(positions);
  if (keeps_error_bounds_) error_bounds_.reserve(positions);
  codes_.reserve(positions);
}

void CompressedVectorStore::fit_to_blocks() {
  const std::size_t positions = lists_->block_count() * kBlockLanes;
  ids_.resize(positions, 0);
  norms_.resize(positions, 1.0f);
  if (keeps_error_bounds_) error_bounds_.resize(positions, 0);
  codes_.grow(positions);
}

bool CompressedVectorStore::remove(std::uint64_t id) {
  const std::size_t p = index_.find(id, ids_.data());
  if (p == IdIndex::npos) return false;
  if (lists_) {
    remove_at(p);
    return true;
  }
  const std::size_t last = size() - 1;
  VELMORA_CHECK(p <= last, "remove: indexed position out of range");
  // The index reads ids while it reorganises, so it changes before the ids.
  index_.erase(id, ids_.data());
  if (p != last) {
    index_.move(ids_[last], p, ids_.data());
    ids_[p] = ids_[last];
    norms_[p] = norms_[last];
    if (keeps_error_bounds_) error_bounds_[p] = error_bounds_[last];
  }
  codes_.move_last_to(p);
  ids_.pop_back();
  norms_.pop_back();
  if (keeps_error_bounds_) error_bounds_.pop_back();
  return true;
}

Status CompressedVectorStore::insert_batch(const PreparedPairs& pairs) {
  const std::size_t n = pairs.size();
  if (n == 0) return ok_status();
  for (std::size_t i = 0; i < n; ++i) {
    if (pairs.vector(i).size != dim_) return StoreError::dimension_mismatch(dim_, pairs.vector(i).size);
  }
  Result<Quantizer> quantizer = get_quantizer(dim_, bits_);
  if (!quantizer) return std::move(quantizer).error();
  const Rotation& rot = *quantizer.value().rotation;
  const Codebook& cb = *quantizer.value().codebook;

  PageArray<std::uint8_t> indices;
  PageArray<float> norms;
  PageArray<std::uint16_t> error_bounds;
  indices.resize(n * dim_);
  norms.resize(n);
  if (keeps_error_bounds_) error_bounds.resize(n);
  // Every failure is the same degenerate-norm error, so workers only raise a
  // flag that stops the others.
  std::atomic<bool> stop{false};
#ifdef VELMORA_TEST_HOOKS
  const bool force_worker_panic = std::getenv("VELMORA_FORCE_WORKER_PANIC") != nullptr;
#endif
  parallel_for(n, [&](std::size_t begin, std::size_t end) {
    // Chunks small enough for their rotated rows to stay in cache.
    constexpr std::size_t kChunk = 32;
    const float* vectors[kChunk];
    for (std::size_t first = begin; first < end; first += kChunk) {
      if (stop.load(std::memory_order_relaxed)) return;
#ifdef VELMORA_TEST_HOOKS
      VELMORA_CHECK(!force_worker_panic, "forced failure in a worker thread");
#endif
      const std::size_t count = std::min(kChunk, end - first);
      for (std::size_t c = 0; c < count; ++c) vectors[c] = pairs.vector(first + c).data;
      std::uint16_t* bounds = keeps_error_bounds_ ? error_bounds.data() + first : nullptr;
      if (encode_batch(vectors, count, rot, cb, indices.data() + first * dim_, norms.data() + first, bounds) < count) {
        stop.store(true, std::memory_order_relaxed);
        return;
      }
    }
  });
  if (stop.load()) return StoreError::internal(kDegenerateNormText);

  PageArray<std::uint64_t> ids;
  ids.resize(n);
  for (std::size_t i = 0; i < n; ++i) ids[i] = pairs.id(i);
  upsert_encoded(ids.data(), indices.data(), norms.data(), n, keeps_error_bounds_ ? error_bounds.data() : nullptr);
  return ok_status();
}

Result<StoredEntries> CompressedVectorStore::prepare_scoring(FloatView vector, QueryLut& lut) const {
  if (size() == 0) return StoreError::empty_store();
  if (vector.size != dim_) return StoreError::dimension_mismatch(dim_, vector.size);
  Result<QueryLut> prepared = prepare_query(vector, dim_, bits_);
  if (!prepared) return std::move(prepared).error();
  lut = std::move(prepared).value();
#ifdef VELMORA_TEST_HOOKS
  if (std::getenv("VELMORA_FORCE_WORKER_PANIC") != nullptr) {
    parallel_for(size(), [](std::size_t, std::size_t) { VELMORA_CHECK(false, "forced failure in a worker thread"); });
  }
#endif
  return stored_entries();
}

Result<std::vector<ScoredPair>> CompressedVectorStore::query(FloatView vector, std::uint64_t top_k,
                                                             TopKStats* stats) const {
  QueryLut lut;
  Result<StoredEntries> prepared = prepare_scoring(vector, lut);
  if (!prepared) return std::move(prepared).error();
  const StoredEntries& entries = prepared.value();
  const std::size_t n = entries.count;
  const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(top_k, n));
  if (k == 0) return std::vector<ScoredPair>();

  if (k * 8 > n) {
    // Most entries are kept anyway: rank them all.
    if (stats != nullptr) *stats = {false, n};
    const std::vector<float> scores = score_positions(lut, entries);
    const std::vector<std::size_t> order = rank_by_score(scores.data(), n);
    std::vector<ScoredPair> pairs(k);
    for (std::size_t i = 0; i < k; ++i) pairs[i] = {entries.ids[order[i]], scores[order[i]]};
    return pairs;
  }
  const std::vector<Candidate> best = search_top_k(lut, entries, k, max_norm_, active_kernels(bits_), 0, stats);
  std::vector<ScoredPair> pairs(best.size());
  for (std::size_t i = 0; i < best.size(); ++i) pairs[i] = {entries.ids[best[i].position], best[i].score};
  return pairs;
}

Result<std::vector<ScoredPair>> CompressedVectorStore::query_all(FloatView vector) const {
  QueryLut lut;
  Result<StoredEntries> prepared = prepare_scoring(vector, lut);
  if (!prepared) return std::move(prepared).error();
  const StoredEntries& entries = prepared.value();
  const std::vector<float> scores = score_positions(lut, entries);
  const std::vector<std::size_t> order = rank_by_score(scores.data(), entries.count);
  std::vector<ScoredPair> pairs(entries.count);
  for (std::size_t i = 0; i < entries.count; ++i) pairs[i] = {entries.ids[order[i]], scores[order[i]]};
  return pairs;
}

}  // namespace velmora
