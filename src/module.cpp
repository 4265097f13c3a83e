// Placeholder entry point; replaced by the full binding.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef velmora_module = {PyModuleDef_HEAD_INIT, "_velmora_rs", nullptr, 0,
                                     nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit__velmora_rs(void) { return PyModule_Create2(&velmora_module, 1013); }
