#include "engine/code_layout.h"

#include <cstring>

#include "engine/invariant.h"

namespace velmora {

using kernels::read_code;
using kernels::write_code;

BlockedCodes::BlockedCodes(std::size_t dim, std::uint8_t bits) : dim_(dim), bits_(bits) {
  data_.prefer_huge_pages();  // every query streams through all of it
  data_.resize(kBlockTailPadding, 0);
}

void BlockedCodes::reserve(std::size_t n, bool geometric) {
  const std::size_t blocks = (n + kBlockLanes - 1) / kBlockLanes;
  const std::size_t bytes = blocks * block_bytes() + kBlockTailPadding;
  if (geometric) {
    data_.reserve_to_append(bytes);
  } else {
    data_.reserve(bytes);
  }
}

void BlockedCodes::push_back(const std::uint8_t* indices) {
  if (size_ % kBlockLanes == 0) {
    // A fresh block of zero codes (the old padding, zero too, becomes its
    // start); new zero padding follows.
    data_.resize(data_.size() + block_bytes(), 0);
  }
  ++size_;
  assign(size_ - 1, indices);
}

namespace {

// Field f's nibble for a vector's cell indices (block_format.h); the codes of
// coordinates past the last one are zero.
inline unsigned field_nibble(const std::uint8_t* indices, std::size_t dim, unsigned bits, std::size_t f) {
  const auto code = [&](std::size_t i) -> unsigned { return i < dim ? indices[i] : 0u; };
  if (bits == 4) return indices[f] & 15u;
  if (bits == 2) return (code(2 * f) & 3u) | ((code(2 * f + 1) & 3u) << 2);
  const std::size_t group = f / 3, q = f % 3;
  return (code(4 * group + q) & 7u) | (((code(4 * group + 3) >> q) & 1u) << 3);
}

}  // namespace

void BlockedCodes::assign(std::size_t position, const std::uint8_t* indices) {
  VELMORA_CHECK(position < size_, "code storage: position out of range");
  const std::size_t lane = position % kBlockLanes;
  const unsigned shift = kernels::nibble_shift(lane);
  const auto keep = static_cast<std::uint8_t>(~(15u << shift));
  std::uint8_t* byte = block_of(position) + lane % 16;
  // A field at a time, each nibble written whole (the same bits as
  // write_code for every coordinate of the field).
  for (std::size_t f = 0, fields = field_count(); f < fields; ++f, byte += kernels::kFieldBytes) {
    *byte = static_cast<std::uint8_t>((*byte & keep) | (field_nibble(indices, dim_, bits_, f) << shift));
  }
}

void BlockedCodes::move_last_to(std::size_t position) {
  VELMORA_CHECK(position < size_, "code storage: position out of range");
  const std::size_t last = size_ - 1;
  copy(last, position);
  pop_back();
}

void BlockedCodes::copy(std::size_t from, std::size_t to) {
  VELMORA_CHECK(from < size_ && to < size_, "code storage: position out of range");
  if (from == to) return;
  const std::size_t to_lane = to % kBlockLanes, from_lane = from % kBlockLanes;
  std::uint8_t* target = block_of(to);
  const std::uint8_t* source = block_of(from);
  for (std::size_t i = 0; i < dim_; ++i) write_code(target, bits_, i, to_lane, read_code(source, bits_, i, from_lane));
}

void BlockedCodes::clear(std::size_t position) {
  VELMORA_CHECK(position < size_, "code storage: position out of range");
  std::uint8_t* block = block_of(position);
  for (std::size_t i = 0; i < dim_; ++i) write_code(block, bits_, i, position % kBlockLanes, 0);
}

void BlockedCodes::pop_back() {
  VELMORA_CHECK(size_ > 0, "code storage: pop from an empty store");
  const std::size_t last = size_ - 1;
  const std::size_t lane = last % kBlockLanes;
  if (lane == 0) {
    // The block empties: release it (the padding moves down with the end).
    data_.resize(data_.size() - block_bytes());
    std::memset(data_.data() + data_.size() - kBlockTailPadding, 0, kBlockTailPadding);
  } else {
    // Unused lanes hold zero codes.
    std::uint8_t* block = block_of(last);
    for (std::size_t i = 0; i < dim_; ++i) write_code(block, bits_, i, lane, 0);
  }
  --size_;
}

void BlockedCodes::indices(std::size_t position, std::uint8_t* out) const {
  VELMORA_CHECK(position < size_, "code storage: position out of range");
  const std::size_t lane = position % kBlockLanes;
  const std::uint8_t* block = block_of(position);
  for (std::size_t i = 0; i < dim_; ++i) out[i] = static_cast<std::uint8_t>(read_code(block, bits_, i, lane));
}

}  // namespace velmora
