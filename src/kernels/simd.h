// Instruction-set levels of the kernels, chosen once per process by a CPU
// check. Every level computes bit-identical results; "VELMORA_SIMD" can force
// a lower level (for tests and benchmarks).
#pragma once

namespace velmora {

enum class SimdLevel {
  Reference = 0,  // the straightforward per-entry algorithms, kept as the yardstick
  Scalar = 1,     // portable code on the fast data layout
  Avx2 = 2,
  Avx512 = 3,
};

// The best level this CPU and OS support.
SimdLevel detected_simd_level();

// The level in use: the detected one, lowered by "VELMORA_SIMD" ("reference",
// "scalar", "avx2", "avx512") when set. A request above what the CPU supports
// gives the best supported level.
SimdLevel active_simd_level();

const char* simd_level_name(SimdLevel level);

// Whether the CPU has AVX-512 VBMI and VNNI besides the AVX-512 level, which
// one more bound pass needs (it is a candidate at that level only).
bool cpu_has_avx512_vbmi_vnni();

// Whether the CPU has the SSE4.2 CRC-32C instruction.
bool cpu_has_sse42();

}  // namespace velmora
