// The extension module _velmora_rs: its initialisation, the class
// CompressedVectorStore, and the call frame every Python-level call passes
// through (argument binding, borrowing the store, conversions, and mapping
// every failure to a Python exception).
//
// No C++ exception crosses into the interpreter: each entry point runs its
// body inside guarded() (binding_errors.h). The instance machinery is the one
// both modules share (store_object.h); every fixed text is in
// python/module_texts.h (the store errors' in engine/store_error.h).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/invariant.h"
#include "engine/store.h"
#include "python/binding_errors.h"
#include "python/convert.h"
#include "python/module_texts.h"
#include "python/store_object.h"

namespace velmora {
namespace {

using texts::kClassName;

// ---------------------------------------------------------------------------
// Process-wide binding state. Created under the interpreter lock, never freed.

ModuleOnce g_module_once;
PyObject* g_class = nullptr;
PyObject* g_all_name = nullptr;

PyObject* class_object();

const StoreType kStoreType = {kClassName, class_object, {texts::kAlreadyBorrowed, texts::kAlreadyMutablyBorrowed}};

// A claim on one instance's store for the duration of a call.
class Borrow : public StoreBorrow {
 public:
  Borrow(PyObject* self, Access access) : StoreBorrow(self, access, kStoreType) {}
};

// ---------------------------------------------------------------------------
// Argument binding.

struct ArgSpec {
  const char* function;
  const char* const* names;
  Py_ssize_t count;
};

constexpr const char* kNewParams[] = {"dim", "bits"};
constexpr const char* kInsertParams[] = {"id", "vector"};
constexpr const char* kInsertBatchParams[] = {"pairs"};
constexpr const char* kRemoveParams[] = {"id"};
constexpr const char* kQueryParams[] = {"vector", "top_k"};
constexpr const char* kQueryAllParams[] = {"vector"};

constexpr ArgSpec kNewArgs{"__new__", kNewParams, 2};
constexpr ArgSpec kInsertArgs{"insert", kInsertParams, 2};
constexpr ArgSpec kInsertBatchArgs{"insert_batch", kInsertBatchParams, 1};
constexpr ArgSpec kRemoveArgs{"remove", kRemoveParams, 1};
constexpr ArgSpec kQueryArgs{"query", kQueryParams, 2};
constexpr ArgSpec kQueryAllArgs{"query_all", kQueryAllParams, 1};

constexpr Py_ssize_t kMaxParams = 2;

bool bind_positional(const ArgSpec& params, PyObject* const* args, Py_ssize_t nargs, PyObject** slots) {
  if (nargs > params.count) {
    PyErr_Format(PyExc_TypeError, texts::kTooManyPositional, kClassName, params.function, params.count, nargs,
                 nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  return true;
}

bool bind_keyword(const ArgSpec& params, PyObject* keyword, PyObject* value, PyObject** slots) {
  if (!PyUnicode_Check(keyword)) {
    PyErr_Format(PyExc_TypeError, texts::kKeywordsMustBeStrings, kClassName, params.function);
    return false;
  }
  for (Py_ssize_t i = 0; i < params.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, params.names[i]) != 0) continue;
    if (slots[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, texts::kMultipleValues, kClassName, params.function, params.names[i]);
      return false;
    }
    slots[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, texts::kUnexpectedKeyword, kClassName, params.function, keyword);
  return false;
}

bool check_missing(const ArgSpec& params, PyObject* const* slots) {
  std::vector<const char*> missing;
  for (Py_ssize_t i = 0; i < params.count; ++i) {
    if (slots[i] == nullptr) missing.push_back(params.names[i]);
  }
  if (missing.empty()) return true;
  std::string names;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    names += '\'';
    names += missing[i];
    names += '\'';
  }
  PyErr_Format(PyExc_TypeError, texts::kMissingArguments, kClassName, params.function, missing.size(),
               missing.size() == 1 ? "" : "s", names.c_str());
  return false;
}

// Vectorcall form: keyword values follow the positional ones in args.
bool bind_fastcall(const ArgSpec& params, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                   PyObject** slots) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (!bind_positional(params, args, nargs, slots)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      if (!bind_keyword(params, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) return false;
    }
  }
  return check_missing(params, slots);
}

// tp_new form: a tuple and a dict (or null).
bool bind_tuple_dict(const ArgSpec& params, PyObject* args, PyObject* kwargs, PyObject** slots) {
  if (!bind_positional(params, reinterpret_cast<PyTupleObject*>(args)->ob_item, PyTuple_GET_SIZE(args), slots)) {
    return false;
  }
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* keyword;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &keyword, &value)) {
      if (!bind_keyword(params, keyword, value, slots)) return false;
    }
  }
  return check_missing(params, slots);
}

// ---------------------------------------------------------------------------
// Converting arguments and reporting failures.

PyObject* list_or_raise(Result<std::vector<ScoredPair>>&& result) {
  if (!result) {
    raise_store_error(result.error());
    return nullptr;
  }
  return pairs_to_list(result.value());
}

// ---------------------------------------------------------------------------
// Entry points.

PyObject* store_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slots[kMaxParams] = {};
    if (!bind_tuple_dict(kNewArgs, args, kwargs, slots)) return nullptr;
    // The values may live only in the kwargs dict, which conversions that run
    // Python code could in principle reach; keep them alive.
    PyRef dim_arg = PyRef::borrowed(slots[0]);
    PyRef bits_arg = PyRef::borrowed(slots[1]);
    std::uint64_t dim = 0;
    std::uint8_t bits = 0;
    if (!convert_argument("dim", extract_u64, dim_arg.get(), &dim) ||
        !convert_argument("bits", extract_u8, bits_arg.get(), &bits)) {
      return nullptr;
    }
    Result<CompressedVectorStore> created = CompressedVectorStore::create(dim, bits);
    if (!created) {
      raise_store_error(created.error());
      return nullptr;
    }
    return new_store_object(subtype, std::move(created).value());
  });
}

PyObject* store_repr(PyObject* self) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Borrow borrow(self, Access::Shared);
    if (!borrow) return nullptr;
    const std::string text = borrow.store().repr();
    PyObject* result = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (result == nullptr) python_api_failed(VELMORA_HERE);
    return result;
  });
}

PyObject* store_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slots[kMaxParams] = {};
    if (!bind_fastcall(kInsertArgs, args, nargsf, kwnames, slots)) return nullptr;
    Borrow borrow(self, Access::Exclusive);
    if (!borrow) return nullptr;
    std::uint64_t id = 0;
    std::vector<float> vector;
    if (!convert_argument("id", extract_u64, slots[0], &id) ||
        !convert_argument("vector", extract_f32_vec, slots[1], &vector)) {
      return nullptr;
    }
    Status status = borrow.store().insert(id, FloatView(vector));
    if (!status) {
      raise_store_error(status.error());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* store_insert_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slots[kMaxParams] = {};
    if (!bind_fastcall(kInsertBatchArgs, args, nargsf, kwnames, slots)) return nullptr;
    // Declared before the borrow, so that the pairs it keeps alive are
    // released (which may run destructors) once the store is free again.
    BatchArgument batch;
    Borrow borrow(self, Access::Exclusive);
    if (!borrow) return nullptr;
    if (!convert_argument("pairs", extract_pairs, slots[0], &batch)) return nullptr;
    Status status = borrow.store().insert_batch(batch.pairs);
    if (!status) {
      raise_store_error(status.error());
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* store_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slots[kMaxParams] = {};
    if (!bind_fastcall(kRemoveArgs, args, nargsf, kwnames, slots)) return nullptr;
    Borrow borrow(self, Access::Exclusive);
    if (!borrow) return nullptr;
    std::uint64_t id = 0;
    if (!convert_argument("id", extract_u64, slots[0], &id)) return nullptr;
    return PyBool_FromLong(borrow.store().remove(id) ? 1 : 0);
  });
}

PyObject* store_query(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slots[kMaxParams] = {};
    if (!bind_fastcall(kQueryArgs, args, nargsf, kwnames, slots)) return nullptr;
    Borrow borrow(self, Access::Shared);
    if (!borrow) return nullptr;
    std::vector<float> vector;
    std::uint64_t top_k = 0;
    if (!convert_argument("vector", extract_f32_vec, slots[0], &vector) ||
        !convert_argument("top_k", extract_u64, slots[1], &top_k)) {
      return nullptr;
    }
    return list_or_raise(borrow.store().query(FloatView(vector), top_k));
  });
}

PyObject* store_query_all(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* slots[kMaxParams] = {};
    if (!bind_fastcall(kQueryAllArgs, args, nargsf, kwnames, slots)) return nullptr;
    Borrow borrow(self, Access::Shared);
    if (!borrow) return nullptr;
    std::vector<float> vector;
    if (!convert_argument("vector", extract_f32_vec, slots[0], &vector)) return nullptr;
    return list_or_raise(borrow.store().query_all(FloatView(vector)));
  });
}

// ---------------------------------------------------------------------------
// The class object.

PyMethodDef g_methods[] = {
    {"insert", as_method(store_insert), METH_FASTCALL | METH_KEYWORDS, texts::kInsertDoc},
    {"insert_batch", as_method(store_insert_batch), METH_FASTCALL | METH_KEYWORDS, texts::kInsertBatchDoc},
    {"remove", as_method(store_remove), METH_FASTCALL | METH_KEYWORDS, texts::kRemoveDoc},
    {"query", as_method(store_query), METH_FASTCALL | METH_KEYWORDS, texts::kQueryDoc},
    {"query_all", as_method(store_query_all), METH_FASTCALL | METH_KEYWORDS, texts::kQueryAllDoc},
    {"memory_bytes", store_memory_bytes<kStoreType>, METH_NOARGS, texts::kMemoryBytesDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* class_object() {
  if (g_class == nullptr) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(texts::kClassDoc)},
        {Py_tp_methods, g_methods},
        {Py_tp_new, reinterpret_cast<void*>(store_new)},
        {Py_mp_length, reinterpret_cast<void*>(store_len<kStoreType>)},
        {Py_tp_repr, reinterpret_cast<void*>(store_repr)},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_store_object)},
        {0, nullptr},
    };
    PyType_Spec params = {texts::kClassTypeName, static_cast<int>(sizeof(StoreObject)), 0, Py_TPFLAGS_DEFAULT, slots};
    g_class = PyType_FromSpec(&params);
  }
  return g_class;
}

// ---------------------------------------------------------------------------
// Module initialisation.

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    texts::kStoreModuleName,
    texts::kStoreModuleDoc,
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Adds the class to the module and its name to __all__.
bool register_class(PyObject* module) {
  PyObject* cls = class_object();
  if (cls == nullptr) return false;
  PyRef name(PyUnicode_FromString(kClassName));
  if (!name) return false;
  if (g_all_name == nullptr) {
    g_all_name = PyUnicode_InternFromString("__all__");
    if (g_all_name == nullptr) return false;
  }
  PyRef all(PyObject_GetAttr(module, g_all_name));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = PyRef(PyList_New(0));
    if (!all || PyObject_SetAttr(module, g_all_name, all.get()) < 0) return false;
  } else if (!PyList_Check(all.get())) {
    const std::string type_name = type_qualname(all.get());
    PyErr_Format(PyExc_TypeError, "'%s'%s", type_name.c_str(), texts::kNotList);
    return false;
  }
  if (PyList_Append(all.get(), name.get()) < 0) {
    throw InvariantError(VELMORA_HERE, texts::kAllAppendFailed);
  }
  return PyObject_SetAttr(module, name.get(), cls) == 0;
}

// Creates the module and registers the class.
PyObject* create_module() {
  PyRef module(PyModule_Create2(&g_module_def, 1013));
  if (!module || !register_class(module.get())) return nullptr;
  return module.release();
}

}  // namespace
}  // namespace velmora

PyMODINIT_FUNC PyInit__velmora_rs(void) {
  return velmora::guarded<PyObject*>(nullptr, [] {
    return velmora::initialise_once(velmora::g_module_once, velmora::texts::kSubinterpreterMessage,
                                    velmora::create_module);
  });
}
