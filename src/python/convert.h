// Conversions between Python objects and the store's native values.
//
// Argument conversions take a borrowed object and keep no reference to it.
// They return false with a Python exception set when the object is refused;
// they may also throw std::bad_alloc. Result conversions return a new
// reference; when the interpreter cannot create an object they print the
// pending error and throw the "Python API call failed" InvariantError, which
// the call frame reports as a panic.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/similarity.h"
#include "engine/store.h"
#include "python/py_ref.h"

namespace velmora {

// The qualified name of obj's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* obj);

// Prints the pending Python error and throws the panic for an interpreter
// call that could not create an object.
[[noreturn]] void python_api_failed(const char* location);

bool extract_u64(PyObject* obj, std::uint64_t* out);
bool extract_u8(PyObject* obj, std::uint8_t* out);
// One-dimensional numpy arrays, array.array objects and memoryviews (exactly
// those types) of native f32 or f64 are read through their buffer, with the
// very values that iterating them would give; everything else item by item.
bool extract_f32_vec(PyObject* obj, std::vector<float>* out);

// A converted batch, and the pairs it may borrow vector memory from.
struct BatchArgument {
  PreparedPairs pairs;
  std::vector<PyRef> owners;
};
// Contiguous, aligned native-f32 vectors of a list or tuple of pairs are
// borrowed, not copied: the pairs that hold them are kept alive in `owners`
// until the batch is consumed, and the moment Python code might run (an id's
// __index__, a vector's item conversion) everything borrowed so far is
// copied, so every vector holds the values it had when it was converted.
bool extract_pairs(PyObject* obj, BatchArgument* out);

// A TypeError (exactly) raised while converting parameter `param` becomes
// TypeError("argument 'param': " + str(error)) with the same __cause__, so
// that the message names the offending argument. Other exceptions pass.
void name_argument_in_type_error(const char* param);

// convert(obj, out), with a TypeError renamed for `param`.
template <class T>
bool convert_argument(const char* param, bool (*convert)(PyObject*, T*), PyObject* obj, T* out) {
  if (convert(obj, out)) return true;
  name_argument_in_type_error(param);
  return false;
}

// Rounds to the nearest f32, ties to even; out-of-range values become an
// infinity of their sign, NaN stays NaN.
float narrow_to_f32(double value);

// A new list of (int id, float score) tuples in array order.
PyObject* pairs_to_list(const std::vector<ScoredPair>& pairs);

}  // namespace velmora
