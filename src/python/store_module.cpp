// The extension module _velmora_rs: its initialisation, the class
// CompressedVectorStore, and the call frame every Python-level call passes
// through (argument binding, borrowing the store, conversions, and mapping
// every failure to a Python exception).
//
// No C++ exception crosses into the interpreter: each entry point runs its
// body inside guarded() (binding_errors.h).
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

#include "python/binding_errors.h"
#include "python/call_borrow.h"
#include "python/convert.h"
#include "engine/invariant.h"
#include "engine/store.h"

namespace velmora {
namespace {

constexpr const char* kClassName = "CompressedVectorStore";
constexpr const char* kSubinterpreterMessage =
    "PyO3 modules do not yet support subinterpreters, see "
    "https://github.com/velmora/velmora/issues/1";
constexpr const char* kModuleDoc =
    "Python module entry point, run by the interpreter when the module is imported.\n"
    "Registers all Python-visible classes and functions.";

// ---------------------------------------------------------------------------
// Process-wide binding state. Created under the interpreter lock, never freed.

std::atomic<std::int64_t> g_owning_interpreter{-1};
PyObject* g_module = nullptr;
PyObject* g_class = nullptr;
PyObject* g_all_name = nullptr;

// ---------------------------------------------------------------------------
// Instances.

struct StoreObject {
  PyObject_HEAD
  // The store, constructed in place by tp_new and destroyed by tp_dealloc.
  alignas(CompressedVectorStore) unsigned char storage[sizeof(CompressedVectorStore)];
  // Claims of the calls running on it (call_borrow.h).
  std::size_t borrow_flag;
};

// tp_new moves the freshly created store into the instance after allocating
// it; a throwing move would leave an instance without a store.
static_assert(std::is_nothrow_move_constructible_v<CompressedVectorStore>);

CompressedVectorStore& store_of(PyObject* self) {
  return *std::launder(
      reinterpret_cast<CompressedVectorStore*>(reinterpret_cast<StoreObject*>(self)->storage));
}

PyObject* class_object();

PyTypeObject* class_object_for_call() {
  PyObject* cls = class_object();
  if (cls == nullptr) {
    PyErr_PrintEx(0);
    throw InvariantError(VELMORA_HERE,
                         std::string("failed to create type object for ") + kClassName);
  }
  return reinterpret_cast<PyTypeObject*>(cls);
}

constexpr ClaimMessages kStoreClaimMessages = {"Already borrowed", "Already mutably borrowed"};

// A borrow of one instance's store for the duration of a call.
class Borrow {
 public:
  Borrow(PyObject* self, Access access) {
    if (!PyObject_TypeCheck(self, class_object_for_call())) {
      const std::string name = type_qualname(self);
      PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", name.c_str(),
                   kClassName);
      return;
    }
    claim_.claim(self, reinterpret_cast<StoreObject*>(self)->borrow_flag, access, kStoreClaimMessages);
  }
  explicit operator bool() const { return static_cast<bool>(claim_); }
  CompressedVectorStore& store() const { return store_of(claim_.owner()); }

 private:
  CallBorrow claim_;
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

bool bind_positional(const ArgSpec& params, PyObject* const* args, Py_ssize_t nargs,
                     PyObject** slots) {
  if (nargs > params.count) {
    PyErr_Format(PyExc_TypeError,
                 "%s.%s() takes %zd positional arguments but %zd %s given", kClassName,
                 params.function, params.count, nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  return true;
}

bool bind_keyword(const ArgSpec& params, PyObject* keyword, PyObject* value, PyObject** slots) {
  if (!PyUnicode_Check(keyword)) {
    PyErr_Format(PyExc_TypeError, "%s.%s() keywords must be strings", kClassName, params.function);
    return false;
  }
  for (Py_ssize_t i = 0; i < params.count; ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, params.names[i]) != 0) continue;
    if (slots[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s.%s() got multiple values for argument '%s'", kClassName,
                   params.function, params.names[i]);
      return false;
    }
    slots[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s.%s() got an unexpected keyword argument '%U'", kClassName,
               params.function, keyword);
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
  PyErr_Format(PyExc_TypeError, "%s.%s() missing %zu required positional argument%s: %s",
               kClassName, params.function, missing.size(), missing.size() == 1 ? "" : "s",
               names.c_str());
  return false;
}

// Vectorcall form: keyword values follow the positional ones in args.
bool bind_fastcall(const ArgSpec& params, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, PyObject** slots) {
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
  if (!bind_positional(params, reinterpret_cast<PyTupleObject*>(args)->ob_item,
                       PyTuple_GET_SIZE(args), slots)) {
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

PyObject* unprintable_text(PyObject* exc) {
  PyRef name(PyType_GetName(Py_TYPE(exc)));
  if (!name) {
    PyErr_Clear();
    return PyUnicode_FromString("<unprintable object>");
  }
  return PyUnicode_FromFormat("<unprintable %U object>", name.get());
}

// A TypeError (exactly) raised while converting parameter `param` becomes
// TypeError("argument 'param': " + str(error)) with the same __cause__, so
// that the message names the offending argument. Other exceptions pass.
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
  PyRef message(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!message) return;
  PyRef renamed(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!renamed) return;
  if (PyObject* cause = PyException_GetCause(raised)) {
    PyException_SetCause(renamed.get(), cause);  // steals the reference
  }
  PyErr_SetRaisedException(renamed.release());
}

template <class T>
bool convert_argument(const char* param, bool (*convert)(PyObject*, T*), PyObject* obj, T* out) {
  if (convert(obj, out)) return true;
  name_argument_in_type_error(param);
  return false;
}

void raise_store_error(const StoreError& error) {
  const std::string message = error.message();
  PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) python_api_failed(VELMORA_HERE);
  PyErr_SetObject(PyExc_ValueError, text.get());
}

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
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(subtype, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* self = alloc(subtype, 0);
    if (self == nullptr) return nullptr;
    auto* instance = reinterpret_cast<StoreObject*>(self);
    new (instance->storage) CompressedVectorStore(std::move(created).value());
    instance->borrow_flag = 0;
    return self;
  });
}

void store_dealloc(PyObject* self) {
  // Nothing here can throw: the store's destructor is noexcept.
  PyTypeObject* type = Py_TYPE(self);
  store_of(self).~CompressedVectorStore();
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

Py_ssize_t store_len(PyObject* self) {
  return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    Borrow borrow(self, Access::Shared);
    if (!borrow) return -1;
    return static_cast<Py_ssize_t>(borrow.store().size());
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

PyObject* store_memory_bytes(PyObject* self, PyObject* /*unused*/) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    Borrow borrow(self, Access::Shared);
    if (!borrow) return nullptr;
    PyObject* result = PyLong_FromUnsignedLongLong(borrow.store().memory_bytes());
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

PyObject* store_insert_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                             PyObject* kwnames) {
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

PyObject* store_query_all(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
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

template <class F>
PyCFunction as_method(F function) {
  // The calling convention is given by the method's flags.
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef g_methods[] = {
    {"insert", as_method(store_insert), METH_FASTCALL | METH_KEYWORDS,
     "insert($self, id, vector)\n--\n\n"
     "Insert a single vector. id is a u64, vector is a list of floats."},
    {"insert_batch", as_method(store_insert_batch), METH_FASTCALL | METH_KEYWORDS,
     "insert_batch($self, pairs)\n--\n\n"
     "Insert many vectors at once. Faster than calling insert() in a loop.\n"
     "pairs is a list of (id, vector) tuples."},
    {"remove", as_method(store_remove), METH_FASTCALL | METH_KEYWORDS,
     "remove($self, id)\n--\n\n"
     "Remove a vector by id. Returns True if it existed."},
    {"query", as_method(store_query), METH_FASTCALL | METH_KEYWORDS,
     "query($self, vector, top_k)\n--\n\n"
     "Query top_k most similar vectors. Returns list of (id, score) tuples."},
    {"query_all", as_method(store_query_all), METH_FASTCALL | METH_KEYWORDS,
     "query_all($self, vector)\n--\n\n"
     "Score every vector in the store against the query.\n"
     "Returns list of (id, score) tuples sorted by score descending."},
    {"memory_bytes", store_memory_bytes, METH_NOARGS,
     "memory_bytes($self)\n--\n\n"
     "Compressed memory usage in bytes (does not include Python overhead)."},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* class_object() {
  if (g_class == nullptr) {
    static char class_doc[] = "CompressedVectorStore(dim, bits)\n--\n\n";
    PyType_Slot slots[] = {
        {Py_tp_doc, class_doc},
        {Py_tp_methods, g_methods},
        {Py_tp_new, reinterpret_cast<void*>(store_new)},
        {Py_mp_length, reinterpret_cast<void*>(store_len)},
        {Py_tp_repr, reinterpret_cast<void*>(store_repr)},
        {Py_tp_base, &PyBaseObject_Type},
        {Py_tp_dealloc, reinterpret_cast<void*>(store_dealloc)},
        {0, nullptr},
    };
    PyType_Spec params = {"builtins.CompressedVectorStore", static_cast<int>(sizeof(StoreObject)), 0,
                        Py_TPFLAGS_DEFAULT, slots};
    g_class = PyType_FromSpec(&params);
  }
  return g_class;
}

// ---------------------------------------------------------------------------
// Module initialisation.

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_velmora_rs",
    kModuleDoc,
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
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'PyList'", type_name.c_str());
    return false;
  }
  if (PyList_Append(all.get(), name.get()) < 0) {
    throw InvariantError(VELMORA_HERE, "could not append __name__ to __all__");
  }
  return PyObject_SetAttr(module, name.get(), cls) == 0;
}

PyObject* initialise_module() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) return nullptr;
  std::int64_t owner = -1;
  if (!g_owning_interpreter.compare_exchange_strong(owner, interpreter) && owner != interpreter) {
    PyErr_SetString(PyExc_ImportError, kSubinterpreterMessage);
    return nullptr;
  }
  // Re-initialisation in the owning interpreter (e.g. after the module was
  // dropped from sys.modules) hands back the module it already has.
  if (g_module != nullptr) return Py_NewRef(g_module);
  PyRef module(PyModule_Create2(&g_module_def, 1013));
  if (!module || !register_class(module.get())) return nullptr;
  g_module = Py_NewRef(module.get());
  return module.release();
}

}  // namespace
}  // namespace velmora

PyMODINIT_FUNC PyInit__velmora_rs(void) {
  return velmora::guarded<PyObject*>(nullptr, [] { return velmora::initialise_module(); });
}
