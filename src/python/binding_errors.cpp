#include "python/binding_errors.h"

#include <cstdio>

#include "python/convert.h"
#include "python/module_texts.h"

namespace velmora {

namespace {

// Created under the interpreter lock, never freed. Each module that links
// this library has its own copy.
PyObject* g_panic_type = nullptr;

}  // namespace

PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(texts::kPanicTypeName, texts::kPanicDoc, PyExc_BaseException, nullptr);
    if (g_panic_type == nullptr) Py_FatalError("failed to create the PanicException class");
  }
  return g_panic_type;
}

void raise_panic(const std::string& location, const std::string& message) noexcept {
  try {
    std::fprintf(stderr, "velmora: internal invariant broken at %s: %s\n", location.c_str(), message.c_str());
    std::fflush(stderr);
    PyErr_Clear();
    PyObject* type = panic_exception_type();
    PyRef text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) Py_FatalError(texts::kUncaughtPanic);
    PyErr_SetObject(type, text.get());
  } catch (...) {
    Py_FatalError(texts::kUncaughtPanic);
  }
}

}  // namespace velmora
