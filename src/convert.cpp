#include "convert.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <cstring>
#include <limits>

#include "invariant.h"

namespace velmora {

namespace {

// A reported length is only a hint (any object can claim any __len__), so
// no more than this many items are reserved up front; the vector grows
// normally past it.
constexpr Py_ssize_t kMaxReservedItems = Py_ssize_t{1} << 16;
constexpr std::size_t kMaxReservedValues = std::size_t{1} << 25;

void raise_with_type_name(PyObject* exc_type, PyObject* obj, const char* suffix) {
  const std::string name = type_qualname(obj);
  PyErr_Format(exc_type, "'%s'%s", name.c_str(), suffix);
}

// Steps shared by extract_f32_vec and extract_pairs: refuse str and
// non-sequences, read the length hint, get the iterator.
PyRef sequence_iterator(PyObject* obj, Py_ssize_t* length_hint) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return PyRef();
  }
  if (!PySequence_Check(obj)) {
    raise_with_type_name(PyExc_TypeError, obj, " object cannot be converted to 'Sequence'");
    return PyRef();
  }
  Py_ssize_t hint = PySequence_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  *length_hint = hint < kMaxReservedItems ? hint : kMaxReservedItems;
  return PyRef(PyObject_GetIter(obj));
}

// 'f' (f32) or 'd' (f64) in native byte order, else 0.
char native_float_format(const char* format) {
  if (format == nullptr) return 0;
  if (*format == '@' || *format == '=' || *format == '<') {
    if (*format == '<' && PY_BIG_ENDIAN) return 0;
    ++format;
  }
  if ((format[0] == 'f' || format[0] == 'd') && format[1] == '\0') return format[0];
  return 0;
}

// Types whose iteration is known to yield exactly their buffer's values, so
// reading the buffer gives what the item-by-item path would. (A subclass may
// iterate differently and takes the general path.)
bool iterates_as_its_buffer(PyObject* obj) {
  if (Py_IS_TYPE(obj, &PyMemoryView_Type)) return true;
  const char* name = Py_TYPE(obj)->tp_name;
  return std::strcmp(name, "numpy.ndarray") == 0 || std::strcmp(name, "array.array") == 0;
}

// The fast path for one-dimensional f32/f64 buffers: the same values as
// iterating, without a Python object per item. False if obj does not qualify.
template <class Values>
bool append_from_buffer(PyObject* obj, Values* out) {
  if (!iterates_as_its_buffer(obj)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_FORMAT | PyBUF_STRIDES) != 0) {
    PyErr_Clear();
    return false;
  }
  struct Release {
    Py_buffer* view;
    ~Release() { PyBuffer_Release(view); }
  } release{&view};
  const char format = native_float_format(view.format);
  if (view.ndim != 1 || format == 0) return false;
  const Py_ssize_t count = view.shape[0], stride = view.strides[0];
  const char* base = static_cast<const char*>(view.buf);
  const std::size_t first = out->size();
  out->resize(first + static_cast<std::size_t>(count));
  float* dst = out->data() + first;
  if (format == 'f' && stride == static_cast<Py_ssize_t>(sizeof(float))) {
    std::memcpy(dst, base, static_cast<std::size_t>(count) * sizeof(float));
  } else if (format == 'f') {
    for (Py_ssize_t i = 0; i < count; ++i) std::memcpy(dst + i, base + i * stride, sizeof(float));
  } else {
    for (Py_ssize_t i = 0; i < count; ++i) {
      double value;
      std::memcpy(&value, base + i * stride, sizeof(double));
      dst[i] = narrow_to_f32(value);
    }
  }
  return true;
}

bool item_to_f32(PyObject* item, float* out) {
  double value;
  if (PyFloat_CheckExact(item)) {
    value = PyFloat_AS_DOUBLE(item);
  } else {
    value = PyFloat_AsDouble(item);
    if (value == -1.0 && PyErr_Occurred()) return false;
  }
  *out = narrow_to_f32(value);
  return true;
}

}  // namespace

std::string type_qualname(PyObject* obj) {
  PyRef name(PyType_GetQualName(Py_TYPE(obj)));
  if (name) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 != nullptr) return std::string(utf8, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

void python_api_failed(const char* location) {
  PyErr_Print();
  throw InvariantError(location, "Python API call failed");
}

float narrow_to_f32(double value) {
  // Halfway between the largest f32 and 2^128: from here on the nearest
  // f32 (ties to even) is an infinity. Handled here because converting an
  // out-of-range double is undefined behaviour in C++.
  constexpr double kOverflowsToInfinity = 0x1.ffffffp127;
  constexpr float kMax = std::numeric_limits<float>::max();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  if (value >= kOverflowsToInfinity) return kInf;
  if (value <= -kOverflowsToInfinity) return -kInf;
  if (value > static_cast<double>(kMax)) return kMax;
  if (value < -static_cast<double>(kMax)) return -kMax;
  return static_cast<float>(value);  // NaN stays NaN
}

bool extract_u64(PyObject* obj, std::uint64_t* out) {
  unsigned long long value;
  if (PyLong_Check(obj)) {
    value = PyLong_AsUnsignedLongLong(obj);
  } else {
    PyRef index(PyNumber_Index(obj));
    if (!index) return false;
    value = PyLong_AsUnsignedLongLong(index.get());
  }
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = static_cast<std::uint64_t>(value);
  return true;
}

bool extract_u8(PyObject* obj, std::uint8_t* out) {
  const long value = PyLong_AsLong(obj);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  *out = static_cast<std::uint8_t>(value);
  return true;
}

namespace {

// Appends the converted items of obj to *values; on failure the values
// appended so far are dropped again.
// The general path: the object's items one by one.
template <class Values>
bool append_items(PyObject* obj, Values* values) {
  Py_ssize_t hint = 0;
  PyRef iterator = sequence_iterator(obj, &hint);
  if (!iterator) return false;
  const std::size_t first = values->size();
  values->reserve(first + static_cast<std::size_t>(hint));
  while (PyRef item{PyIter_Next(iterator.get())}) {
    float value;
    if (!item_to_f32(item.get(), &value)) {
      values->resize(first);
      return false;
    }
    values->push_back(value);
  }
  if (PyErr_Occurred()) {
    values->resize(first);
    return false;
  }
  return true;
}

template <class Values>
bool append_f32_values(PyObject* obj, Values* values) {
  if (!PyUnicode_Check(obj) && PySequence_Check(obj) && append_from_buffer(obj, values)) return true;
  return append_items(obj, values);
}

// The values of a contiguous native-f32 vector, or null if obj is not one.
// (See extract_pairs for why they may be read after the view is released.)
const float* borrow_f32(PyObject* obj, std::size_t* size) {
  if (!iterates_as_its_buffer(obj)) return nullptr;
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_FORMAT | PyBUF_STRIDES) != 0) {
    PyErr_Clear();
    return nullptr;
  }
  const bool contiguous_f32 = view.ndim == 1 && native_float_format(view.format) == 'f' &&
                              view.strides[0] == static_cast<Py_ssize_t>(sizeof(float));
  const float* values = contiguous_f32 ? static_cast<const float*>(view.buf) : nullptr;
  *size = contiguous_f32 ? static_cast<std::size_t>(view.shape[0]) : 0;
  PyBuffer_Release(&view);
  return values;
}

}  // namespace

bool extract_f32_vec(PyObject* obj, std::vector<float>* out) {
  std::vector<float> values;
  if (!append_f32_values(obj, &values)) return false;
  *out = std::move(values);
  return true;
}

bool extract_pairs(PyObject* obj, PreparedPairs* out) {
  Py_ssize_t hint = 0;
  PyRef iterator = sequence_iterator(obj, &hint);
  if (!iterator) return false;
  // Iterating an exact list or tuple runs no Python code, so nothing can
  // change a borrowed vector behind the conversion's back.
  const bool may_borrow = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
  PreparedPairs& pairs = *out;
  bool sized = false;
  while (PyRef element{PyIter_Next(iterator.get())}) {
    if (!PyTuple_Check(element.get())) {
      raise_with_type_name(PyExc_TypeError, element.get(), " object cannot be converted to 'PyTuple'");
      return false;
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(element.get());
    if (size != 2) {
      PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd", size);
      return false;
    }
    PyObject* id_object = PyTuple_GET_ITEM(element.get(), 0);
    PyObject* vector_object = PyTuple_GET_ITEM(element.get(), 1);
    std::uint64_t id;
    if (!PyLong_Check(id_object)) pairs.materialize();  // __index__ may run Python code
    if (!extract_u64(id_object, &id)) return false;
    std::size_t length = 0;
    const float* borrowed = may_borrow ? borrow_f32(vector_object, &length) : nullptr;
    if (borrowed != nullptr) {
      pairs.add_borrowed(id, FloatView(borrowed, length));
    } else {
      PageArray<float>& values = pairs.values();
      const bool plain_buffer = !PyUnicode_Check(vector_object) && PySequence_Check(vector_object) &&
                                append_from_buffer(vector_object, &values);
      if (!plain_buffer) {
        pairs.materialize();  // item conversion may run Python code
        if (!append_items(vector_object, &values)) return false;
      }
      pairs.close_pair(id);
    }
    if (!sized) {
      // The first vector's length times the hint sizes the buffers; both are
      // only hints, so the reservation is capped and may fail harmlessly.
      const std::size_t values = std::min(static_cast<std::size_t>(hint) * pairs.vector(0).size, kMaxReservedValues);
      try {
        pairs.reserve(static_cast<std::size_t>(hint), borrowed != nullptr ? 0 : values);
      } catch (const std::bad_alloc&) {
      }
      sized = true;
    }
  }
  return !PyErr_Occurred();
}

PyObject* pairs_to_list(const std::vector<ScoredPair>& pairs) {
  PyRef list(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
  if (!list) python_api_failed(VELMORA_HERE);
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    PyRef id(PyLong_FromUnsignedLongLong(pairs[i].id));
    if (!id) python_api_failed(VELMORA_HERE);
    PyRef score(PyFloat_FromDouble(static_cast<double>(pairs[i].score)));
    if (!score) python_api_failed(VELMORA_HERE);
    PyObject* tuple = PyTuple_New(2);
    if (tuple == nullptr) python_api_failed(VELMORA_HERE);
    PyTuple_SET_ITEM(tuple, 0, id.release());
    PyTuple_SET_ITEM(tuple, 1, score.release());
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);
  }
  return list.release();
}

}  // namespace velmora
