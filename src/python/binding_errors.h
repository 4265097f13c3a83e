// How the extension modules report failures that are not Python exceptions:
// a broken internal invariant becomes the panic exception (a BaseException),
// std::bad_alloc becomes MemoryError. No C++ exception crosses into the
// interpreter: every entry point runs its body inside guarded().
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string>

#include "engine/invariant.h"

namespace velmora {

// The panic exception class of the calling module ("pyo3_runtime.PanicException",
// derived from BaseException), created on first use.
PyObject* panic_exception_type();

// Writes the report to standard error and replaces any pending exception by
// PanicException(message).
void raise_panic(const std::string& location, const std::string& message) noexcept;

// Runs one entry point's body and converts any C++ exception escaping it.
template <class R, class Body>
R guarded(R error_value, Body&& body) noexcept {
  try {
    return body();
  } catch (const InvariantError& e) {
    raise_panic(e.location(), e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic("<unknown location>", e.what());
  } catch (...) {
    raise_panic("<unknown location>", "unknown C++ exception");
  }
  return error_value;
}

}  // namespace velmora
