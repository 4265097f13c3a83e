#include "kernels/simd.h"

#include <cstdlib>
#include <cstring>

namespace velmora {

SimdLevel detected_simd_level() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  // libgcc also checks that the OS saves the wide registers (XCR0).
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
      __builtin_cpu_supports("avx512dq")) {
    return SimdLevel::Avx512;
  }
  if (__builtin_cpu_supports("avx2")) return SimdLevel::Avx2;
#elif defined(__aarch64__)
  return SimdLevel::Neon;
#endif
  return SimdLevel::Scalar;
}

bool simd_level_supported(SimdLevel level) {
  switch (level) {
    case SimdLevel::Reference:
    case SimdLevel::Scalar:
      return true;
    case SimdLevel::Avx2:
    case SimdLevel::Avx512: {
      const SimdLevel detected = detected_simd_level();
      return (detected == SimdLevel::Avx2 || detected == SimdLevel::Avx512) && level <= detected;
    }
    case SimdLevel::Neon:
      return detected_simd_level() == SimdLevel::Neon;
  }
  return false;
}

std::vector<SimdLevel> supported_simd_levels() {
  std::vector<SimdLevel> levels;
  for (int l = 0; l < kSimdLevelCount; ++l) {
    if (simd_level_supported(static_cast<SimdLevel>(l))) levels.push_back(static_cast<SimdLevel>(l));
  }
  return levels;
}

bool cpu_has_avx512_vbmi_vnni() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  return detected_simd_level() == SimdLevel::Avx512 && __builtin_cpu_supports("avx512vbmi") &&
         __builtin_cpu_supports("avx512vnni");
#else
  return false;
#endif
}

bool cpu_has_sse42() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  return __builtin_cpu_supports("sse4.2");
#else
  return false;
#endif
}

namespace {

SimdLevel choose_level() {
  SimdLevel level = detected_simd_level();
  const char* requested = std::getenv("VELMORA_SIMD");
  if (requested == nullptr || *requested == '\0') return level;
  for (int l = 0; l < kSimdLevelCount; ++l) {
    const auto candidate = static_cast<SimdLevel>(l);
    if (std::strcmp(requested, simd_level_name(candidate)) == 0) {
      return simd_level_supported(candidate) ? candidate : level;
    }
  }
  return level;
}

}  // namespace

SimdLevel active_simd_level() {
  static const SimdLevel level = choose_level();
  return level;
}

const char* simd_level_name(SimdLevel level) {
  switch (level) {
    case SimdLevel::Reference:
      return "reference";
    case SimdLevel::Scalar:
      return "scalar";
    case SimdLevel::Avx2:
      return "avx2";
    case SimdLevel::Avx512:
      return "avx512";
    case SimdLevel::Neon:
      return "neon";
  }
  return "unknown";
}

}  // namespace velmora
