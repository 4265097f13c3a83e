// The store's bulk entry points for array-based callers: lookups by id,
// read access to every entry, upserts of records encoded elsewhere, and
// building a store from whole arrays (a loaded file).
#include <algorithm>

#include "engine/error_bound.h"
#include "engine/invariant.h"
#include "engine/partition.h"
#include "engine/pool.h"
#include "engine/quantizer.h"
#include "engine/store.h"

namespace velmora {

std::size_t CompressedVectorStore::position_of(std::uint64_t id) const { return index_.find(id, ids_.data()); }

StoredEntries CompressedVectorStore::stored_entries() const {
  StoredEntries entries;
  entries.ids = ids_.data();
  entries.norms = norms_.data();
  entries.codes = &codes_;
  entries.error_bounds = keeps_error_bounds_ ? error_bounds_.data() : nullptr;
  entries.count = position_count();
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
  std::vector<std::uint32_t> lists;
  if (lists_) {
    // Each record's list first; every one may need room in it.
    lists = nearest_lists(*lists_, get_quantizer(dim_, bits_).value().codebook->centroids, indices, n);
    std::vector<std::size_t> added(lists_->list_count(), 0);
    for (std::uint32_t list : lists) ++added[list];
    reserve_blocks(lists_->blocks_for(added));
  } else {
    ids_.reserve(final_size);
    norms_.reserve(final_size);
    if (keeps_error_bounds_) error_bounds_.reserve(final_size);
    codes_.reserve(final_size);
  }
  // How far along its list's centroid each record reaches, for the exact search's list bounds.
  std::vector<double> reaches(lists_ ? n : 0);
  if (lists_) {
    const std::vector<float>& levels = get_quantizer(dim_, bits_).value().codebook->centroids;
    parallel_for(n, [&](std::size_t begin, std::size_t end) {
      for (std::size_t i = begin; i < end; ++i) {
        const std::uint16_t code = error_bounds != nullptr ? error_bounds[i] : kUnknownErrorBound;
        reaches[i] = record_reach(lists_->centroids().data() + lists[i] * dim_, levels, indices + i * dim_, dim_,
                                  stored_error_bound(code, norms[i]));
      }
    });
  }
  for (std::size_t i = 0; i < n; ++i) {
    upsert_entry(ids[i], indices + i * dim_, norms[i], error_bounds != nullptr ? error_bounds[i] : kUnknownErrorBound,
                 lists_ ? lists[i] : 0);
    if (lists_) lists_->lower_reach(lists[i], reaches[i]);
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
  if (lists_) {
    for (std::size_t p : lists_->positions()) unknown += error_bounds_[p] == kUnknownErrorBound;
    return unknown;
  }
  // One contiguous array: a loop the compiler vectorises (an exact query counts twice).
  const std::uint16_t* bounds = error_bounds_.data();
  for (std::size_t p = 0; p < size(); ++p) unknown += bounds[p] == kUnknownErrorBound;
  return unknown;
}

RecordView CompressedVectorStore::record_view() const {
  RecordView view = whole_view(dim_, bits_, max_norm_, stored_entries());
  if (lists_) view.runs = lists_->all_runs();
  return view;
}

RecordView CompressedVectorStore::lists_view(const std::uint32_t* lists, std::size_t count) const {
  VELMORA_CHECK(lists_ != nullptr, "lists_view: the store is flat");
  RecordView view = whole_view(dim_, bits_, max_norm_, stored_entries());
  view.runs = lists_->runs(lists, count);
  return view;
}

std::vector<std::size_t> CompressedVectorStore::record_positions() const {
  if (lists_) return lists_->positions();
  std::vector<std::size_t> out(size());
  for (std::size_t p = 0; p < out.size(); ++p) out[p] = p;
  return out;
}

void CompressedVectorStore::arrange_in_lists(std::size_t list_count, std::vector<float> centroids,
                                             const std::vector<std::uint32_t>& list_of, std::uint32_t default_probes) {
  const std::vector<std::size_t> from = record_positions();
  const std::size_t n = from.size();
  VELMORA_CHECK(list_of.size() == n && list_count >= 1, "arrange_in_lists: one list per record is needed");
  std::vector<std::size_t> sizes(list_count, 0);
  for (std::uint32_t list : list_of) {
    VELMORA_CHECK(list < list_count, "arrange_in_lists: list out of range");
    ++sizes[list];
  }
  auto layout = std::make_unique<ListLayout>(dim_, std::move(centroids), sizes, default_probes);
  // List l's records fill its blocks, which follow those of the lists before it.
  std::vector<std::size_t> next(list_count);
  for (std::size_t l = 0, block = 0; l < list_count; ++l) {
    next[l] = block * kBlockLanes;
    block += (sizes[l] + kBlockLanes - 1) / kBlockLanes;
  }
  std::vector<std::size_t> to(n);
  for (std::size_t r = 0; r < n; ++r) to[r] = next[list_of[r]]++;
  const std::size_t positions = layout->block_count() * kBlockLanes;
  PageArray<std::uint64_t> ids;
  PageArray<float> norms;
  PageArray<std::uint16_t> bounds;
  BlockedCodes codes(dim_, bits_);
  ids.resize(positions, 0);
  norms.resize(positions, 1.0f);
  if (keeps_error_bounds_) bounds.resize(positions, 0);
  codes.grow(positions);
  // Records by their new position's block, so that no two threads write one block.
  std::vector<std::size_t> order(n);
  for (std::size_t r = 0; r < n; ++r) order[r] = r;
  std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return to[a] < to[b]; });
  const std::size_t blocks = layout->block_count();
  std::vector<std::size_t> sorted_to(n);
  for (std::size_t i = 0; i < n; ++i) sorted_to[i] = to[order[i]];
  std::vector<std::size_t> block_start(blocks + 1);
  for (std::size_t b = 0; b <= blocks; ++b) {
    block_start[b] = static_cast<std::size_t>(std::lower_bound(sorted_to.begin(), sorted_to.end(), b * kBlockLanes) -
                                              sorted_to.begin());
  }
  const std::vector<float>& levels = get_quantizer(dim_, bits_).value().codebook->centroids;
  std::vector<double> reaches(n);
  parallel_for(blocks, [&](std::size_t b0, std::size_t b1) {
    std::vector<std::uint8_t> indices(dim_);
    for (std::size_t i = block_start[b0]; i < block_start[b1]; ++i) {
      const std::size_t r = order[i], source = from[r], target = to[r];
      ids[target] = ids_[source];
      norms[target] = norms_[source];
      if (keeps_error_bounds_) bounds[target] = error_bounds_[source];
      codes_.indices(source, indices.data());
      codes.assign(target, indices.data());
      reaches[r] = record_reach(layout->centroids().data() + list_of[r] * dim_, levels, indices.data(), dim_,
                                keeps_error_bounds_ ? error_bounds_[source] : kUnknownErrorBound);
    }
  });
  for (std::size_t r = 0; r < n; ++r) layout->lower_reach(list_of[r], reaches[r]);
  IdIndex index;
  index.reserve(n, ids.data());
  for (std::size_t r = 0; r < n; ++r) index.insert(ids[to[r]], to[r], ids.data());
  ids_.swap(ids);
  norms_.swap(norms);
  if (keeps_error_bounds_) error_bounds_.swap(bounds);
  codes_ = std::move(codes);
  index_ = std::move(index);
  lists_ = std::move(layout);
}

}  // namespace velmora
