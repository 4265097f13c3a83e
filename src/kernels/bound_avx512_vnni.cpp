// The integer bound pass with AVX-512 VBMI and VNNI: byte permutes across the
// whole register and 4-byte dot products, which sum four fields of a vector
// in one instruction.
//
// A register of codes holds four fields of one block (block_format.h). One
// vpermb transposes its bytes so that each 32-bit lane holds one byte of each
// of the four fields: lane j, byte i is byte j of field i, i.e. the nibbles of
// vectors j (low) and j + 16 (high). A nibble plus 16 * i then indexes the
// 64 table bytes of those four fields, exactly as the tables are laid out,
// so one vpermb looks up 4 fields of 16 vectors, and vpdpbusd with weights 1
// adds a lane's four bytes into its 32-bit sum. The transposition and nibble
// split are done once per load for every query of a group; what remains per
// query and register is two lookups and two dot products, against two
// shuffles, two shifts and four additions in the 16-bit formulation
// (bound_shuffle.h). Sums stay exact in 32 bits: ScoreBound keeps fields *
// 255 below 2^31.
//
// Internal linkage throughout: this translation unit alone is compiled for
// these instructions.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "kernels/bound_kernel.h"
#include "kernels/instruction_sets.h"
#include "kernels/kernels.h"

namespace velmora {
namespace kernels {
namespace {

// Byte 4j + i of the transposed codes takes byte 16i + j of the loaded ones;
// the offsets 16i select field i's 16 table entries. Both are built once per
// call of the kernel.
struct VnniBoundPass {
  // Queries per pass over a block: two accumulators each.
  static constexpr int kQueriesPerPass = 4;

  __m512i transpose, offsets;

  VnniBoundPass() {
    alignas(64) std::uint8_t order[64], offset[64];
    for (int j = 0; j < 16; ++j) {
      for (int i = 0; i < 4; ++i) {
        order[4 * j + i] = static_cast<std::uint8_t>(16 * i + j);
        offset[4 * j + i] = static_cast<std::uint8_t>(16 * i);
      }
    }
    transpose = _mm512_load_si512(order);
    offsets = _mm512_load_si512(offset);
  }

  // The sums of one block for Q queries of a group, from query q0 on.
  template <int Q>
  void sum_block(const BoundGroupArgs& a, std::size_t q0, std::size_t b, std::size_t block_count, std::uint32_t* sums,
                 std::uint32_t* survivors) const {
    const __m512i low_nibbles = _mm512_set1_epi8(0x0F), ones = _mm512_set1_epi8(1);
    const std::uint8_t* block = a.blocks + b * a.block_bytes;
    __m512i low_sums[Q], high_sums[Q];  // vectors 0-15 and 16-31
    for (int q = 0; q < Q; ++q) low_sums[q] = high_sums[q] = _mm512_setzero_si512();
    for (std::size_t f = 0; f < a.fields; f += 4) {
      const __m512i codes = _mm512_permutexvar_epi8(transpose, _mm512_loadu_si512(block + f * kFieldBytes));
      // (nibble & 0x0F) | offset, one ternary-logic instruction each.
      const __m512i low = _mm512_ternarylogic_epi32(codes, low_nibbles, offsets, 0xEA);
      const __m512i high = _mm512_ternarylogic_epi32(_mm512_srli_epi16(codes, 4), low_nibbles, offsets, 0xEA);
      for (int q = 0; q < Q; ++q) {
        const __m512i table = _mm512_loadu_si512(a.tables[q0 + q] + f * kFieldBytes);
        low_sums[q] = _mm512_dpbusd_epi32(low_sums[q], _mm512_permutexvar_epi8(low, table), ones);
        high_sums[q] = _mm512_dpbusd_epi32(high_sums[q], _mm512_permutexvar_epi8(high, table), ones);
      }
    }
    for (int q = 0; q < Q; ++q) {
      std::uint32_t* out = sums + ((q0 + q) * block_count + b) * kBlockLanes;
      _mm512_storeu_si512(out, low_sums[q]);
      _mm512_storeu_si512(out + 16, high_sums[q]);
      const __m512i limit = _mm512_set1_epi32(static_cast<int>(a.limits[q0 + q]));
      survivors[(q0 + q) * block_count + b] =
          static_cast<std::uint32_t>(_mm512_cmpgt_epu32_mask(low_sums[q], limit)) |
          (static_cast<std::uint32_t>(_mm512_cmpgt_epu32_mask(high_sums[q], limit)) << 16);
    }
  }
};

}  // namespace

BoundKernel bound_kernel_avx512_vnni() { return bound_kernel<VnniBoundPass>("avx512-vnni-bound"); }

}  // namespace kernels
}  // namespace velmora
