// Encoding many rows of one matrix on the worker pool, reporting the first
// row that cannot be encoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/codebook.h"
#include "engine/page_array.h"
#include "engine/quantizer.h"
#include "engine/rotation.h"

namespace velmora {

class CompressedVectorStore;

// Encodes `count` rows of rotation.dim values (row r at rows + r * dim) into
// indices[r * dim ...] and norms[r], with the very operations insert_batch
// uses, and the error bound codes of the rows when `error_bounds` is given.
// Returns the lowest row whose norm is degenerate (zero, below 1e-30, NaN or
// infinite), or `count` when every row was encoded.
std::size_t encode_rows(const float* rows, std::size_t count, const Rotation& rotation, const Codebook& codebook,
                        std::uint8_t* indices, float* norms, std::uint16_t* error_bounds = nullptr);

// The records of n rows for one store, encoded chunk by chunk: the caller
// fills chunk() with the next rows (a bounded copy of its input, made while
// nothing can change that input) and encodes them, then upserts them all at
// once, so that a failing row leaves the store unchanged.
class RowBatchEncoder {
 public:
  RowBatchEncoder(const CompressedVectorStore& store, std::size_t n);

  // Rows per chunk; chunk() holds that many rows of dim floats.
  std::size_t chunk_rows() const { return chunk_rows_; }
  float* chunk() { return chunk_.data(); }

  // Encodes the first `count` rows of chunk() as rows first .. first + count
  // - 1 of the batch. Returns the position within the chunk of the first row
  // with a degenerate norm, or `count` when all were encoded.
  std::size_t encode_chunk(std::size_t first, std::size_t count);

  // Upserts every row, in order, under ids[0 .. n).
  void upsert_into(CompressedVectorStore& store, const std::uint64_t* ids) const;

 private:
  std::size_t dim_, n_, chunk_rows_;
  Quantizer quantizer_;
  PageArray<float> chunk_;  // mapped, not malloc'd: freeing it returns its pages at once
  PageArray<std::uint8_t> indices_;
  PageArray<float> norms_;
  PageArray<std::uint16_t> error_bounds_;  // when the store keeps them
};

}  // namespace velmora
