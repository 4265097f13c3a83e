#include "python/array_args.h"

#include <cstring>
#include <string>

#include "python/convert.h"

namespace velmora {

namespace {

// The format's type character when it describes one native-order item, else 0.
char format_char(const Py_buffer& view) {
  const char* format = view.format != nullptr ? view.format : "B";
  if (*format == '@' || *format == '=' || *format == '<') {
    if (*format == '<' && PY_BIG_ENDIAN) return 0;
    ++format;
  }
  if (format[0] == '\0' || format[1] != '\0') return 0;
  return format[0];
}

std::string shape_text(const Py_buffer& view) {
  std::string text = "(";
  for (int i = 0; i < view.ndim; ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(view.shape[i]);
  }
  return text + (view.ndim == 1 ? ",)" : ")");
}

bool check_ndim(const Py_buffer& view, const char* name, int ndim) {
  if (view.ndim == ndim) return true;
  PyErr_Format(PyExc_ValueError, "%s must be %d-dimensional, got shape %s", name, ndim, shape_text(view).c_str());
  return false;
}

bool check_item(const Py_buffer& view, const char* name, const char* types, Py_ssize_t itemsize, const char* expected) {
  const char c = format_char(view);
  if (c != 0 && std::strchr(types, c) != nullptr && view.itemsize == itemsize) return true;
  PyErr_Format(PyExc_TypeError, "%s must hold %s, got items of format '%s'", name, expected,
               view.format != nullptr ? view.format : "B");
  return false;
}

const char* at(const Py_buffer& view, std::size_t i) {
  return static_cast<const char*>(view.buf) + static_cast<Py_ssize_t>(i) * view.strides[0];
}

const char* at(const Py_buffer& view, std::size_t i, std::size_t j) {
  return static_cast<const char*>(view.buf) + static_cast<Py_ssize_t>(i) * view.strides[0] +
         static_cast<Py_ssize_t>(j) * view.strides[1];
}

}  // namespace

bool HeldBuffer::acquire(PyObject* obj, const char* name) {
  if (PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) != 0) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_BufferError)) {
      PyErr_Clear();
      const std::string type = type_qualname(obj);
      PyErr_Format(PyExc_TypeError, "%s must support the buffer protocol, got '%s'", name, type.c_str());
    }
    return false;
  }
  held_ = true;
  return true;
}

bool check_u64_vector(const Py_buffer& view, const char* name, std::size_t* length) {
  if (!check_ndim(view, name, 1) || !check_item(view, name, "QL", 8, "unsigned 64-bit integers")) return false;
  *length = static_cast<std::size_t>(view.shape[0]);
  return true;
}

bool check_f32_vector(const Py_buffer& view, const char* name, std::size_t* length) {
  if (!check_ndim(view, name, 1) || !check_item(view, name, "f", 4, "float32 values")) return false;
  *length = static_cast<std::size_t>(view.shape[0]);
  return true;
}

bool check_f64_vector(const Py_buffer& view, const char* name, std::size_t* length) {
  if (!check_ndim(view, name, 1) || !check_item(view, name, "d", 8, "float64 values")) return false;
  *length = static_cast<std::size_t>(view.shape[0]);
  return true;
}

bool check_u16_vector(const Py_buffer& view, const char* name, std::size_t* length) {
  if (!check_ndim(view, name, 1) || !check_item(view, name, "H", 2, "unsigned 16-bit integers")) return false;
  *length = static_cast<std::size_t>(view.shape[0]);
  return true;
}

bool check_u8_matrix(const Py_buffer& view, const char* name, std::size_t* rows, std::size_t* columns) {
  if (!check_ndim(view, name, 2) || !check_item(view, name, "B", 1, "unsigned bytes")) return false;
  *rows = static_cast<std::size_t>(view.shape[0]);
  *columns = static_cast<std::size_t>(view.shape[1]);
  return true;
}

bool check_float_matrix(const Py_buffer& view, const char* name, std::size_t columns, std::size_t* rows,
                        FloatKind* kind) {
  if (!check_ndim(view, name, 2)) return false;
  const char c = format_char(view);
  if (c == 'f' && view.itemsize == 4) {
    *kind = FloatKind::F32;
  } else if (c == 'd' && view.itemsize == 8) {
    *kind = FloatKind::F64;
  } else {
    return check_item(view, name, "", 0, "float32 or float64 values");
  }
  if (static_cast<std::size_t>(view.shape[1]) != columns) {
    PyErr_Format(PyExc_ValueError, "Dimension mismatch: expected %zu, got %zd", columns, view.shape[1]);
    return false;
  }
  *rows = static_cast<std::size_t>(view.shape[0]);
  return true;
}

void copy_u64_vector(const Py_buffer& view, std::uint64_t* out) {
  const std::size_t n = static_cast<std::size_t>(view.shape[0]);
  if (view.strides[0] == 8) {
    if (n > 0) std::memcpy(out, view.buf, n * 8);
    return;
  }
  for (std::size_t i = 0; i < n; ++i) std::memcpy(out + i, at(view, i), 8);
}

void copy_f32_vector(const Py_buffer& view, float* out) {
  const std::size_t n = static_cast<std::size_t>(view.shape[0]);
  for (std::size_t i = 0; i < n; ++i) std::memcpy(out + i, at(view, i), 4);
}

void copy_f64_vector(const Py_buffer& view, double* out) {
  const std::size_t n = static_cast<std::size_t>(view.shape[0]);
  for (std::size_t i = 0; i < n; ++i) std::memcpy(out + i, at(view, i), 8);
}

void copy_u16_vector(const Py_buffer& view, std::uint16_t* out) {
  const std::size_t n = static_cast<std::size_t>(view.shape[0]);
  for (std::size_t i = 0; i < n; ++i) std::memcpy(out + i, at(view, i), 2);
}

void copy_u8_matrix(const Py_buffer& view, std::uint8_t* out) {
  const std::size_t rows = static_cast<std::size_t>(view.shape[0]), columns = static_cast<std::size_t>(view.shape[1]);
  for (std::size_t i = 0; i < rows; ++i) {
    if (view.strides[1] == 1) {
      if (columns > 0) std::memcpy(out + i * columns, at(view, i, 0), columns);
      continue;
    }
    for (std::size_t j = 0; j < columns; ++j) out[i * columns + j] = static_cast<std::uint8_t>(*at(view, i, j));
  }
}

void copy_float_rows(const Py_buffer& view, FloatKind kind, std::size_t first, std::size_t count, float* out) {
  const std::size_t columns = static_cast<std::size_t>(view.shape[1]);
  const Py_ssize_t item = kind == FloatKind::F32 ? 4 : 8;
  for (std::size_t r = 0; r < count; ++r) {
    float* row = out + r * columns;
    if (kind == FloatKind::F32 && view.strides[1] == item) {
      std::memcpy(row, at(view, first + r, 0), columns * sizeof(float));
    } else if (kind == FloatKind::F32) {
      for (std::size_t j = 0; j < columns; ++j) std::memcpy(row + j, at(view, first + r, j), sizeof(float));
    } else {
      for (std::size_t j = 0; j < columns; ++j) {
        double value;
        std::memcpy(&value, at(view, first + r, j), sizeof value);
        row[j] = narrow_to_f32(value);
      }
    }
  }
}

void copy_float_rows_f64(const Py_buffer& view, FloatKind kind, std::size_t first, std::size_t count, double* out) {
  const std::size_t columns = static_cast<std::size_t>(view.shape[1]);
  for (std::size_t r = 0; r < count; ++r) {
    double* row = out + r * columns;
    if (kind == FloatKind::F32 && view.strides[1] == sizeof(float) &&
        reinterpret_cast<std::uintptr_t>(at(view, first + r, 0)) % alignof(float) == 0) {
      const auto* values = reinterpret_cast<const float*>(at(view, first + r, 0));
      for (std::size_t j = 0; j < columns; ++j) row[j] = values[j];
      continue;
    }
    if (kind == FloatKind::F64 && view.strides[1] == sizeof(double)) {
      if (columns > 0) std::memcpy(row, at(view, first + r, 0), columns * sizeof(double));
      continue;
    }
    for (std::size_t j = 0; j < columns; ++j) {
      if (kind == FloatKind::F32) {
        float value;
        std::memcpy(&value, at(view, first + r, j), sizeof value);
        row[j] = value;
      } else {
        std::memcpy(row + j, at(view, first + r, j), sizeof(double));
      }
    }
  }
}

}  // namespace velmora
