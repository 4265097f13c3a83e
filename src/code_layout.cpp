#include "code_layout.h"

#include <cstring>

#include "invariant.h"

namespace velmora {

namespace {

// Lane l of a field sits at bit l * bits; with bits <= 4 it spans at most two
// bytes.
void write_lane(std::uint8_t* field, std::size_t lane, unsigned bits, unsigned value) {
  const std::size_t bit = lane * bits;
  std::uint8_t* p = field + bit / 8;
  const unsigned shift = bit % 8;
  const unsigned mask = ((1u << bits) - 1u) << shift;
  const unsigned shifted = (value << shift) & mask;
  p[0] = static_cast<std::uint8_t>((p[0] & ~mask) | shifted);
  if (shift + bits > 8) {
    p[1] = static_cast<std::uint8_t>((p[1] & ~(mask >> 8)) | (shifted >> 8));
  }
}

unsigned read_lane(const std::uint8_t* field, std::size_t lane, unsigned bits) {
  const std::size_t bit = lane * bits;
  const std::uint8_t* p = field + bit / 8;
  const unsigned shift = bit % 8;
  unsigned window = p[0];
  if (shift + bits > 8) window |= static_cast<unsigned>(p[1]) << 8;
  return (window >> shift) & ((1u << bits) - 1u);
}

}  // namespace

BlockedCodes::BlockedCodes(std::size_t dim, std::uint8_t bits) : dim_(dim), bits_(bits) {
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

std::uint8_t* BlockedCodes::field(std::size_t position, std::size_t coordinate) {
  return data_.data() + (position / kBlockLanes) * block_bytes() + coordinate * field_bytes();
}

const std::uint8_t* BlockedCodes::field(std::size_t position, std::size_t coordinate) const {
  return data_.data() + (position / kBlockLanes) * block_bytes() + coordinate * field_bytes();
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
  for (std::size_t i = 0; i < dim_; ++i) write_lane(field(position, i), lane, bits_, indices[i]);
}

void BlockedCodes::move_last_to(std::size_t position) {
  VELMORA_CHECK(position < size_, "code storage: position out of range");
  const std::size_t last = size_ - 1;
  if (position != last) {
    const std::size_t to = position % kBlockLanes, from = last % kBlockLanes;
    for (std::size_t i = 0; i < dim_; ++i) {
      write_lane(field(position, i), to, bits_, read_lane(field(last, i), from, bits_));
    }
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
    for (std::size_t i = 0; i < dim_; ++i) write_lane(field(last, i), lane, bits_, 0);
  }
  --size_;
}

void BlockedCodes::indices(std::size_t position, std::uint8_t* out) const {
  VELMORA_CHECK(position < size_, "code storage: position out of range");
  const std::size_t lane = position % kBlockLanes;
  for (std::size_t i = 0; i < dim_; ++i) {
    out[i] = static_cast<std::uint8_t>(read_lane(field(position, i), lane, bits_));
  }
}

}  // namespace velmora
