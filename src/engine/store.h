// One compressed vector store: encoded entries under u64 ids, in position
// order, with an id index. Operations validate, then compute, then mutate, so
// a failing call leaves the store exactly as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/code_layout.h"
#include "engine/encode.h"
#include "engine/id_index.h"
#include "engine/list_layout.h"
#include "engine/page_array.h"
#include "engine/ranking.h"
#include "engine/record_view.h"
#include "engine/similarity.h"
#include "engine/store_error.h"
#include "engine/top_k.h"

namespace velmora {

// The converted elements of a batch: each pair's id and vector. Converted
// vectors are stored back to back in one buffer; a vector may instead be
// borrowed from memory the caller keeps valid and unchanged until the batch
// is consumed.
class PreparedPairs {
 public:
  std::size_t size() const { return ids_.size(); }
  std::uint64_t id(std::size_t i) const { return ids_[i]; }
  FloatView vector(std::size_t i) const {
    const Slot& slot = slots_[i];
    return slot.borrowed != nullptr ? FloatView(slot.borrowed, slot.size)
                                    : FloatView(values_.data() + slot.begin, slot.size);
  }
  void reserve(std::size_t pairs, std::size_t values) {
    ids_.reserve(pairs);
    slots_.reserve(pairs);
    values_.reserve(values);
  }
  // The values of the next pair are appended to values(), then the pair is
  // closed with its id.
  PageArray<float>& values() { return values_; }
  void close_pair(std::uint64_t id) {
    slots_.push_back({nullptr, owned_end_, values_.size() - owned_end_});
    owned_end_ = values_.size();
    ids_.push_back(id);
  }
  void add(std::uint64_t id, FloatView vector) {
    values_.append(vector.data, vector.size);
    close_pair(id);
  }
  void add_borrowed(std::uint64_t id, FloatView vector) {
    slots_.push_back({vector.data, 0, vector.size});
    ids_.push_back(id);
  }
  // Copies every borrowed vector into the pairs' own buffer. Slots before
  // first_borrowed_ were materialized already, so repeated calls stay linear.
  void materialize() {
    for (std::size_t i = first_borrowed_; i < slots_.size(); ++i) {
      Slot& slot = slots_[i];
      if (slot.borrowed == nullptr) continue;
      values_.append(slot.borrowed, slot.size);
      slot = {nullptr, owned_end_, slot.size};
      owned_end_ = values_.size();
    }
    first_borrowed_ = slots_.size();
  }

 private:
  struct Slot {
    const float* borrowed;  // null: the vector lives in values_ from `begin`
    std::size_t begin;
    std::size_t size;
  };
  PageArray<std::uint64_t> ids_;
  PageArray<Slot> slots_;
  PageArray<float> values_;
  std::size_t owned_end_ = 0;
  std::size_t first_borrowed_ = 0;
};

class CompressedVectorStore {
 public:
  // Validates dim (through the rotation) before bits (through the codebook)
  // and leaves both cached. A store that keeps error bounds holds, beside
  // each vector's codes, a 16-bit bound of its encoding's residual
  // (error_bound.h), which memory_bytes counts.
  static Result<CompressedVectorStore> create(std::uint64_t dim, std::uint8_t bits, bool keep_error_bounds = false);

  std::size_t dim() const { return dim_; }
  std::uint8_t bits() const { return bits_; }
  bool keeps_error_bounds() const { return keeps_error_bounds_; }
  std::size_t size() const { return lists_ ? lists_->record_count() : ids_.size(); }
  // Positions the store's arrays span: size() for a flat store; every block
  // of the pool, free lanes and blocks included, for one in lists.
  std::size_t position_count() const { return ids_.size(); }
  std::uint64_t bytes_per_vector() const;
  std::uint64_t memory_bytes() const;
  std::string repr() const;

  Status insert(std::uint64_t id, FloatView vector);
  bool remove(std::uint64_t id);
  // All-or-nothing; encodes on the worker pool.
  Status insert_batch(const PreparedPairs& pairs);

  // Best first. `stats`, when given, tells how the top k were found.
  Result<std::vector<ScoredPair>> query(FloatView vector, std::uint64_t top_k, TopKStats* stats = nullptr) const;
  Result<std::vector<ScoredPair>> query_all(FloatView vector) const;

  // The stored record at a position, for inspection and tests.
  std::uint64_t id_at(std::size_t position) const;
  EncodedVector entry_at(std::size_t position) const;

  // Bulk access for array-based callers (store_records.cpp).
  static constexpr std::size_t npos = IdIndex::npos;
  // The position of a stored id, or npos.
  std::size_t position_of(std::uint64_t id) const;
  // Every entry, position by position, for scans and exports.
  StoredEntries stored_entries() const;
  // What a search reads: every record, as one run of blocks (flat) or the
  // runs of every list.
  RecordView record_view() const;
  // The records of some lists only (a partitioned store).
  RecordView lists_view(const std::uint32_t* lists, std::size_t count) const;
  // Every record's position, in storage order: ascending for a flat store,
  // list after list for one in lists.
  std::vector<std::size_t> record_positions() const;

  // The partitioned layout, or null for a flat store.
  const ListLayout* lists() const { return lists_.get(); }
  // Lays the records out in `list_count` lists: list_of[r] is the list of
  // the record at record_positions()[r]; `centroids` holds list_count x dim
  // floats. Records keep their order within a list; ids, codes, norms and
  // error bounds do not change. Later upserts go to the list their codes'
  // nearest centroid names (list_layout.h).
  void arrange_in_lists(std::size_t list_count, std::vector<float> centroids, const std::vector<std::uint32_t>& list_of,
                        std::uint32_t default_probes);
  // At least every stored norm (never lowered): what the bound of a search
  // must allow for.
  float max_norm() const { return max_norm_; }
  // Upserts n records given as dim cell indices each, in order, exactly as
  // inserting them one by one would; all or nothing if memory runs out.
  // `error_bounds` (one code per record, or null for unknown bounds) is kept
  // when the store keeps error bounds.
  void upsert_encoded(const std::uint64_t* ids, const std::uint8_t* indices, const float* norms, std::size_t n,
                      const std::uint16_t* error_bounds = nullptr);
  // A store whose entries are the given position-ordered arrays (dim and bits
  // are the codes'); it keeps error bounds when they are given. The caller
  // has checked the norms. On a repeated id nothing is built and *repeated
  // holds the id.
  static std::optional<CompressedVectorStore> from_arrays(PageArray<std::uint64_t>&& ids, PageArray<float>&& norms,
                                                          BlockedCodes&& codes,
                                                          std::optional<PageArray<std::uint16_t>>&& error_bounds,
                                                          std::uint64_t* repeated);
  // How many stored vectors have no known error bound (all of them when the
  // store keeps none).
  std::size_t unknown_error_bounds() const;

 private:
  CompressedVectorStore(std::size_t dim, std::uint8_t bits, bool keep_error_bounds);
  // Places one encoded vector under id: in place if the id is stored,
  // appended otherwise. `error_bound` is kept when the store keeps bounds.
  // In a store in lists, the record goes to `list` (moving there if it was
  // stored in another); the arrays must hold the blocks it may need.
  void upsert_entry(std::uint64_t id, const std::uint8_t* indices, float norm, std::uint16_t error_bound,
                    std::uint32_t list = 0);
  // Grows the arrays to the layout's pool of blocks (free lanes hold zero
  // codes, norm 1 and bound 0), after reserving room for `blocks` blocks.
  void reserve_blocks(std::size_t blocks);
  void fit_to_blocks();
  // Moves the record at `from` to `to` (ids, norms, bounds, codes and the id
  // index); `to` holds no record.
  void move_record(std::size_t from, std::size_t to);
  // Removes the record at a position of a store in lists.
  void remove_at(std::size_t position);
  // Cosine scores of every entry, in position order.
  Result<StoredEntries> prepare_scoring(FloatView vector, QueryLut& lut) const;

  std::size_t dim_;
  std::uint8_t bits_;
  PageArray<std::uint64_t> ids_;  // by position
  PageArray<float> norms_;        // by position
  BlockedCodes codes_;            // by position
  IdIndex index_;                 // id -> position
  float max_norm_ = 0.0f;         // at least every stored norm (never lowered)
  bool keeps_error_bounds_;
  PageArray<std::uint16_t> error_bounds_;  // by position, when kept
  std::unique_ptr<ListLayout> lists_;      // the partitioned layout, or null
};

}  // namespace velmora
