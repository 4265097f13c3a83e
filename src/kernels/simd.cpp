#include "kernels/simd.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace velmora {

SimdLevel detected_simd_level() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  // libgcc also checks that the OS saves the wide registers (XCR0).
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq")) {
    return SimdLevel::Avx512;
  }
  if (__builtin_cpu_supports("avx2")) return SimdLevel::Avx2;
#endif
  return SimdLevel::Scalar;
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
  for (SimdLevel candidate : {SimdLevel::Reference, SimdLevel::Scalar, SimdLevel::Avx2, SimdLevel::Avx512}) {
    if (std::strcmp(requested, simd_level_name(candidate)) == 0) {
      return static_cast<int>(candidate) < static_cast<int>(level) ? candidate : level;
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
    case SimdLevel::Reference: return "reference";
    case SimdLevel::Scalar: return "scalar";
    case SimdLevel::Avx2: return "avx2";
    case SimdLevel::Avx512: return "avx512";
  }
  return "unknown";
}

}  // namespace velmora
