#include "store.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>

#include "codebook.h"
#include "invariant.h"
#include "pool.h"
#include "rotation.h"

namespace velmora {

namespace {

// Best first. A strict weak ordering even with NaN scores, which rank after
// every number (they compare neither greater nor smaller than anything).
bool ranks_before(const ScoredPair& a, const ScoredPair& b) {
  if (std::isnan(a.score)) return false;
  return std::isnan(b.score) || a.score > b.score;
}

}  // namespace

CompressedVectorStore::CompressedVectorStore(std::size_t dim, std::uint8_t bits)
    : dim_(dim), bits_(bits), code_bytes_(packed_len(dim, bits)) {}

Result<CompressedVectorStore> CompressedVectorStore::create(std::uint64_t dim, std::uint8_t bits) {
  {
    Result<RotationHandle> rotation = get_rotation(dim);
    if (!rotation) return std::move(rotation).error();
  }
  {
    Result<CodebookHandle> codebook = get_codebook(dim, bits);
    if (!codebook) return std::move(codebook).error();
  }
  return CompressedVectorStore(static_cast<std::size_t>(dim), bits);
}

std::uint64_t CompressedVectorStore::bytes_per_vector() const {
  return static_cast<std::uint64_t>(code_bytes_) + 4;
}

std::uint64_t CompressedVectorStore::memory_bytes() const {
  return bytes_per_vector() * static_cast<std::uint64_t>(size());
}

std::string CompressedVectorStore::repr() const {
  // printf rounds the exact binary value to the nearest tenth, ties to even.
  char kb[64];
  std::snprintf(kb, sizeof kb, "%.1f", static_cast<double>(memory_bytes()) / 1024.0);
  return "CompressedVectorStore(dim=" + std::to_string(dim_) + ", bits=" + std::to_string(bits_) +
         ", n=" + std::to_string(size()) + ", memory=" + kb + "KB)";
}

std::uint64_t CompressedVectorStore::id_at(std::size_t position) const {
  VELMORA_CHECK(position < size(), "id_at: position out of range");
  return ids_[position];
}

EncodedVector CompressedVectorStore::entry_at(std::size_t position) const {
  VELMORA_CHECK(position < size(), "entry_at: position out of range");
  EncodedVector e;
  const std::uint8_t* codes = codes_.data() + position * code_bytes_;
  e.codes.assign(codes, codes + code_bytes_);
  e.norm = norms_[position];
  return e;
}

void CompressedVectorStore::upsert_entry(std::uint64_t id, const std::uint8_t* codes, float norm) {
  auto found = id_to_index_.find(id);
  if (found != id_to_index_.end()) {
    const std::size_t p = found->second;
    VELMORA_CHECK(p < size(), "upsert_entry: indexed position out of range");
    std::memcpy(codes_.data() + p * code_bytes_, codes, code_bytes_);
    norms_[p] = norm;
    return;
  }
  const std::size_t p = size();
  // Each step either completes or leaves its container as it was, so an
  // allocation failure part-way is rolled back to the previous state.
  codes_.insert(codes_.end(), codes, codes + code_bytes_);
  try {
    norms_.push_back(norm);
    try {
      ids_.push_back(id);
      try {
        id_to_index_.emplace(id, p);
      } catch (...) {
        ids_.pop_back();
        throw;
      }
    } catch (...) {
      norms_.pop_back();
      throw;
    }
  } catch (...) {
    codes_.resize(p * code_bytes_);
    throw;
  }
}

Status CompressedVectorStore::insert(std::uint64_t id, FloatView vector) {
  if (vector.size != dim_) return StoreError::dimension_mismatch(dim_, vector.size);
  Result<RotationHandle> rotation = get_rotation(dim_);
  if (!rotation) return std::move(rotation).error();
  Result<CodebookHandle> codebook = get_codebook(dim_, bits_);
  if (!codebook) return std::move(codebook).error();
  Result<EncodedVector> encoded =
      encode_vector(vector.data, vector.size, *rotation.value(), *codebook.value(), bits_);
  if (!encoded) return std::move(encoded).error();
  upsert_entry(id, encoded.value().codes.data(), encoded.value().norm);
  return ok_status();
}

bool CompressedVectorStore::remove(std::uint64_t id) {
  auto found = id_to_index_.find(id);
  if (found == id_to_index_.end()) return false;
  const std::size_t p = found->second;
  const std::size_t last = size() - 1;
  VELMORA_CHECK(p <= last, "remove: indexed position out of range");
  if (p != last) {
    const std::uint64_t moved_id = ids_[last];
    auto moved = id_to_index_.find(moved_id);
    VELMORA_CHECK(moved != id_to_index_.end(), "remove: moved entry missing from the id index");
    ids_[p] = moved_id;
    norms_[p] = norms_[last];
    std::memcpy(codes_.data() + p * code_bytes_, codes_.data() + last * code_bytes_, code_bytes_);
    moved->second = p;
  }
  ids_.pop_back();
  norms_.pop_back();
  codes_.resize(last * code_bytes_);
  id_to_index_.erase(found);
  return true;
}

Status CompressedVectorStore::insert_batch(const std::vector<PreparedPair>& pairs) {
  const std::size_t n = pairs.size();
  if (n == 0) return ok_status();
  for (const PreparedPair& pair : pairs) {
    if (pair.vector.size() != dim_) return StoreError::dimension_mismatch(dim_, pair.vector.size());
  }
  Result<RotationHandle> rotation = get_rotation(dim_);
  if (!rotation) return std::move(rotation).error();
  Result<CodebookHandle> codebook = get_codebook(dim_, bits_);
  if (!codebook) return std::move(codebook).error();
  const Rotation& rot = *rotation.value();
  const Codebook& cb = *codebook.value();

  std::vector<std::uint8_t> codes(n * code_bytes_);
  std::vector<float> norms(n);
  std::mutex error_mutex;
  std::optional<StoreError> error_slot;
  std::atomic<bool> stop{false};
#ifdef VELMORA_TEST_HOOKS
  const bool force_worker_panic = std::getenv("VELMORA_FORCE_WORKER_PANIC") != nullptr;
#endif
  parallel_for(n, [&](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
      if (stop.load(std::memory_order_relaxed)) return;
#ifdef VELMORA_TEST_HOOKS
      VELMORA_CHECK(!force_worker_panic, "forced failure in a worker thread");
#endif
      Result<EncodedVector> encoded = encode_vector(pairs[i].vector.data(), dim_, rot, cb, bits_);
      if (!encoded) {
        // The slot is only ever tried, never waited for; a lost try still
        // fails the batch through the stop flag.
        if (error_mutex.try_lock()) {
          if (!error_slot) error_slot = std::move(encoded).error();
          error_mutex.unlock();
        }
        stop.store(true, std::memory_order_relaxed);
        return;
      }
      std::memcpy(codes.data() + i * code_bytes_, encoded.value().codes.data(), code_bytes_);
      norms[i] = encoded.value().norm;
    }
  });
  if (stop.load()) {
    if (error_slot) return std::move(*error_slot);
    return StoreError::internal(kDegenerateNormText);
  }

  // Make room for every new id first, so that applying cannot fail half-way.
  std::size_t new_ids = 0;
  for (const PreparedPair& pair : pairs) new_ids += id_to_index_.count(pair.id) == 0;
  ids_.reserve(size() + new_ids);
  norms_.reserve(size() + new_ids);
  codes_.reserve((size() + new_ids) * code_bytes_);
  id_to_index_.reserve(size() + new_ids);
  for (std::size_t i = 0; i < n; ++i) upsert_entry(pairs[i].id, codes.data() + i * code_bytes_, norms[i]);
  return ok_status();
}

Result<std::vector<ScoredPair>> CompressedVectorStore::score_entries(FloatView vector) const {
  if (size() == 0) return StoreError::empty_store();
  if (vector.size != dim_) return StoreError::dimension_mismatch(dim_, vector.size);
  Result<QueryLut> lut = prepare_query(vector, dim_, bits_);
  if (!lut) return std::move(lut).error();
  EntriesView entries;
  entries.ids = ids_.data();
  entries.norms = norms_.data();
  entries.codes = codes_.data();
  entries.code_bytes = code_bytes_;
  entries.count = size();
#ifdef VELMORA_TEST_HOOKS
  if (std::getenv("VELMORA_FORCE_WORKER_PANIC") != nullptr) {
    parallel_for(entries.count, [](std::size_t, std::size_t) {
      VELMORA_CHECK(false, "forced failure in a worker thread");
    });
  }
#endif
  return score_all(lut.value(), entries);
}

Result<std::vector<ScoredPair>> CompressedVectorStore::query(FloatView vector, std::uint64_t top_k) const {
  Result<std::vector<ScoredPair>> scored = score_entries(vector);
  if (!scored) return scored;
  std::vector<ScoredPair>& pairs = scored.value();
  const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(top_k, pairs.size()));
  if (k == 0) {
    pairs.clear();
  } else if (k == 1) {
    // The earliest among equal best scores.
    std::size_t best = 0;
    for (std::size_t p = 1; p < pairs.size(); ++p) {
      if (ranks_before(pairs[p], pairs[best])) best = p;
    }
    pairs[0] = pairs[best];
    pairs.resize(1);
  } else {
    if (k < pairs.size()) {
      std::nth_element(pairs.begin(), pairs.begin() + static_cast<std::ptrdiff_t>(k - 1), pairs.end(),
                       ranks_before);
      pairs.resize(k);
    }
    std::sort(pairs.begin(), pairs.end(), ranks_before);
  }
  return scored;
}

Result<std::vector<ScoredPair>> CompressedVectorStore::query_all(FloatView vector) const {
  Result<std::vector<ScoredPair>> scored = score_entries(vector);
  if (scored) std::sort(scored.value().begin(), scored.value().end(), ranks_before);
  return scored;
}

}  // namespace velmora
