// The store's code storage: vectors in blocks of 32 (see
// kernels/block_format.h), so that a block's codes for one coordinate are one
// 16-byte field and the exact kernels and the integer bound pass read the
// same bytes. The storage is as large as the packed codes, apart from the
// unused lanes of the last block.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/page_array.h"
#include "kernels/block_format.h"

namespace velmora {

inline constexpr std::size_t kBlockLanes = kernels::kBlockLanes;
inline constexpr std::size_t kBlockTailPadding = kernels::kBlockTailPadding;

class BlockedCodes {
 public:
  BlockedCodes(std::size_t dim, std::uint8_t bits);

  std::size_t dim() const { return dim_; }
  std::uint8_t bits() const { return bits_; }
  std::size_t size() const { return size_; }
  std::size_t field_count() const { return kernels::field_count(dim_, bits_); }
  std::size_t block_bytes() const { return field_count() * kernels::kFieldBytes; }
  std::size_t block_count() const { return (size_ + kBlockLanes - 1) / kBlockLanes; }
  const std::uint8_t* blocks() const { return data_.data(); }
  const std::uint8_t* block(std::size_t b) const { return data_.data() + b * block_bytes(); }

  // Room for n vectors without reallocation; `geometric` grows by doubling
  // (for appends one at a time) instead of to exactly n.
  void reserve(std::size_t n, bool geometric = false);
  // Appends one vector given as dim cell indices.
  void push_back(const std::uint8_t* indices);
  // Overwrites the vector at a position.
  void assign(std::size_t position, const std::uint8_t* indices);
  // Copies the last vector over `position` and drops the last slot.
  void move_last_to(std::size_t position);
  void pop_back();
  // Copies the codes of one position over another's, and zeroes a position's codes.
  void copy(std::size_t from, std::size_t to);
  void clear(std::size_t position);

  // The dim cell indices of the vector at a position.
  void indices(std::size_t position, std::uint8_t* out) const;

  // Conversions from and to packed records (the pack_indices layout,
  // packed_len(dim, bits) bytes per vector), in code_layout_packed.cpp.
  // Grows to n vectors; the new ones hold zero codes.
  void grow(std::size_t n);
  // Grows to n vectors whose codes are unwritten until the caller assigns
  // every new position (assign_packed), which it must do before any other use.
  void grow_for_overwrite(std::size_t n);
  // Positions [first, first + count) as packed records, one after another.
  void export_packed(std::size_t first, std::size_t count, std::uint8_t* out) const;
  // Overwrites positions [first, first + count) from packed records (spare
  // bits are ignored). Calls that touch different blocks may run concurrently.
  void assign_packed(std::size_t first, std::size_t count, const std::uint8_t* records);

 private:
  std::uint8_t* block_of(std::size_t position) { return data_.data() + (position / kBlockLanes) * block_bytes(); }
  const std::uint8_t* block_of(std::size_t position) const {
    return data_.data() + (position / kBlockLanes) * block_bytes();
  }

  std::size_t dim_;
  std::uint8_t bits_;
  std::size_t size_ = 0;
  PageArray<std::uint8_t> data_;  // block_count() blocks, then the tail padding
};

}  // namespace velmora
