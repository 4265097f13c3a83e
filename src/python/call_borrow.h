// A call's claim on one Python object's store for the duration of the call:
// many readers at once, or one writer. Calls release the interpreter lock
// while they work, so another thread may call in meanwhile; the claim turns
// that into a clear RuntimeError instead of a store changed under a reader.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>

#include "engine/invariant.h"

namespace velmora {

enum class Access { Shared, Exclusive };

// The claim count each object keeps: 0 free, 1 .. kExclusiveClaim - 1 that
// many shared claims, kExclusiveClaim one exclusive claim. Read and written
// only with the interpreter lock held.
constexpr std::size_t kExclusiveClaim = static_cast<std::size_t>(-1);

// What a refused claim raises.
struct ClaimMessages {
  const char* busy;      // an exclusive claim while any other claim is held
  const char* changing;  // a shared claim while an exclusive one is held
};

class CallBorrow {
 public:
  CallBorrow() = default;
  CallBorrow(const CallBorrow&) = delete;
  CallBorrow& operator=(const CallBorrow&) = delete;

  // Claims `count` (a field of `owner`) and holds a reference to `owner`, so
  // that the object outlives the call even if Python code run during it drops
  // every other reference. Returns false with a RuntimeError set if refused.
  bool claim(PyObject* owner, std::size_t& count, Access access, const ClaimMessages& messages) {
    if (access == Access::Exclusive) {
      if (count != 0) {
        PyErr_SetString(PyExc_RuntimeError, messages.busy);
        return false;
      }
      count = kExclusiveClaim;
    } else {
      if (count == kExclusiveClaim) {
        PyErr_SetString(PyExc_RuntimeError, messages.changing);
        return false;
      }
      VELMORA_CHECK(count < kExclusiveClaim - 1, "shared borrow count overflow");
      ++count;
    }
    owner_ = Py_NewRef(owner);
    count_ = &count;
    access_ = access;
    return true;
  }

  ~CallBorrow() {
    if (owner_ == nullptr) return;
    *count_ = access_ == Access::Exclusive ? 0 : *count_ - 1;
    Py_DECREF(owner_);
  }

  explicit operator bool() const { return owner_ != nullptr; }
  PyObject* owner() const { return owner_; }

 private:
  PyObject* owner_ = nullptr;
  std::size_t* count_ = nullptr;
  Access access_ = Access::Shared;
};

}  // namespace velmora
