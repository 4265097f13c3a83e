// One compressed vector store: encoded entries under u64 ids, in position
// order, with an id index. Operations validate, then compute, then mutate, so
// a failing call leaves the store exactly as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "code_layout.h"
#include "encode.h"
#include "id_index.h"
#include "similarity.h"
#include "store_error.h"

namespace velmora {

// One converted element of a batch.
struct PreparedPair {
  std::uint64_t id = 0;
  std::vector<float> vector;
};

class CompressedVectorStore {
 public:
  // Validates dim (through the rotation) before bits (through the codebook)
  // and leaves both cached.
  static Result<CompressedVectorStore> create(std::uint64_t dim, std::uint8_t bits);

  std::size_t dim() const { return dim_; }
  std::uint8_t bits() const { return bits_; }
  std::size_t size() const { return ids_.size(); }
  std::uint64_t bytes_per_vector() const;
  std::uint64_t memory_bytes() const;
  std::string repr() const;

  Status insert(std::uint64_t id, FloatView vector);
  bool remove(std::uint64_t id);
  // All-or-nothing; encodes on the worker pool.
  Status insert_batch(const std::vector<PreparedPair>& pairs);

  // Best first.
  Result<std::vector<ScoredPair>> query(FloatView vector, std::uint64_t top_k) const;
  Result<std::vector<ScoredPair>> query_all(FloatView vector) const;

  // The stored record at a position, for inspection and tests.
  std::uint64_t id_at(std::size_t position) const;
  EncodedVector entry_at(std::size_t position) const;

 private:
  CompressedVectorStore(std::size_t dim, std::uint8_t bits);
  // Places one encoded vector under id: in place if the id is stored,
  // appended otherwise.
  void upsert_entry(std::uint64_t id, const std::uint8_t* indices, float norm);
  // Cosine scores of every entry, in position order.
  Result<StoredEntries> prepare_scoring(FloatView vector, QueryLut& lut) const;

  std::size_t dim_;
  std::uint8_t bits_;
  std::vector<std::uint64_t> ids_;  // by position
  std::vector<float> norms_;        // by position
  BlockedCodes codes_;              // by position
  IdIndex index_;                   // id -> position
};

}  // namespace velmora
