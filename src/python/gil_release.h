// Releasing the interpreter lock around long native work.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velmora {

// Releases the interpreter lock for its lifetime; an exception leaving the
// scope takes the lock back first.
class GilReleased {
 public:
  GilReleased() : state_(PyEval_SaveThread()) {}
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;
  ~GilReleased() { PyEval_RestoreThread(state_); }

 private:
  PyThreadState* state_;
};

}  // namespace velmora
