// The store's bulk entry points for array-based callers: lookups by id,
// read access to every entry, upserts of records encoded elsewhere, and
// building a store from whole arrays (a loaded file).
#include <algorithm>

#include "engine/invariant.h"
#include "engine/store.h"

namespace velmora {

std::size_t CompressedVectorStore::position_of(std::uint64_t id) const {
  return index_.find(id, ids_.data());
}

StoredEntries CompressedVectorStore::stored_entries() const {
  StoredEntries entries;
  entries.ids = ids_.data();
  entries.norms = norms_.data();
  entries.codes = &codes_;
  entries.count = size();
  return entries;
}

void CompressedVectorStore::upsert_encoded(const std::uint64_t* ids, const std::uint8_t* indices,
                                           const float* norms, std::size_t n) {
  // Make room for every new id first, so that applying cannot fail half-way.
  // (A repeated new id is counted twice: the reservation is only an upper bound.)
  std::size_t new_ids = 0;
  for (std::size_t i = 0; i < n; ++i) new_ids += index_.find(ids[i], ids_.data()) == IdIndex::npos;
  const std::size_t final_size = size() + new_ids;
  index_.reserve(final_size, ids_.data());
  ids_.reserve(final_size);
  norms_.reserve(final_size);
  codes_.reserve(final_size);
  for (std::size_t i = 0; i < n; ++i) upsert_entry(ids[i], indices + i * dim_, norms[i]);
}

std::optional<CompressedVectorStore> CompressedVectorStore::from_arrays(PageArray<std::uint64_t>&& ids,
                                                                        PageArray<float>&& norms,
                                                                        BlockedCodes&& codes,
                                                                        std::uint64_t* repeated) {
  const std::size_t n = ids.size();
  VELMORA_CHECK(norms.size() == n && codes.size() == n, "from_arrays: arrays of different lengths");
  CompressedVectorStore store(codes.dim(), codes.bits());
  const std::size_t again = store.index_.build(ids.data(), n);
  if (again != IdIndex::npos) {
    *repeated = ids[again];
    return std::nullopt;
  }
  store.ids_ = std::move(ids);
  store.norms_ = std::move(norms);
  store.codes_ = std::move(codes);
  for (std::size_t p = 0; p < n; ++p) store.max_norm_ = std::max(store.max_norm_, store.norms_[p]);
  return store;
}

}  // namespace velmora
