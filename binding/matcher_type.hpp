#pragma once

#include "python.hpp"

namespace veskal::binding {

// Creates the Matcher class and adds it to `module` (not to __all__). 0 on success, -1 with an
// exception set.
int add_matcher_type(PyObject* module);

}  // namespace veskal::binding
