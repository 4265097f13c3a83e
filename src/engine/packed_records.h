// Records in their packed, portable form (a norm and the packed codes of one
// vector, as export_records and the index file hold them): the checks every
// such record passes before it enters a store, wherever it comes from, and
// importing them into a store.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/encode.h"

namespace velmora {

class CompressedVectorStore;

enum class RecordFault { None, DegenerateNorm, SpareBits };

struct RecordFaultAt {
  std::size_t record;
  RecordFault fault;
};

class PackedRecordCheck {
 public:
  PackedRecordCheck(std::size_t dim, std::uint8_t bits);

  std::size_t record_bytes() const { return record_bytes_; }
  // A norm a store can hold: finite and at least 1e-30.
  static bool norm_valid(float norm) { return !is_degenerate_norm(norm); }
  // The bits after the last code of a packed record are zero.
  bool spare_bits_clear(const std::uint8_t* record) const { return (record[record_bytes_ - 1] & spare_mask_) == 0; }
  // The first of n records whose norm, then codes, fail a check; {n, None}
  // when all pass.
  RecordFaultAt first_fault(const float* norms, const std::uint8_t* codes, std::size_t n) const;

 private:
  std::size_t dim_;
  std::uint8_t bits_;
  std::size_t record_bytes_;
  std::uint8_t spare_mask_;
};

// Upserts n records that passed the checks under ids, in order, exactly as
// inserting the vectors they were encoded from would; `error_bounds` (null:
// unknown) are kept when the store keeps them.
void import_packed_records(CompressedVectorStore& store, const std::uint64_t* ids, const float* norms,
                           const std::uint8_t* codes, const std::uint16_t* error_bounds, std::size_t n);

}  // namespace velmora
