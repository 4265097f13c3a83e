#include "python/config_binding.h"

#include <string>
#include <vector>

#include "engine/build_info.h"
#include "python/binding_errors.h"
#include "python/convert.h"
#include "python/gil_release.h"

namespace velmora {

namespace {

PyObject* text(const std::string& value) {
  return PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace");
}

// Sets dict[key] = value, taking over the new reference `value`.
bool set_item(PyObject* dict, const char* key, PyObject* value) {
  PyRef owned(value);
  return owned && PyDict_SetItemString(dict, key, owned.get()) == 0;
}

PyObject* by_bit_width(const std::string (&names)[3]) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (int bits = 2; bits <= 4; ++bits) {
    PyRef key(PyLong_FromLong(bits));
    PyRef value(text(names[bits - 2]));
    if (!key || !value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return dict.release();
}

PyObject* self_test_result(kernels::SelfTest result) {
  switch (result) {
    case kernels::SelfTest::Passed:
      Py_RETURN_TRUE;
    case kernels::SelfTest::Failed:
      Py_RETURN_FALSE;
    case kernels::SelfTest::NotRun:
      break;
  }
  Py_RETURN_NONE;
}

PyObject* candidate_dict(const kernels::CandidateReport& c) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  const bool ok = set_item(dict.get(), "name", text(c.name)) && set_item(dict.get(), "needs", text(c.needs)) &&
                  set_item(dict.get(), "supported", PyBool_FromLong(c.supported)) &&
                  set_item(dict.get(), "allowed", PyBool_FromLong(c.allowed)) &&
                  set_item(dict.get(), "self_test", self_test_result(c.self_test)) &&
                  set_item(dict.get(), "median_seconds",
                           c.median_seconds < 0.0 ? Py_NewRef(Py_None) : PyFloat_FromDouble(c.median_seconds)) &&
                  set_item(dict.get(), "chosen", PyBool_FromLong(c.chosen));
  return ok ? dict.release() : nullptr;
}

// {family: {"chosen": name, "candidates": [candidate, ...]}}
PyObject* families_dict(const std::vector<kernels::FamilyReport>& reports) {
  PyRef dict(PyDict_New());
  if (!dict) return nullptr;
  for (const kernels::FamilyReport& report : reports) {
    PyRef candidates(PyList_New(0));
    if (!candidates) return nullptr;
    for (const kernels::CandidateReport& c : report.candidates) {
      PyRef item(candidate_dict(c));
      if (!item || PyList_Append(candidates.get(), item.get()) < 0) return nullptr;
    }
    PyRef family(PyDict_New());
    if (!family || !set_item(family.get(), "chosen", text(report.chosen)) ||
        !set_item(family.get(), "candidates", candidates.release()) ||
        !set_item(dict.get(), report.family.c_str(), family.release())) {
      return nullptr;
    }
  }
  return dict.release();
}

}  // namespace

PyObject* engine_config_dict(PyObject*, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    EngineConfig config;
    {
      // The first call times the kernels and starts the pool.
      GilReleased released;
      config = engine_config();
    }
    PyRef dict(PyDict_New());
    if (!dict) return nullptr;
    const bool ok = set_item(dict.get(), "compiler", text(config.compiler)) &&
                    set_item(dict.get(), "build_type", text(config.build_type)) &&
                    set_item(dict.get(), "flags", text(config.flags)) &&
                    set_item(dict.get(), "cpu", text(config.cpu)) &&
                    set_item(dict.get(), "simd_detected", text(config.simd_detected)) &&
                    set_item(dict.get(), "simd_active", text(config.simd_active)) &&
                    set_item(dict.get(), "simd_requested", text(config.simd_requested)) &&
                    set_item(dict.get(), "exact_kernels", by_bit_width(config.exact_kernel)) &&
                    set_item(dict.get(), "bound_kernels", by_bit_width(config.bound_kernel)) &&
                    set_item(dict.get(), "group_bound_kernels", by_bit_width(config.group_bound_kernel)) &&
                    set_item(dict.get(), "kernels", families_dict(config.kernels)) &&
                    set_item(dict.get(), "threads", PyLong_FromSize_t(config.threads)) &&
                    set_item(dict.get(), "threads_source", text(config.threads_source));
    return ok ? dict.release() : nullptr;
  });
}

}  // namespace velmora
