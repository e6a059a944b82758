#pragma once

// The one way binding code includes the CPython API: Python.h must come before any standard
// header, and every owned reference that may outlive a C++ exception goes into a `Ref`.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

namespace veskal::binding {

struct DecRef {
  void operator()(PyObject* object) const noexcept { Py_DECREF(object); }
};

// An owned (strong) reference, released on every path including unwinding.
using Ref = std::unique_ptr<PyObject, DecRef>;

}  // namespace veskal::binding
