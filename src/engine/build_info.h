// What a running engine is made of and runs on: the compiler and flags it was
// built with, the CPU, the instruction-set level and the kernels chosen for
// each bit width and every other kernel family, and the worker pool's size. For diagnostics and for the
// record that goes with every benchmark figure.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "kernels/registry.h"

namespace velmora {

struct EngineConfig {
  std::string compiler;               // e.g. "GCC 12.2.0"
  std::string build_type;             // e.g. "Release"
  std::string flags;                  // the flags every engine file is compiled with
  std::string cpu;                    // the model name the OS reports
  std::string simd_detected;          // the best level this CPU supports
  std::string simd_active;            // the level in use
  std::string simd_requested;         // "VELMORA_SIMD", or empty when unset
  std::string exact_kernel[3];        // for 2, 3 and 4 bits
  std::string bound_kernel[3];        // the bound pass for one query
  std::string group_bound_kernel[3];  // ... and for groups of queries (Index.search)
  // Every kernel family's candidates and choice at the active level.
  std::vector<kernels::FamilyReport> kernels;
  std::size_t threads = 0;
  std::string threads_source;  // the variable that set the pool size, or "logical CPUs"
};

// Fills in the choice of every kernel family (choosing those not chosen
// yet) and starts the worker pool if no map has run yet.
EngineConfig engine_config();

// The "model name" line of /proc/cpuinfo, or "unknown".
std::string cpu_model();

}  // namespace velmora
