// The machinery both extension modules share: instances that own one
// CompressedVectorStore, their allocation and deallocation, the claim a call
// holds on an instance's store, the slots every such type has (len and
// memory_bytes), raising the store's errors, and binding a module to the
// first interpreter that imports it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "engine/store.h"
#include "python/binding_errors.h"
#include "python/call_borrow.h"
#include "python/py_ref.h"

namespace velmora {

// The layout of every instance: the object header, the store (constructed in
// place by new_store_object, destroyed by dealloc_store_object) and the
// claims of the calls running on it.
struct StoreObject {
  PyObject_HEAD alignas(CompressedVectorStore) unsigned char storage[sizeof(CompressedVectorStore)];
  std::size_t borrow_flag;
};

// What tells one extension type from the other.
struct StoreType {
  // Named when a call's receiver is of a foreign type.
  const char* class_name;
  // The class object, created on first use; null with an exception set if it
  // cannot be.
  PyObject* (*class_object)();
  // What a refused claim raises.
  ClaimMessages claims;
};

CompressedVectorStore& store_of(PyObject* self);

// A new instance of `type` (allocated by its tp_alloc) owning `store`; null
// with the allocation's exception set if it cannot be allocated, in which
// case the store is dropped.
PyObject* new_store_object(PyTypeObject* type, CompressedVectorStore&& store);

// tp_dealloc of every store type.
void dealloc_store_object(PyObject* self);

// A call's claim on the store of `self` for the duration of the call. A
// receiver that is not an instance of the type is refused with TypeError.
class StoreBorrow {
 public:
  StoreBorrow(PyObject* self, Access access, const StoreType& type);
  explicit operator bool() const { return static_cast<bool>(claim_); }
  CompressedVectorStore& store() const { return store_of(claim_.owner()); }

 private:
  CallBorrow claim_;
};

// ValueError(error.message()).
void raise_store_error(const StoreError& error);

// `result`, a new reference; a null result (the interpreter could not create
// the object) is the "Python API call failed" panic.
PyObject* result_or_panic(PyObject* result, const char* location);

// mp_length and memory_bytes of a store type.
template <const StoreType& Type>
Py_ssize_t store_len(PyObject* self) {
  return guarded<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    StoreBorrow borrow(self, Access::Shared, Type);
    if (!borrow) return -1;
    return static_cast<Py_ssize_t>(borrow.store().size());
  });
}

template <const StoreType& Type>
PyObject* store_memory_bytes(PyObject* self, PyObject* /*unused*/) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    StoreBorrow borrow(self, Access::Shared, Type);
    if (!borrow) return nullptr;
    return result_or_panic(PyLong_FromUnsignedLongLong(borrow.store().memory_bytes()), VELMORA_HERE);
  });
}

// A module with single-phase initialisation, served to the first interpreter
// that imports it. Created under the interpreter lock, never freed.
struct ModuleOnce {
  std::atomic<std::int64_t> owning_interpreter{-1};
  PyObject* module = nullptr;
};

// Module initialisation: refuses any interpreter but the first with
// ImportError(subinterpreter_message); a later initialisation in that
// interpreter (after the module was dropped from sys.modules) hands back the
// module it already has; otherwise `create` makes the module, which is kept
// if it succeeds.
PyObject* initialise_once(ModuleOnce& once, const char* subinterpreter_message, PyObject* (*create)());

// Casts a method of any calling convention to the PyCFunction that
// PyMethodDef holds; the convention is given by the method's flags.
template <class F>
PyCFunction as_method(F function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace velmora
