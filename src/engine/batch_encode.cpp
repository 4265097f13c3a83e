#include "engine/batch_encode.h"

#include <algorithm>
#include <atomic>

#include "engine/encode.h"
#include "engine/invariant.h"
#include "engine/pool.h"
#include "engine/store.h"

namespace velmora {

namespace {

// Rows copied per chunk: a bounded copy of the caller's input.
constexpr std::size_t kChunkBytes = std::size_t{8} << 20;

}  // namespace

std::size_t encode_rows(const float* rows, std::size_t count, const Rotation& rotation, const Codebook& codebook,
                        std::uint8_t* indices, float* norms, std::uint16_t* error_bounds) {
  const std::size_t dim = static_cast<std::size_t>(rotation.dim);
  // The lowest failing row found so far: pieces past it stop early, pieces
  // before it always finish, so the final value is the lowest failing row.
  std::atomic<std::size_t> first_bad{count};
  parallel_for(count, [&](std::size_t begin, std::size_t end) {
    constexpr std::size_t kChunk = 32;  // rotated rows stay in cache
    const float* vectors[kChunk];
    for (std::size_t first = begin; first < end; first += kChunk) {
      if (first > first_bad.load(std::memory_order_relaxed)) return;
      const std::size_t n = std::min(kChunk, end - first);
      for (std::size_t c = 0; c < n; ++c) vectors[c] = rows + (first + c) * dim;
      const std::size_t bad = encode_batch(vectors, n, rotation, codebook, indices + first * dim, norms + first,
                                           error_bounds != nullptr ? error_bounds + first : nullptr);
      if (bad < n) {
        std::size_t seen = first_bad.load(std::memory_order_relaxed);
        while (first + bad < seen && !first_bad.compare_exchange_weak(seen, first + bad)) {
        }
        return;
      }
    }
  });
  return first_bad.load();
}

RowBatchEncoder::RowBatchEncoder(const CompressedVectorStore& store, std::size_t n)
    : dim_(store.dim()),
      n_(n),
      chunk_rows_(std::max<std::size_t>(1, kChunkBytes / (store.dim() * sizeof(float)))),
      quantizer_(quantizer_of_store(store.dim(), store.bits())) {
  chunk_.resize_for_overwrite(std::min(chunk_rows_, n) * dim_);
  indices_.resize(n * dim_);
  norms_.resize(n);
  if (store.keeps_error_bounds()) error_bounds_.resize(n);
}

std::size_t RowBatchEncoder::encode_chunk(std::size_t first, std::size_t count) {
  VELMORA_CHECK(count <= chunk_rows_ && first + count <= n_, "encode_chunk: rows out of range");
  return encode_rows(chunk_.data(), count, *quantizer_.rotation, *quantizer_.codebook, indices_.data() + first * dim_,
                     norms_.data() + first, error_bounds_.empty() ? nullptr : error_bounds_.data() + first);
}

void RowBatchEncoder::upsert_into(CompressedVectorStore& store, const std::uint64_t* ids) const {
  store.upsert_encoded(ids, indices_.data(), norms_.data(), n_, error_bounds_.empty() ? nullptr : error_bounds_.data());
}

}  // namespace velmora
