#include "engine/packed_records.h"

#include <cstring>
#include <vector>

#include "engine/page_array.h"
#include "engine/store.h"

namespace velmora {

PackedRecordCheck::PackedRecordCheck(std::size_t dim, std::uint8_t bits)
    : dim_(dim), bits_(bits), record_bytes_(packed_len(dim, bits)) {
  const std::size_t used_bits = dim * bits % 8;
  spare_mask_ = used_bits == 0 ? 0 : static_cast<std::uint8_t>(0xFFu << used_bits);
}

RecordFaultAt PackedRecordCheck::first_fault(const float* norms, const std::uint8_t* codes, std::size_t n) const {
  for (std::size_t i = 0; i < n; ++i) {
    if (!norm_valid(norms[i])) return {i, RecordFault::DegenerateNorm};
    if (!spare_bits_clear(codes + i * record_bytes_)) return {i, RecordFault::SpareBits};
  }
  return {n, RecordFault::None};
}

void import_packed_records(CompressedVectorStore& store, const std::uint64_t* ids, const float* norms,
                           const std::uint8_t* codes, const std::uint16_t* error_bounds, std::size_t n) {
  const std::size_t dim = store.dim(), record = packed_len(dim, store.bits());
  PageArray<std::uint8_t> indices;
  indices.resize(n * dim);
  for (std::size_t i = 0; i < n; ++i) {
    const std::vector<std::uint8_t> unpacked = unpack_indices(codes + i * record, record, dim, store.bits());
    std::memcpy(indices.data() + i * dim, unpacked.data(), dim);
  }
  store.upsert_encoded(ids, indices.data(), norms, n, error_bounds);
}

}  // namespace velmora
