// The exact block scoring kernels, each formulation written once and
// instantiated per bit width and per instruction set. This header is included
// by one translation unit per instruction set, each compiled with its own
// target flags; everything here has internal linkage so that no instantiation
// leaks from one of them into another.
//
// Every lane is one stored vector and adds its table entries in coordinate
// order starting from +0.0, then applies the cosine normalisation with the
// same f32 operations as the per-entry reference, so all formulations agree
// bit for bit. They differ only in how a coordinate's 32 entries are fetched:
//   PortableLookup       one lane at a time;
//   PermuteLookup<Isa> table rows in registers, indexed with vpermps;
//   PlaneLookup<Isa>   the rows' four byte planes, indexed with byte shuffles
//                      within 128-bit lanes and reassembled with unpacks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "kernels/block_format.h"
#include "kernels/kernels.h"

namespace velmora {
namespace kernels {
namespace {

// Where the r-th coordinate of a step (block_format.h) finds its code,
// relative to the step's fields: in one run of Bits bits at `shift` of field
// `field(r)`, except the fourth coordinate of a 3-bit group, whose bit q is
// bit 3 of field q. Above a run lie other codes' bits; the formulations
// repeat each row's entries so that those bits select the same entry.
template <int Bits>
struct StepCode {
  static constexpr int kCoordinates = coordinates_per_step(Bits);
  static constexpr int kFields = fields_per_step(Bits);
  static constexpr bool split(int r) { return Bits == 3 && r == 3; }
  static constexpr int field(int r) { return Bits == 3 ? r : 0; }
  static constexpr int shift(int r) { return Bits == 2 ? 2 * r : 0; }
};

// One pass of a formulation over Lookup::kBlocks blocks, which share each
// table row it loads.
template <class Lookup, int Bits>
void score_pass(const ScoreBlocksArgs& a, const std::uint8_t* const* blocks, const float* const* norms,
                float* const* outs) {
  constexpr int kPerStep = StepCode<Bits>::kCoordinates;
  const std::size_t steps = a.dim / kPerStep, rest = a.dim % kPerStep;
  typename Lookup::Acc acc = Lookup::zero();
  for (std::size_t s = 0; s < steps; ++s) Lookup::template add_step<Bits, kPerStep>(acc, a.table, blocks, s);
  if constexpr (kPerStep > 1) {
    if (rest == 1) Lookup::template add_step<Bits, 1>(acc, a.table, blocks, steps);
  }
  if constexpr (kPerStep > 2) {
    if (rest == 2) Lookup::template add_step<Bits, 2>(acc, a.table, blocks, steps);
    if (rest == 3) Lookup::template add_step<Bits, 3>(acc, a.table, blocks, steps);
  }
  Lookup::finish(acc, norms, a.query_norm, outs);
}

// Passes of Lookup::kBlocks blocks over blocks [first, end); a last short
// pass repeats its first block into a scratch output.
template <class Lookup, int Bits>
void score_passes(const ScoreBlocksArgs& a, std::size_t first, std::size_t end, float* out) {
  constexpr int kBlocks = Lookup::kBlocks;
  const float zero_norms[kBlockLanes] = {};
  float scratch[kBlockLanes];
  for (std::size_t b = first; b < end; b += kBlocks) {
    const std::uint8_t* blocks[kBlocks];
    const float* norms[kBlocks];
    float* outs[kBlocks];
    for (int g = 0; g < kBlocks; ++g) {
      const bool real = b + g < end;
      const std::size_t at = real ? b + g : b;
      blocks[g] = a.blocks + at * a.block_bytes;
      norms[g] = real ? a.norms + at * kBlockLanes : zero_norms;
      outs[g] = real ? out + at * kBlockLanes : scratch;
    }
    score_pass<Lookup, Bits>(a, blocks, norms, outs);
  }
}

// Drives a formulation over the blocks: passes of Lookup::kBlocks blocks,
// then the blocks left over in passes of Lookup::Narrow, the same
// formulation over fewer blocks at once (a lone block, which the search
// scores often, costs one block's work). Every lane sums alone, so the
// grouping cannot change a bit.
template <class Lookup, int Bits>
void score_blocks(const ScoreBlocksArgs& a, std::size_t block_count, float* out) {
  using Narrow = typename Lookup::Narrow;
  const std::size_t full = block_count / Lookup::kBlocks * Lookup::kBlocks;
  score_passes<Lookup, Bits>(a, 0, full, out);
  if (full < block_count) score_passes<Narrow, Bits>(a, full, block_count, out);
}

template <class Lookup, int Bits>
std::size_t table_bytes(std::size_t dim) {
  return dim * Lookup::template kRowBytes<Bits>;
}

template <class Lookup, int Bits>
void prepare_table(const float* lut, std::size_t dim, std::uint8_t* table) {
  for (std::size_t i = 0; i < dim; ++i) {
    Lookup::template prepare_row<Bits>(lut + (i << Bits), table + i * Lookup::template kRowBytes<Bits>);
  }
}

// Scattered lanes one at a time, their sums side by side.
struct PortableLanes {
  template <int Bits>
  static void score(const float* lut, std::size_t dim, const ScatteredLanes& v, float query_norm, float* out) {
    using Code = StepCode<Bits>;
    float sums[kMaxScatteredLanes] = {};
    const std::uint8_t* bytes[kMaxScatteredLanes];  // lane % 16 of the first field
    unsigned shifts[kMaxScatteredLanes];
    for (std::size_t j = 0; j < v.count; ++j) {
      bytes[j] = v.blocks[j] + v.lanes[j] % 16;
      shifts[j] = nibble_shift(v.lanes[j]);
    }
    for (std::size_t i = 0; i < dim; ++i) {
      const std::size_t step = i / Code::kCoordinates;
      const int r = static_cast<int>(i % Code::kCoordinates);
      const float* row = lut + (i << Bits);
      const std::size_t fields = step * Code::kFields * kFieldBytes;
      for (std::size_t j = 0; j < v.count; ++j) {
        unsigned code = 0;
        if (Code::split(r)) {
          for (int q = 0; q < 3; ++q) code |= ((bytes[j][fields + q * kFieldBytes] >> (shifts[j] + 3)) & 1u) << q;
        } else {
          code =
              (bytes[j][fields + Code::field(r) * kFieldBytes] >> (shifts[j] + Code::shift(r))) & ((1u << Bits) - 1u);
        }
        sums[j] = sums[j] + row[code];
      }
    }
    for (std::size_t j = 0; j < v.count; ++j) {
      const float raw = sums[j] * v.norms[j];
      const float denominator = (query_norm * v.norms[j]) + kScoreEpsilon;
      out[j] = raw / denominator;
    }
  }
};

template <class Lookup, class Lanes = PortableLanes>
ExactKernel exact_kernel(const char* name, int bits) {
  ExactKernel k;
  k.name = name;
  switch (bits) {
    case 2:
      k.table_bytes = &table_bytes<Lookup, 2>;
      k.prepare = &prepare_table<Lookup, 2>;
      k.score = &score_blocks<Lookup, 2>;
      k.score_lanes = &Lanes::template score<2>;
      break;
    case 3:
      k.table_bytes = &table_bytes<Lookup, 3>;
      k.prepare = &prepare_table<Lookup, 3>;
      k.score = &score_blocks<Lookup, 3>;
      k.score_lanes = &Lanes::template score<3>;
      break;
    case 4:
      k.table_bytes = &table_bytes<Lookup, 4>;
      k.prepare = &prepare_table<Lookup, 4>;
      k.score = &score_blocks<Lookup, 4>;
      k.score_lanes = &Lanes::template score<4>;
      break;
    default:
      break;
  }
  return k;
}

// The cosine normalisation of a register of sums.
template <class Isa>
typename Isa::F cosine(typename Isa::F sum, typename Isa::F norms, typename Isa::F query_norm) {
  const typename Isa::F denominator = Isa::add(Isa::mul(query_norm, norms), Isa::splat(kScoreEpsilon));
  return Isa::div(Isa::mul(sum, norms), denominator);
}

// --- One lane at a time ------------------------------------------------------

struct PortableLookup {
  static constexpr int kBlocks = 1;
  using Narrow = PortableLookup;
  template <int Bits>
  static constexpr std::size_t kRowBytes = sizeof(float) << Bits;
  struct Acc {
    float lane[kBlockLanes];
  };
  static Acc zero() {
    Acc acc;
    for (float& x : acc.lane) x = 0.0f;
    return acc;
  }
  template <int Bits>
  static void prepare_row(const float* row, std::uint8_t* out) {
    std::memcpy(out, row, kRowBytes<Bits>);
  }
  template <int Bits, int Count>
  static void add_step(Acc& acc, const std::uint8_t* table, const std::uint8_t* const* blocks, std::size_t step) {
    using Code = StepCode<Bits>;
    const std::uint8_t* fields = blocks[0] + step * Code::kFields * kFieldBytes;
    for (int r = 0; r < Count; ++r) {
      float row[1 << Bits];
      std::memcpy(row, table + (step * Code::kCoordinates + r) * kRowBytes<Bits>, sizeof row);
      // Low nibbles (lanes 0-15), then high nibbles (lanes 16-31).
      for (unsigned half = 0; half < 2; ++half) {
        float* lanes = acc.lane + 16 * half;
        if (Code::split(r)) {
          for (std::size_t j = 0; j < 16; ++j) {
            unsigned code = 0;
            for (int q = 0; q < 3; ++q) code |= ((fields[q * kFieldBytes + j] >> (4 * half + 3)) & 1u) << q;
            lanes[j] = lanes[j] + row[code];
          }
        } else {
          const std::uint8_t* bytes = fields + Code::field(r) * kFieldBytes;
          const unsigned shift = 4 * half + Code::shift(r);
          for (std::size_t j = 0; j < 16; ++j) lanes[j] = lanes[j] + row[(bytes[j] >> shift) & ((1u << Bits) - 1u)];
        }
      }
    }
  }
  static void finish(const Acc& acc, const float* const* norms, float query_norm, float* const* outs) {
    for (std::size_t l = 0; l < kBlockLanes; ++l) {
      const float raw = acc.lane[l] * norms[0][l];
      const float denominator = (query_norm * norms[0][l]) + kScoreEpsilon;
      outs[0][l] = raw / denominator;
    }
  }
};

// --- Rows in registers, vpermps ------------------------------------------------
// A row holds Isa::kPermuteEntries floats (the 2^Bits entries repeated), so
// that index bits above the code select nothing different and need no mask;
// Isa::lookup reads the low log2(kPermuteEntries) index bits (AVX2 blends two
// eight-entry halves for 16 entries).

template <class Isa, int Blocks = Isa::kPermuteBlocks>
struct PermuteLookup {
  static constexpr int kBlocks = Blocks;
  using Narrow = PermuteLookup<Isa, 1>;
  static constexpr int kRegs = static_cast<int>(kBlockLanes) / Isa::kFloatLanes;
  // Registers of one field's 16 bytes, and which nibble a register reads.
  static constexpr int kRegsPerNibble = 16 / Isa::kFloatLanes;
  template <int Bits>
  static constexpr int kEntries = Isa::template permute_entries<Bits>();
  template <int Bits>
  static constexpr std::size_t kRowBytes = sizeof(float) * kEntries<Bits>;
  using F = typename Isa::F;
  using I = typename Isa::I;
  struct Acc {
    F v[kBlocks][kRegs];
  };
  static Acc zero() {
    Acc acc;
    for (auto& block : acc.v)
      for (F& x : block) x = Isa::zero();
    return acc;
  }
  template <int Bits>
  static void prepare_row(const float* row, std::uint8_t* out) {
    float entries[kEntries<Bits>];
    for (int j = 0; j < kEntries<Bits>; ++j) entries[j] = row[j % (1 << Bits)];
    std::memcpy(out, entries, sizeof entries);
  }
  template <int Bits, int Count>
  static void add_step(Acc& acc, const std::uint8_t* table, const std::uint8_t* const* blocks, std::size_t step) {
    using Code = StepCode<Bits>;
    constexpr int kFields = Code::kFields;
    for (int g = 0; g < kBlocks; ++g) {
      const std::uint8_t* fields = blocks[g] + step * kFields * kFieldBytes;
      for (int q = 0; q < kRegs; ++q) {
        const std::uint8_t* bytes = fields + (q % kRegsPerNibble) * Isa::kFloatLanes;
        const int nibble = 4 * (q / kRegsPerNibble);
        I raw[kFields];
        for (int f = 0; f < kFields; ++f) raw[f] = Isa::widen_bytes(bytes + f * kFieldBytes);
        for (int r = 0; r < Count; ++r) {
          const typename Isa::template Row<Bits> row(
              reinterpret_cast<const float*>(table + (step * Code::kCoordinates + r) * kRowBytes<Bits>));
          I index;
          if (Code::split(r)) {
            // Bit 3 of field f becomes bit f of the index.
            index = Isa::and_(Isa::srli32(raw[0], nibble + 3), Isa::splat32(1));
            index = Isa::or_(index, Isa::and_(Isa::srli32(raw[1 % kFields], nibble + 2), Isa::splat32(2)));
            index = Isa::or_(index, Isa::and_(Isa::srli32(raw[2 % kFields], nibble + 1), Isa::splat32(4)));
          } else {
            index = Isa::srli32(raw[Code::field(r)], nibble + Code::shift(r));
          }
          acc.v[g][q] = Isa::add(acc.v[g][q], Isa::template lookup<Bits>(row, index));
        }
      }
    }
  }
  static void finish(const Acc& acc, const float* const* norms, float query_norm, float* const* outs) {
    const F qn = Isa::splat(query_norm);
    for (int g = 0; g < kBlocks; ++g) {
      for (int q = 0; q < kRegs; ++q) {
        // Register q holds lanes 16 * (q / kRegsPerNibble) + (q % kRegsPerNibble) * kFloatLanes onwards.
        const std::size_t lane0 = 16 * (q / kRegsPerNibble) + (q % kRegsPerNibble) * Isa::kFloatLanes;
        Isa::store(outs[g] + lane0, cosine<Isa>(acc.v[g][q], Isa::load(norms[g] + lane0), qn));
      }
    }
  }
};

// --- Byte planes, byte shuffles -------------------------------------------------
// A row is four 16-byte planes: plane b holds byte b of each entry (the 2^Bits
// entries repeated to 16). A register of codes holds, in each pair of 128-bit
// lanes, one block's vectors 0-15 then 16-31; shuffling each plane by it gives
// byte b of every lane's entry, and two rounds of unpacks rebuild the f32
// entries, four consecutive vectors per 128-bit lane:
//   register q, lane pair p, half h: block p, vectors 16h + 4q .. 16h + 4q + 3.

template <class Isa, int Sets>
struct PlaneLookup {
  static constexpr int kBlocksPerSet = Isa::kBlocksPerReg;
  static constexpr int kBlocks = Sets * kBlocksPerSet;
  // A register holds kBlocksPerSet blocks: one set is the fewest a pass takes.
  using Narrow = PlaneLookup<Isa, 1>;
  template <int Bits>
  static constexpr std::size_t kRowBytes = 4 * kFieldBytes;
  using F = typename Isa::F;
  using I = typename Isa::I;
  struct Acc {
    F v[Sets][4];
  };
  static Acc zero() {
    Acc acc;
    for (auto& set : acc.v)
      for (F& x : set) x = Isa::zero();
    return acc;
  }
  template <int Bits>
  static void prepare_row(const float* row, std::uint8_t* out) {
    for (int j = 0; j < 16; ++j) {
      std::uint8_t bytes[4];
      std::memcpy(bytes, &row[j % (1 << Bits)], 4);
      for (int b = 0; b < 4; ++b) out[b * kFieldBytes + j] = bytes[b];
    }
  }
  template <int Bits, int Count>
  static void add_step(Acc& acc, const std::uint8_t* table, const std::uint8_t* const* blocks, std::size_t step) {
    using Code = StepCode<Bits>;
    constexpr int kFields = Code::kFields;
    const std::size_t offset = step * kFields * kFieldBytes;
    I raw[Sets][kFields];
    for (int s = 0; s < Sets; ++s) {
      for (int f = 0; f < kFields; ++f)
        raw[s][f] = Isa::load_fields(blocks + s * kBlocksPerSet, offset + f * kFieldBytes);
    }
    for (int r = 0; r < Count; ++r) {
      const std::uint8_t* row = table + (step * Code::kCoordinates + r) * kRowBytes<Bits>;
      const I p0 = Isa::broadcast16(row), p1 = Isa::broadcast16(row + 16), p2 = Isa::broadcast16(row + 32),
              p3 = Isa::broadcast16(row + 48);
      for (int s = 0; s < Sets; ++s) {
        I index;
        if (Code::split(r)) {
          // Bit 3 of field f becomes bit f of the index.
          index = Isa::and_(Isa::srl_nibbles(raw[s][0], 3), Isa::splat8(1));
          index = Isa::or_(index, Isa::and_(Isa::srl_nibbles(raw[s][1 % kFields], 2), Isa::splat8(2)));
          index = Isa::or_(index, Isa::and_(Isa::srl_nibbles(raw[s][2 % kFields], 1), Isa::splat8(4)));
        } else {
          index = Isa::and_(Isa::srl_nibbles(raw[s][Code::field(r)], Code::shift(r)), Isa::splat8(15));
        }
        const I b0 = Isa::shuffle8(p0, index), b1 = Isa::shuffle8(p1, index), b2 = Isa::shuffle8(p2, index),
                b3 = Isa::shuffle8(p3, index);
        const I low01 = Isa::unpacklo8(b0, b1), high01 = Isa::unpackhi8(b0, b1);
        const I low23 = Isa::unpacklo8(b2, b3), high23 = Isa::unpackhi8(b2, b3);
        acc.v[s][0] = Isa::add(acc.v[s][0], Isa::as_float(Isa::unpacklo16(low01, low23)));
        acc.v[s][1] = Isa::add(acc.v[s][1], Isa::as_float(Isa::unpackhi16(low01, low23)));
        acc.v[s][2] = Isa::add(acc.v[s][2], Isa::as_float(Isa::unpacklo16(high01, high23)));
        acc.v[s][3] = Isa::add(acc.v[s][3], Isa::as_float(Isa::unpackhi16(high01, high23)));
      }
    }
  }
  static void finish(const Acc& acc, const float* const* norms, float query_norm, float* const* outs) {
    const F qn = Isa::splat(query_norm);
    for (int s = 0; s < Sets; ++s) {
      for (int q = 0; q < 4; ++q) {
        const F n = Isa::load_quads(norms + s * kBlocksPerSet, 4 * q);
        Isa::store_quads(outs + s * kBlocksPerSet, 4 * q, cosine<Isa>(acc.v[s][q], n, qn));
      }
    }
  }
};

}  // namespace
}  // namespace kernels
}  // namespace velmora
