// Instruction-set levels of the kernels, chosen once per process by a CPU
// check. Every level computes bit-identical results; "VELMORA_SIMD" can force
// a lower level (for tests and benchmarks).
#pragma once

#include <vector>

namespace velmora {

// Reference and Scalar exist everywhere; the others belong to one
// architecture each, and only levels of the same architecture are ordered
// (a CPU never has levels of two).
enum class SimdLevel {
  Reference = 0,  // the straightforward per-entry algorithms, kept as the yardstick
  Scalar = 1,     // portable code on the fast data layout
  Avx2 = 2,       // x86-64
  Avx512 = 3,     // x86-64
  Neon = 4,       // aarch64 (every ARMv8-A CPU has it)
};
inline constexpr int kSimdLevelCount = 5;

// The best level this CPU and OS support.
SimdLevel detected_simd_level();

// Whether this CPU runs a level: the reference and scalar levels, and those
// of its architecture up to the detected one.
bool simd_level_supported(SimdLevel level);

// The levels this CPU runs, lowest first.
std::vector<SimdLevel> supported_simd_levels();

// The level in use: the detected one, lowered by "VELMORA_SIMD" ("reference",
// "scalar", "avx2", "avx512", "neon") when set. A level this CPU does not
// run, or an unknown name, is ignored.
SimdLevel active_simd_level();

const char* simd_level_name(SimdLevel level);

// Whether the CPU has AVX-512 VBMI and VNNI besides the AVX-512 level, which
// one more bound pass needs (it is a candidate at that level only).
bool cpu_has_avx512_vbmi_vnni();

// Whether the CPU has the SSE4.2 CRC-32C instruction.
bool cpu_has_sse42();

}  // namespace velmora
