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

void BlockedCodes::assign(std::size_t position, const std::uint8_t* indices) {
  VELMORA_CHECK(position < size_, "code storage: position out of range");
  const std::size_t lane = position % kBlockLanes;
  std::uint8_t* block = block_of(position);
  for (std::size_t i = 0; i < dim_; ++i) write_code(block, bits_, i, lane, indices[i]);
}

void BlockedCodes::move_last_to(std::size_t position) {
  VELMORA_CHECK(position < size_, "code storage: position out of range");
  const std::size_t last = size_ - 1;
  if (position != last) {
    const std::size_t to = position % kBlockLanes, from = last % kBlockLanes;
    std::uint8_t* target = block_of(position);
    const std::uint8_t* source = block_of(last);
    for (std::size_t i = 0; i < dim_; ++i) write_code(target, bits_, i, to, read_code(source, bits_, i, from));
  }
  pop_back();
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
