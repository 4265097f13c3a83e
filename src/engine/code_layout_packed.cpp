// Moving codes between the blocked layout and packed per-vector records. A
// record's codes for one step of the block format (kernels/block_format.h)
// are one run of its bits: a nibble at 2 and 4 bits (one coordinate, or a
// pair), twelve bits at 3 bits (a group of four coordinates). At 2 and 4 bits
// that nibble is the field's nibble itself; at 3 bits the run's three codes
// and the fourth code's three bits are redistributed over three nibbles.
// Whole blocks are converted a record byte (two nibble steps) or a group at a
// time for 16 pairs of lanes at once; lanes of a partial block one by one.
#include <algorithm>
#include <cstring>

#include "engine/code_layout.h"
#include "engine/encode.h"
#include "engine/invariant.h"

namespace velmora {

namespace {

using kernels::kFieldBytes;

constexpr unsigned kGroupBits = 12;  // a 3-bit step

// The three field nibbles of a 3-bit group's run of 12 record bits: field q
// gets code q (bits 3q .. 3q + 2) and bit q of code 3 (run bit 9 + q).
inline void group_to_nibbles(unsigned run, unsigned nibbles[3]) {
  for (unsigned q = 0; q < 3; ++q) nibbles[q] = ((run >> (3 * q)) & 7u) | (((run >> (9 + q)) & 1u) << 3);
}

inline unsigned nibbles_to_group(const unsigned nibbles[3]) {
  unsigned run = 0;
  for (unsigned q = 0; q < 3; ++q) run |= ((nibbles[q] & 7u) << (3 * q)) | (((nibbles[q] >> 3) & 1u) << (9 + q));
  return run;
}

// `width` bits at bit `at` of a record of `len` bytes (bits past the end read 0).
inline unsigned read_bits(const std::uint8_t* record, std::size_t len, std::size_t at, unsigned width) {
  const std::size_t byte = at / 8;
  unsigned window = record[byte];
  if (byte + 1 < len) window |= static_cast<unsigned>(record[byte + 1]) << 8;
  return (window >> (at % 8)) & ((1u << width) - 1u);
}

inline void write_bits(std::uint8_t* record, std::size_t len, std::size_t at, unsigned width, unsigned value) {
  const std::size_t byte = at / 8;
  const unsigned shift = at % 8;
  const unsigned mask = ((1u << width) - 1u) << shift;
  const unsigned bits = (value << shift) & mask;
  record[byte] = static_cast<std::uint8_t>((record[byte] & ~mask) | bits);
  if (byte + 1 < len && (mask >> 8) != 0) {
    record[byte + 1] = static_cast<std::uint8_t>((record[byte + 1] & ~(mask >> 8)) | (bits >> 8));
  }
}

// The shape of one store's conversion.
struct Shape {
  std::size_t dim;
  unsigned bits;
  std::size_t record_bytes;
  std::size_t fields;
  // A step's run of record bits and how many of them are codes (the last
  // step may hold spare bits, which the layout keeps zero).
  unsigned step_bits() const { return bits == 3 ? kGroupBits : 4; }
  std::size_t steps() const { return bits == 3 ? fields / 3 : fields; }
  unsigned used_bits(std::size_t step) const {
    const std::size_t first = step * step_bits(), total = dim * bits;
    return static_cast<unsigned>(std::min<std::size_t>(step_bits(), total - first));
  }
};

// The field nibbles of one step of one record.
inline void step_nibbles(const Shape& s, const std::uint8_t* record, std::size_t step, unsigned nibbles[3]) {
  const unsigned used = s.used_bits(step);
  const unsigned run = read_bits(record, s.record_bytes, step * s.step_bits(), used);
  if (s.bits == 3) {
    group_to_nibbles(run, nibbles);
  } else {
    nibbles[0] = run;
  }
}

inline void set_nibble(std::uint8_t* field, std::size_t lane, unsigned nibble) {
  std::uint8_t& byte = field[lane % 16];
  const unsigned shift = kernels::nibble_shift(lane);
  byte = static_cast<std::uint8_t>((byte & ~(15u << shift)) | (nibble << shift));
}

inline unsigned get_nibble(const std::uint8_t* field, std::size_t lane) {
  return (field[lane % 16] >> kernels::nibble_shift(lane)) & 15u;
}

std::size_t fields_of_step(const Shape& s) { return s.bits == 3 ? 3 : 1; }

void assign_block(const Shape& s, std::uint8_t* block, std::size_t lane_begin, std::size_t lane_end,
                  const std::uint8_t* records) {
  const std::size_t per_step = fields_of_step(s);
  if (lane_begin == 0 && lane_end == kBlockLanes) {
    // Lanes l and l + 16 share a byte of each field.
    for (std::size_t step = 0; step < s.steps(); ++step) {
      std::uint8_t* fields = block + step * per_step * kFieldBytes;
      for (std::size_t l = 0; l < 16; ++l) {
        unsigned low[3] = {}, high[3] = {};
        step_nibbles(s, records + l * s.record_bytes, step, low);
        step_nibbles(s, records + (l + 16) * s.record_bytes, step, high);
        for (std::size_t q = 0; q < per_step; ++q) {
          fields[q * kFieldBytes + l] = static_cast<std::uint8_t>(low[q] | (high[q] << 4));
        }
      }
    }
    return;
  }
  for (std::size_t lane = lane_begin; lane < lane_end; ++lane) {
    const std::uint8_t* record = records + (lane - lane_begin) * s.record_bytes;
    for (std::size_t step = 0; step < s.steps(); ++step) {
      unsigned nibbles[3] = {};
      step_nibbles(s, record, step, nibbles);
      for (std::size_t q = 0; q < per_step; ++q)
        set_nibble(block + (step * per_step + q) * kFieldBytes, lane, nibbles[q]);
    }
  }
}

void export_block(const Shape& s, const std::uint8_t* block, std::size_t lane_begin, std::size_t lane_end,
                  std::uint8_t* out) {
  const std::size_t per_step = fields_of_step(s);
  for (std::size_t lane = lane_begin; lane < lane_end; ++lane) {
    std::uint8_t* record = out + (lane - lane_begin) * s.record_bytes;
    std::memset(record, 0, s.record_bytes);  // spare bits are zero
    if (s.bits != 3) {
      // Two nibble steps make one record byte.
      for (std::size_t step = 0; step < s.steps(); step += 2) {
        unsigned byte = get_nibble(block + step * kFieldBytes, lane);
        if (step + 1 < s.steps()) byte |= get_nibble(block + (step + 1) * kFieldBytes, lane) << 4;
        record[step / 2] = static_cast<std::uint8_t>(byte);
      }
      continue;
    }
    for (std::size_t step = 0; step < s.steps(); ++step) {
      unsigned nibbles[3] = {};
      for (std::size_t q = 0; q < per_step; ++q)
        nibbles[q] = get_nibble(block + (step * per_step + q) * kFieldBytes, lane);
      write_bits(record, s.record_bytes, step * kGroupBits, s.used_bits(step), nibbles_to_group(nibbles));
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
  const Shape shape{dim_, bits_, packed_len(dim_, bits_), field_count()};
  for_each_block(first, count,
                 [&](std::size_t block, std::size_t lane_begin, std::size_t lane_end, std::size_t record) {
                   export_block(shape, data_.data() + block * block_bytes(), lane_begin, lane_end,
                                out + record * shape.record_bytes);
                 });
}

void BlockedCodes::assign_packed(std::size_t first, std::size_t count, const std::uint8_t* records) {
  VELMORA_CHECK(first <= size_ && count <= size_ - first, "code storage: assign range out of bounds");
  const Shape shape{dim_, bits_, packed_len(dim_, bits_), field_count()};
  for_each_block(first, count,
                 [&](std::size_t block, std::size_t lane_begin, std::size_t lane_end, std::size_t record) {
                   assign_block(shape, data_.data() + block * block_bytes(), lane_begin, lane_end,
                                records + record * shape.record_bytes);
                 });
}

}  // namespace velmora
