// Prints how the engine was built and what the kernel registry chose on this
// machine at the active level: each family's candidates, whether the CPU runs
// them, their self-test, their median time and the choice.
//
//   kernel_report
#include <cstdio>

#include "engine/build_info.h"

int main() {
  const velmora::EngineConfig config = velmora::engine_config();
  std::printf("compiler %s, %s: %s\n", config.compiler.c_str(), config.build_type.c_str(), config.flags.c_str());
  std::printf("cpu %s; level %s (detected %s)\n", config.cpu.c_str(), config.simd_active.c_str(),
              config.simd_detected.c_str());
  for (const velmora::kernels::FamilyReport& family : config.kernels) {
    std::printf("%-12s %s  [", family.family.c_str(), family.chosen.c_str());
    const char* separator = "";
    for (const velmora::kernels::CandidateReport& c : family.candidates) {
      const char* test = c.self_test == velmora::kernels::SelfTest::Passed   ? "passed"
                         : c.self_test == velmora::kernels::SelfTest::Failed ? "FAILED"
                         : c.allowed                                         ? "portable"
                                                                             : "not run";
      std::printf("%s%s: %s", separator, c.name.c_str(), c.supported ? test : "unsupported");
      if (c.median_seconds >= 0.0) std::printf(" %.1f us", c.median_seconds * 1e6);
      separator = "; ";
    }
    std::printf("]\n");
  }
  return 0;
}
