// Which instruction sets give which kernels, with what they need of the CPU:
// the one list the families (families.h) are built from, and the one to
// extend when adding an instruction set. Each instruction set's kernels are
// declared here and defined in files of their own (<family>_<set>.cpp), the
// only ones compiled for it; they include this header so that definitions
// and declarations agree. The list is plain data: no code of it is compiled
// for a wide instruction set.
#pragma once

#include <cstddef>

#include "kernels/kernels.h"
#include "kernels/registry.h"
#include "kernels/simd.h"

namespace velmora {
namespace kernels {

#if defined(__x86_64__)
// AVX-512 with VBMI and VNNI: byte permutes and 4-byte dot products
// (bound_avx512_vnni.cpp).
BoundKernel bound_kernel_avx512_vnni();

// AVX-512 (F, BW, VL, DQ): table rows of 16 entries in registers looked up
// with vpermps, and the table's four byte planes looked up with byte
// shuffles two blocks to a register (exact_avx512.cpp); the byte-shuffle
// bound pass four fields to a register (bound_avx512.cpp); the batch
// rotation two vectors to a register, the rest of the rotation as with AVX2
// (rotate_avx512.cpp).
ExactKernel permute_kernel_avx512(int bits);
ExactKernel plane_kernel_avx512(int bits);
BoundKernel bound_kernel_avx512();
RotationKernels rotation_kernels_avx512();

// AVX2: the same two exact formulations with rows of eight entries
// (exact_avx2.cpp); the byte-shuffle bound pass two fields to a register
// (bound_avx2.cpp) and one field of a whole block to a register, which gives
// a group more queries per split of the codes (bound_avx2_fields.cpp); the
// rotation's eight lanes in one register (rotate_avx2.cpp); eight coordinates
// quantised at once (encode_avx2.cpp).
ExactKernel permute_kernel_avx2(int bits);
ExactKernel plane_kernel_avx2(int bits);
BoundKernel bound_kernel_avx2();
BoundKernel bound_kernel_avx2_fields();
RotationKernels rotation_kernels_avx2();
void quantize_avx2(const float* interior, std::size_t interior_count, const float* x, std::size_t n, std::uint8_t* out);

// SSE4.2: the crc32 instruction, eight bytes at a time (crc32c_sse42.cpp).
std::uint32_t crc32c_update_sse42(std::uint32_t state, const unsigned char* p, std::size_t len);
#elif defined(__aarch64__)
// NEON: the exact formulations with TBL, a pair of registers standing for
// AVX2's two in-lane halves (exact_neon.cpp); TBL lookups summed in 16 bits
// (bound_neon.cpp); the rotation's eight lanes in two registers
// (rotate_neon.cpp).
ExactKernel plane_kernel_neon(int bits);
ExactKernel permute_kernel_neon(int bits);
BoundKernel bound_kernel_neon();
RotationKernels rotation_kernels_neon();
#endif

// A kernel that is a plain function, with the name reports give it.
template <class Fn>
struct NamedKernel {
  const char* name;
  Fn fn;
};

// The most kernels one instruction set gives one family.
inline constexpr std::size_t kMaxKernelsPerFamily = 2;

// What one instruction set needs of the CPU, and what it gives each family:
// its kernels in order of preference, unused places null.
struct InstructionSet {
  Requirement needs;
  ExactKernel (*exact[kMaxKernelsPerFamily])(int bits);
  BoundKernel (*bound[kMaxKernelsPerFamily])();        // for one query
  BoundKernel (*group_bound[kMaxKernelsPerFamily])();  // for groups of queries
  RotationKernels (*rotation)();
  NamedKernel<QuantizeFn> quantizer;
  NamedKernel<Crc32cFn> crc32c;
};

// Every instruction set the build targets, in order of preference: a
// family's entries are the kernels of the first set, then those of the
// next. The portable kernels close the list; each family's portable kernel
// is its first one there. A row: needs; exact kernels; bound passes for one
// query; bound passes for groups; rotation; quantiser; CRC-32C.
inline constexpr InstructionSet kInstructionSets[] = {
#if defined(__x86_64__)
    {{SimdLevel::Avx512, "vbmi+vnni", cpu_has_avx512_vbmi_vnni},
     {},
     {bound_kernel_avx512_vnni},
     {bound_kernel_avx512_vnni},
     nullptr,
     {},
     {}},
    {{SimdLevel::Avx512},
     {permute_kernel_avx512, plane_kernel_avx512},
     {bound_kernel_avx512},
     {bound_kernel_avx512},
     rotation_kernels_avx512,
     {},
     {}},
    // For one query the two-field pass does more per load; for groups the
    // one-field pass shares each split of the codes among more queries.
    {{SimdLevel::Avx2},
     {permute_kernel_avx2, plane_kernel_avx2},
     {bound_kernel_avx2, bound_kernel_avx2_fields},
     {bound_kernel_avx2_fields, bound_kernel_avx2},
     rotation_kernels_avx2,
     {"avx2", quantize_avx2},
     {}},
    // Not a level of its own: every x86-64 CPU with AVX2 has it, and some
    // without do too. It is used at every level but the reference one.
    {{SimdLevel::Scalar, "sse4.2", cpu_has_sse42}, {}, {}, {}, nullptr, {}, {"sse4.2", crc32c_update_sse42}},
#elif defined(__aarch64__)
    {{SimdLevel::Neon},
     {plane_kernel_neon, permute_kernel_neon},
     {bound_kernel_neon},
     {bound_kernel_neon},
     rotation_kernels_neon,
     {},
     {}},
#endif
    {{},
     {exact_kernel_portable},
     {bound_kernel_portable},
     {bound_kernel_portable},
     rotation_kernels_portable,
     {"scalar", quantize_portable},
     {"slicing-by-8", crc32c_update_portable}},
};

}  // namespace kernels
}  // namespace velmora
