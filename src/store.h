// One compressed vector store: encoded entries under u64 ids, in position
// order, with an id index. Operations validate, then compute, then mutate, so
// a failing call leaves the store exactly as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "encode.h"
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
  // Places one encoded record under id: in place if the id is stored,
  // appended otherwise.
  void upsert_entry(std::uint64_t id, const std::uint8_t* codes, float norm);
  // (id, score) for every entry, in position order.
  Result<std::vector<ScoredPair>> score_entries(FloatView vector) const;

  std::size_t dim_;
  std::uint8_t bits_;
  std::size_t code_bytes_;            // packed_len(dim, bits)
  std::vector<std::uint64_t> ids_;    // by position
  std::vector<float> norms_;          // by position
  std::vector<std::uint8_t> codes_;   // code_bytes_ per position, contiguous
  std::unordered_map<std::uint64_t, std::size_t> id_to_index_;
};

}  // namespace velmora
