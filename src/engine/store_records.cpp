// The store's bulk entry points for array-based callers: lookups by id,
// read access to every entry, upserts of records encoded elsewhere, and
// building a store from whole arrays (a loaded file).
#include <algorithm>

#include "engine/error_bound.h"
#include "engine/invariant.h"
#include "engine/store.h"

namespace velmora {

std::size_t CompressedVectorStore::position_of(std::uint64_t id) const { return index_.find(id, ids_.data()); }

StoredEntries CompressedVectorStore::stored_entries() const {
  StoredEntries entries;
  entries.ids = ids_.data();
  entries.norms = norms_.data();
  entries.codes = &codes_;
  entries.error_bounds = keeps_error_bounds_ ? error_bounds_.data() : nullptr;
  entries.count = size();
  return entries;
}

void CompressedVectorStore::upsert_encoded(const std::uint64_t* ids, const std::uint8_t* indices, const float* norms,
                                           std::size_t n, const std::uint16_t* error_bounds) {
  // Make room for every new id first, so that applying cannot fail half-way.
  // (A repeated new id is counted twice: the reservation is only an upper bound.)
  std::size_t new_ids = 0;
  for (std::size_t i = 0; i < n; ++i) new_ids += index_.find(ids[i], ids_.data()) == IdIndex::npos;
  const std::size_t final_size = size() + new_ids;
  index_.reserve(final_size, ids_.data());
  ids_.reserve(final_size);
  norms_.reserve(final_size);
  if (keeps_error_bounds_) error_bounds_.reserve(final_size);
  codes_.reserve(final_size);
  for (std::size_t i = 0; i < n; ++i) {
    upsert_entry(ids[i], indices + i * dim_, norms[i], error_bounds != nullptr ? error_bounds[i] : kUnknownErrorBound);
  }
  // What encoding the batch freed stays out of the store's resident memory.
  constexpr std::size_t kLargeBatch = 4096;
  if (n >= kLargeBatch) release_free_heap();
}

std::optional<CompressedVectorStore> CompressedVectorStore::from_arrays(
    PageArray<std::uint64_t>&& ids, PageArray<float>&& norms, BlockedCodes&& codes,
    std::optional<PageArray<std::uint16_t>>&& error_bounds, std::uint64_t* repeated) {
  const std::size_t n = ids.size();
  VELMORA_CHECK(norms.size() == n && codes.size() == n && (!error_bounds || error_bounds->size() == n),
                "from_arrays: arrays of different lengths");
  CompressedVectorStore store(codes.dim(), codes.bits(), error_bounds.has_value());
  const std::size_t again = store.index_.build(ids.data(), n);
  if (again != IdIndex::npos) {
    *repeated = ids[again];
    return std::nullopt;
  }
  store.ids_ = std::move(ids);
  store.norms_ = std::move(norms);
  store.codes_ = std::move(codes);
  if (error_bounds) store.error_bounds_ = std::move(*error_bounds);
  for (std::size_t p = 0; p < n; ++p) {
    store.max_norm_ = std::max(store.max_norm_, store.norms_[p]);
    // Files written before tiny norms were left unbounded may hold bounds
    // that do not cover them.
    if (error_bounds) store.error_bounds_[p] = stored_error_bound(store.error_bounds_[p], store.norms_[p]);
  }
  return store;
}

std::size_t CompressedVectorStore::unknown_error_bounds() const {
  if (!keeps_error_bounds_) return size();
  std::size_t unknown = 0;
  for (std::size_t p = 0; p < size(); ++p) unknown += error_bounds_[p] == kUnknownErrorBound;
  return unknown;
}

}  // namespace velmora
