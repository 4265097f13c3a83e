#include "python/store_object.h"

#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "python/convert.h"
#include "python/module_texts.h"

namespace velmora {

// new_store_object moves a freshly created store into the instance after
// allocating it; a throwing move would leave an instance without a store.
static_assert(std::is_nothrow_move_constructible_v<CompressedVectorStore>);

CompressedVectorStore& store_of(PyObject* self) {
  return *std::launder(reinterpret_cast<CompressedVectorStore*>(reinterpret_cast<StoreObject*>(self)->storage));
}

PyObject* new_store_object(PyTypeObject* type, CompressedVectorStore&& store) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  auto* instance = reinterpret_cast<StoreObject*>(self);
  new (instance->storage) CompressedVectorStore(std::move(store));
  instance->borrow_flag = 0;
  return self;
}

void dealloc_store_object(PyObject* self) {
  // Nothing here can throw: the store's destructor is noexcept.
  PyTypeObject* type = Py_TYPE(self);
  store_of(self).~CompressedVectorStore();
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

StoreBorrow::StoreBorrow(PyObject* self, Access access, const StoreType& type) {
  PyObject* cls = type.class_object();
  if (cls == nullptr) {
    PyErr_PrintEx(0);
    throw InvariantError(VELMORA_HERE, std::string(texts::kClassCreationFailed) + type.class_name);
  }
  if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(cls))) {
    const std::string name = type_qualname(self);
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", name.c_str(), type.class_name);
    return;
  }
  claim_.claim(self, reinterpret_cast<StoreObject*>(self)->borrow_flag, access, type.claims);
}

void raise_store_error(const StoreError& error) {
  const std::string message = error.message();
  PyRef text(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) python_api_failed(VELMORA_HERE);
  PyErr_SetObject(PyExc_ValueError, text.get());
}

PyObject* result_or_panic(PyObject* result, const char* location) {
  if (result == nullptr) python_api_failed(location);
  return result;
}

PyObject* initialise_once(ModuleOnce& once, const char* subinterpreter_message, PyObject* (*create)()) {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) return nullptr;
  std::int64_t owner = -1;
  if (!once.owning_interpreter.compare_exchange_strong(owner, interpreter) && owner != interpreter) {
    PyErr_SetString(PyExc_ImportError, subinterpreter_message);
    return nullptr;
  }
  if (once.module != nullptr) return Py_NewRef(once.module);
  PyObject* module = create();
  if (module == nullptr) return nullptr;
  once.module = Py_NewRef(module);
  return module;
}

}  // namespace velmora
