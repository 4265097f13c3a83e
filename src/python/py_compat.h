// The parts of CPython 3.12's C API the bindings use that 3.11 lacks, built
// from what 3.11 has, so that one source compiles for both.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030C0000

// 3.11 holds a raised exception as a (type, value, traceback) triple; 3.12
// as the exception object alone, normalised, its traceback attached to it.
static inline PyObject* PyErr_GetRaisedException(void) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr) {
    PyException_SetTraceback(value, traceback);
    Py_DECREF(traceback);
  }
  Py_DECREF(type);
  return value;
}

// Steals the reference to `exception`; null clears the error indicator.
static inline void PyErr_SetRaisedException(PyObject* exception) {
  if (exception == nullptr) {
    PyErr_Clear();
    return;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
  Py_INCREF(type);
  PyErr_Restore(type, exception, PyException_GetTraceback(exception));
}

#endif
