// The engine's report of itself, as Python sees it (velmora.show_config).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velmora {

// engine_config() -> dict of str and int: compiler, build_type, flags, cpu,
// simd_detected, simd_active, simd_requested, exact_kernels, bound_kernels
// and group_bound_kernels (dicts by bit width), kernels (every kernel
// family's candidates and choice), threads, threads_source.
PyObject* engine_config_dict(PyObject* module, PyObject* unused);

}  // namespace velmora
