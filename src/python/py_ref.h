// An owned reference to a Python object, and the source location macro the
// bindings' panics carry.
#pragma once

#include "python/py_compat.h"

// "file:line" of the expansion, for panics raised by the binding itself.
#define VELMORA_STRINGIFY_(x) #x
#define VELMORA_STRINGIFY(x) VELMORA_STRINGIFY_(x)
#define VELMORA_HERE __FILE__ ":" VELMORA_STRINGIFY(__LINE__)

namespace velmora {

// An owned (strong) reference, released when the holder goes out of scope,
// so that early returns and C++ exceptions cannot leak it.
class PyRef {
 public:
  PyRef() = default;
  // Takes over a new reference (may be null).
  explicit PyRef(PyObject* owned) noexcept : obj_(owned) {}
  static PyRef borrowed(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = other.obj_;
      other.obj_ = nullptr;
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  explicit operator bool() const noexcept { return obj_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept {
    PyObject* obj = obj_;
    obj_ = nullptr;
    return obj;
  }

 private:
  PyObject* obj_ = nullptr;
};

}  // namespace velmora
