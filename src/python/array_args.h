// Array arguments read through the buffer protocol. A HeldBuffer keeps its
// export until it goes out of scope, so the memory stays valid (and cannot
// be resized) for as long as the call uses it. The checks recognise element
// types by the buffer's format and item size alone.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

namespace velmora {

class HeldBuffer {
 public:
  HeldBuffer() = default;
  HeldBuffer(const HeldBuffer&) = delete;
  HeldBuffer& operator=(const HeldBuffer&) = delete;
  // Released with the interpreter lock held: the holder must not outlive
  // the section that holds the lock.
  ~HeldBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  // Exports obj's buffer with its shape, strides and format; false with
  // TypeError set when obj has none. Exporting may run Python code.
  bool acquire(PyObject* obj, const char* name);
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

enum class FloatKind { F32, F64 };

// Each returns false with TypeError (wrong element type) or ValueError
// (wrong shape) set, naming the argument.
bool check_u64_vector(const Py_buffer& view, const char* name, std::size_t* length);
bool check_f32_vector(const Py_buffer& view, const char* name, std::size_t* length);
bool check_f64_vector(const Py_buffer& view, const char* name, std::size_t* length);
bool check_u16_vector(const Py_buffer& view, const char* name, std::size_t* length);
bool check_u8_matrix(const Py_buffer& view, const char* name, std::size_t* rows, std::size_t* columns);
// A 2-D float32 or float64 matrix of `columns` columns (a wrong column count
// raises the store's dimension-mismatch message).
bool check_float_matrix(const Py_buffer& view, const char* name, std::size_t columns, std::size_t* rows,
                        FloatKind* kind);

// Copies out of checked views, following their strides.
void copy_u64_vector(const Py_buffer& view, std::uint64_t* out);
void copy_f32_vector(const Py_buffer& view, float* out);
void copy_f64_vector(const Py_buffer& view, double* out);
void copy_u16_vector(const Py_buffer& view, std::uint16_t* out);
void copy_u8_matrix(const Py_buffer& view, std::uint8_t* out);
// Rows [first, first + count) as f32; float64 values are narrowed as the
// store narrows them (nearest, ties to even, overflow to an infinity).
void copy_float_rows(const Py_buffer& view, FloatKind kind, std::size_t first, std::size_t count, float* out);
// Rows [first, first + count) as f64 (float32 values widen exactly).
void copy_float_rows_f64(const Py_buffer& view, FloatKind kind, std::size_t first, std::size_t count, double* out);

}  // namespace velmora
