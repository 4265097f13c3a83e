#include "python/convert.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#include "engine/invariant.h"
#include "python/module_texts.h"
#include "python/py_compat.h"

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
    PyErr_SetString(PyExc_TypeError, texts::kStrToVec);
    return PyRef();
  }
  if (!PySequence_Check(obj)) {
    raise_with_type_name(PyExc_TypeError, obj, texts::kNotSequence);
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

// The exporters whose iteration yields exactly their buffer's values.
// They are recognised by the identity of their type objects, never by name:
// subclasses, and look-alikes defining __buffer__, may iterate differently
// and take the general path.
enum class BufferKind { None, MemoryView, NumpyArray, ArrayArray };

// Process-wide, like the rest of the binding's state: once found, a type
// stays referenced for the life of the process.
PyTypeObject* g_numpy_array_type = nullptr;
PyTypeObject* g_array_array_type = nullptr;

// module.attribute, if that module has been imported and the attribute is a
// type that Python code cannot have defined (such types are never
// immutable). Nothing is imported here: an object of a module that was never
// imported cannot be passed in. May run Python code (a module's attribute
// hook), so callers run it before they borrow anything.
PyTypeObject* find_native_type(const char* module_name, const char* attribute) {
  PyRef name(PyUnicode_FromString(module_name));
  if (!name) {
    PyErr_Clear();
    return nullptr;
  }
  PyRef module(PyImport_GetModule(name.get()));
  if (!module || !PyModule_CheckExact(module.get())) {
    PyErr_Clear();
    return nullptr;
  }
  PyRef type(PyObject_GetAttrString(module.get(), attribute));
  if (!type || !PyType_Check(type.get()) ||
      !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(type.get()), Py_TPFLAGS_IMMUTABLETYPE)) {
    PyErr_Clear();
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(type.release());
}

// Looks up the exporter types not found yet; called at the start of every
// conversion that may take the buffer path.
void find_buffer_types() {
  if (g_numpy_array_type == nullptr) g_numpy_array_type = find_native_type("numpy", "ndarray");
  if (g_array_array_type == nullptr) g_array_array_type = find_native_type("array", "array");
}

BufferKind buffer_kind(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (type == &PyMemoryView_Type) return BufferKind::MemoryView;
  if (type == g_numpy_array_type && type != nullptr) return BufferKind::NumpyArray;
  if (type == g_array_array_type && type != nullptr) return BufferKind::ArrayArray;
  return BufferKind::None;
}

// 'f' (f32) or 'd' (f64) if iterating an exporter of this kind yields the
// floats of a buffer of this format, else 0. memoryview iterates native
// single-character formats only ('@' optional): "<f" and "=f" raise
// NotImplementedError there. numpy and array.array convert any byte order
// they export themselves; standard little-endian sizes equal the native ones
// on a little-endian machine.
char float_format(BufferKind kind, const char* format) {
  if (format == nullptr) return 0;
  if (*format == '@') {
    ++format;
  } else if (kind != BufferKind::MemoryView && (*format == '=' || (*format == '<' && !PY_BIG_ENDIAN))) {
    ++format;
  }
  if ((format[0] == 'f' || format[0] == 'd') && format[1] == '\0') return format[0];
  return 0;
}

// A one-dimensional f32 or f64 buffer of a recognised exporter, held until
// the holder goes out of scope.
class FloatBuffer {
 public:
  explicit FloatBuffer(PyObject* obj) {
    const BufferKind kind = buffer_kind(obj);
    if (kind == BufferKind::None) return;
    if (PyObject_GetBuffer(obj, &view_, PyBUF_FORMAT | PyBUF_STRIDES) != 0) {
      PyErr_Clear();
      return;
    }
    held_ = true;
    format_ = view_.ndim == 1 ? float_format(kind, view_.format) : 0;
  }
  FloatBuffer(const FloatBuffer&) = delete;
  FloatBuffer& operator=(const FloatBuffer&) = delete;
  ~FloatBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  bool usable() const { return format_ != 0; }
  std::size_t count() const { return static_cast<std::size_t>(view_.shape[0]); }

  // Contiguous, aligned f32 values that may be read in place, or null.
  const float* aligned_f32() const {
    if (format_ != 'f' || view_.strides[0] != static_cast<Py_ssize_t>(sizeof(float))) return nullptr;
    if (reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(float) != 0) return nullptr;
    return static_cast<const float*>(view_.buf);
  }

  // The values narrowed to f32, as iterating gives them. Reads through
  // memcpy: the buffer may be unaligned.
  void copy_to(float* dst) const {
    const std::size_t n = count();
    const Py_ssize_t stride = view_.strides[0];
    const char* base = static_cast<const char*>(view_.buf);
    if (n == 0) return;
    if (format_ == 'f' && stride == static_cast<Py_ssize_t>(sizeof(float))) {
      std::memcpy(dst, base, n * sizeof(float));
    } else if (format_ == 'f') {
      for (std::size_t i = 0; i < n; ++i) {
        std::memcpy(dst + i, base + static_cast<Py_ssize_t>(i) * stride, sizeof(float));
      }
    } else {
      for (std::size_t i = 0; i < n; ++i) {
        double value;
        std::memcpy(&value, base + static_cast<Py_ssize_t>(i) * stride, sizeof(double));
        dst[i] = narrow_to_f32(value);
      }
    }
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
  char format_ = 0;
};

// The fast path for recognised one-dimensional f32/f64 buffers: the same
// values as iterating, without a Python object per item. False if obj does
// not qualify. Runs no Python code: the exporters are recognised types.
template <class Values>
bool append_from_buffer(PyObject* obj, Values* out) {
  const FloatBuffer buffer(obj);
  if (!buffer.usable()) return false;
  const std::size_t first = out->size();
  out->resize(first + buffer.count());
  buffer.copy_to(out->data() + first);
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

namespace {

PyObject* unprintable_text(PyObject* exc) {
  PyRef name(PyType_GetName(Py_TYPE(exc)));
  if (!name) {
    PyErr_Clear();
    return PyUnicode_FromString(texts::kUnprintableObject);
  }
  return PyUnicode_FromFormat(texts::kUnprintableTypedObject, name.get());
}

}  // namespace

void name_argument_in_type_error(const char* param) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr || Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(raised);
    return;
  }
  PyRef caught(raised);
  PyRef text(PyObject_Str(raised));
  if (!text) {
    PyErr_WriteUnraisable(raised);
    text = PyRef(unprintable_text(raised));
    if (!text) return;
  }
  PyRef message(PyUnicode_FromFormat(texts::kArgumentError, param, text.get()));
  if (!message) return;
  PyRef renamed(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!renamed) return;
  if (PyObject* cause = PyException_GetCause(raised)) {
    PyException_SetCause(renamed.get(), cause);  // steals the reference
  }
  PyErr_SetRaisedException(renamed.release());
}

std::string type_qualname(PyObject* obj) {
  PyRef name(PyType_GetQualName(Py_TYPE(obj)));
  if (name) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name.get(), &size);
    if (utf8 != nullptr) return std::string(utf8, static_cast<std::size_t>(size));
  }
  PyErr_Clear();
  return texts::kUnknownTypeName;
}

void python_api_failed(const char* location) {
  PyErr_Print();
  throw InvariantError(location, texts::kPythonApiFailed);
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
    PyErr_SetString(PyExc_OverflowError, texts::kIntegerOutOfRange);
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
  return append_from_buffer(obj, values) || append_items(obj, values);
}

// The values of a contiguous, aligned native-f32 vector of a recognised
// exporter, or null. The buffer is released before returning: the caller
// keeps the exporter alive and copies the values before any Python code runs
// (see extract_pairs), which is what keeps them valid and unchanged.
const float* borrow_f32(PyObject* obj, std::size_t* size) {
  const FloatBuffer buffer(obj);
  const float* values = buffer.usable() ? buffer.aligned_f32() : nullptr;
  *size = values != nullptr ? buffer.count() : 0;
  return values;
}

}  // namespace

bool extract_f32_vec(PyObject* obj, std::vector<float>* out) {
  find_buffer_types();
  std::vector<float> values;
  if (!append_f32_values(obj, &values)) return false;
  *out = std::move(values);
  return true;
}

bool extract_pairs(PyObject* obj, BatchArgument* out) {
  find_buffer_types();
  Py_ssize_t hint = 0;
  PyRef iterator = sequence_iterator(obj, &hint);
  if (!iterator) return false;
  // Iterating an exact list or tuple runs no Python code, so nothing can
  // change a borrowed vector behind the conversion's back.
  const bool may_borrow = PyList_CheckExact(obj) || PyTuple_CheckExact(obj);
  PreparedPairs& pairs = out->pairs;
  bool sized = false;
  while (PyRef element{PyIter_Next(iterator.get())}) {
    if (!PyTuple_Check(element.get())) {
      raise_with_type_name(PyExc_TypeError, element.get(), texts::kNotTuple);
      return false;
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(element.get());
    if (size != 2) {
      PyErr_Format(PyExc_ValueError, texts::kPairLength, size);
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
      if (!append_from_buffer(vector_object, &values)) {
        pairs.materialize();  // item conversion may run Python code
        if (!append_items(vector_object, &values)) return false;
      }
      pairs.close_pair(id);
    }
    if (may_borrow) {
      // Python code run by this pair's id (or by a later one) may have
      // dropped the batch's own reference to this pair; freeing it here
      // would free a borrowed vector, or run a destructor that rewrites one.
      out->owners.push_back(std::move(element));
    }
    if (!sized) {
      // The first vector's length times the hint sizes the buffers; both are
      // only hints, so the reservation is capped and may fail harmlessly.
      const std::size_t values = std::min(static_cast<std::size_t>(hint) * pairs.vector(0).size, kMaxReservedValues);
      try {
        pairs.reserve(static_cast<std::size_t>(hint), borrowed != nullptr ? 0 : values);
        if (may_borrow) out->owners.reserve(static_cast<std::size_t>(hint));
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
