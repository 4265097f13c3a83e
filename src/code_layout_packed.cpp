// Moving codes between the blocked layout and packed per-vector records. A
// block's 16 lanes are converted together, 16 coordinates at a time: 16
// coordinates of one vector make exactly 2 * bits packed bytes, and 16 lanes
// of one coordinate make one 2 * bits byte field, so both sides are whole
// machine words.
#include <algorithm>
#include <cstring>

#include "code_layout.h"
#include "encode.h"
#include "invariant.h"

namespace velmora {

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "fields and records are read as little-endian words");

// Elements with index bit h clear: the half of a row that stays put when
// blocks of h elements are exchanged.
// The 16 * Bits bits of a field.
template <unsigned Bits>
constexpr std::uint64_t count_mask() {
  return Bits * kBlockLanes == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << (Bits * kBlockLanes)) - 1u;
}

template <unsigned Bits>
constexpr std::uint64_t keep_mask(unsigned h) {
  std::uint64_t mask = 0;
  for (unsigned e = 0; e < kBlockLanes; ++e) {
    if ((e & h) == 0) mask |= ((std::uint64_t{1} << Bits) - 1u) << (e * Bits);
  }
  return mask;
}

// Transposes a 16 x 16 matrix of Bits-bit elements, row r in rows[r] with
// element e at bits e * Bits: by exchanging 8 x 8, 4 x 4, 2 x 2 and 1 x 1
// blocks across the diagonal. Its own inverse: it turns the fields of 16
// coordinates into the 16 lanes' runs of codes, and back.
template <unsigned Bits>
void transpose16(std::uint64_t* rows) {
  constexpr std::uint64_t kMasks[4] = {keep_mask<Bits>(8), keep_mask<Bits>(4), keep_mask<Bits>(2),
                                       keep_mask<Bits>(1)};
  int stage = 0;
  for (unsigned h = 8; h > 0; h /= 2, ++stage) {
    const std::uint64_t mask = kMasks[stage];
    for (unsigned r = 0; r < kBlockLanes; ++r) {
      if (r & h) continue;
      const std::uint64_t t = ((rows[r] >> (h * Bits)) ^ rows[r + h]) & mask;
      rows[r + h] ^= t;
      rows[r] ^= t << (h * Bits);
    }
  }
}

template <unsigned Bits>
void export_block(const std::uint8_t* block, std::size_t dim, std::size_t lane_begin, std::size_t lane_end,
                  std::uint8_t* out, std::size_t record_bytes) {
  constexpr std::size_t kField = 2 * Bits;
  for (std::size_t c0 = 0; c0 < dim; c0 += kBlockLanes) {
    const std::size_t count = std::min(kBlockLanes, dim - c0);
    std::uint64_t rows[kBlockLanes] = {};  // fields of coordinates c0.., then lanes' code runs
    for (std::size_t c = 0; c < count; ++c) std::memcpy(&rows[c], block + (c0 + c) * kField, kField);
    transpose16<Bits>(rows);
    const std::size_t bytes = (count * Bits + 7) / 8;
    const std::size_t offset = c0 / kBlockLanes * kField;
    for (std::size_t l = lane_begin; l < lane_end; ++l) {
      std::memcpy(out + (l - lane_begin) * record_bytes + offset, &rows[l], bytes);
    }
  }
}

template <unsigned Bits>
void assign_block(std::uint8_t* block, std::size_t dim, std::size_t lane_begin, std::size_t lane_end,
                  const std::uint8_t* records, std::size_t record_bytes) {
  constexpr std::size_t kField = 2 * Bits;
  constexpr std::uint64_t kMask = (1u << Bits) - 1u;
  const bool whole_block = lane_begin == 0 && lane_end == kBlockLanes;
  std::uint64_t keep = 0;  // the field bits of lanes this call leaves alone
  for (std::size_t l = 0; l < kBlockLanes; ++l) {
    if (l < lane_begin || l >= lane_end) keep |= kMask << (l * Bits);
  }
  const std::uint64_t used = count_mask<Bits>();
  for (std::size_t c0 = 0; c0 < dim; c0 += kBlockLanes) {
    const std::size_t count = std::min(kBlockLanes, dim - c0);
    const std::size_t bytes = (count * Bits + 7) / 8;
    const std::size_t offset = c0 / kBlockLanes * kField;
    std::uint64_t rows[kBlockLanes] = {};  // lanes' code runs, then fields of coordinates c0..
    for (std::size_t l = lane_begin; l < lane_end; ++l) {
      std::memcpy(&rows[l], records + (l - lane_begin) * record_bytes + offset, bytes);
      // Past the last coordinate a record holds spare bits, which are not codes.
      if (count < kBlockLanes) rows[l] &= (std::uint64_t{1} << (count * Bits)) - 1u;
    }
    transpose16<Bits>(rows);
    for (std::size_t c = 0; c < count; ++c) {
      std::uint64_t value = rows[c] & used;
      std::uint8_t* field = block + (c0 + c) * kField;
      if (!whole_block) {
        std::uint64_t old = 0;
        std::memcpy(&old, field, kField);
        value |= old & keep;
      }
      std::memcpy(field, &value, kField);
    }
  }
}

// Calls fn(block index, first lane, end lane, first record) for every block
// that positions [first, first + count) touch.
template <class Fn>
void for_each_block(std::size_t first, std::size_t count, Fn&& fn) {
  std::size_t record = 0;
  for (std::size_t p = first; p < first + count;) {
    const std::size_t block = p / kBlockLanes, lane = p % kBlockLanes;
    const std::size_t lanes = std::min(kBlockLanes - lane, first + count - p);
    fn(block, lane, lane + lanes, record);
    p += lanes;
    record += lanes;
  }
}

}  // namespace

void BlockedCodes::grow(std::size_t n) {
  if (n <= size_) return;
  const std::size_t blocks = (n + kBlockLanes - 1) / kBlockLanes;
  // New blocks start as zero codes; the old zero padding becomes their start.
  data_.resize(blocks * block_bytes() + kBlockTailPadding, 0);
  size_ = n;
}

void BlockedCodes::grow_for_overwrite(std::size_t n) {
  if (n <= size_) return;
  const std::size_t old_bytes = data_.size() - kBlockTailPadding;
  const std::size_t blocks = (n + kBlockLanes - 1) / kBlockLanes;
  data_.resize_for_overwrite(blocks * block_bytes() + kBlockTailPadding);
  // Whole new blocks are written by the caller; the last one may be partial,
  // and its unused lanes, like the padding, must hold zeros.
  const std::size_t last_block = std::max(old_bytes, (blocks - 1) * block_bytes());
  std::memset(data_.data() + last_block, 0, data_.size() - last_block);
  size_ = n;
}

void BlockedCodes::export_packed(std::size_t first, std::size_t count, std::uint8_t* out) const {
  VELMORA_CHECK(first <= size_ && count <= size_ - first, "code storage: export range out of bounds");
  const std::size_t record_bytes = packed_len(dim_, bits_);
  for_each_block(first, count, [&](std::size_t block, std::size_t lane_begin, std::size_t lane_end,
                                   std::size_t record) {
    const std::uint8_t* base = data_.data() + block * block_bytes();
    std::uint8_t* dst = out + record * record_bytes;
    switch (bits_) {
      case 2: return export_block<2>(base, dim_, lane_begin, lane_end, dst, record_bytes);
      case 3: return export_block<3>(base, dim_, lane_begin, lane_end, dst, record_bytes);
      case 4: return export_block<4>(base, dim_, lane_begin, lane_end, dst, record_bytes);
    }
    VELMORA_CHECK(false, "code storage: unsupported bit width");
  });
}

void BlockedCodes::assign_packed(std::size_t first, std::size_t count, const std::uint8_t* records) {
  VELMORA_CHECK(first <= size_ && count <= size_ - first, "code storage: assign range out of bounds");
  const std::size_t record_bytes = packed_len(dim_, bits_);
  for_each_block(first, count, [&](std::size_t block, std::size_t lane_begin, std::size_t lane_end,
                                   std::size_t record) {
    std::uint8_t* base = data_.data() + block * block_bytes();
    const std::uint8_t* src = records + record * record_bytes;
    switch (bits_) {
      case 2: return assign_block<2>(base, dim_, lane_begin, lane_end, src, record_bytes);
      case 3: return assign_block<3>(base, dim_, lane_begin, lane_end, src, record_bytes);
      case 4: return assign_block<4>(base, dim_, lane_begin, lane_end, src, record_bytes);
    }
    VELMORA_CHECK(false, "code storage: unsupported bit width");
  });
}

}  // namespace velmora
