// The module's five exception classes, created once per process and cached.
#pragma once

#include "binding/common/py.h"

namespace drelix::py {

// Each returns the class as a borrowed reference (the cache holds it for the life of the
// process), creating all five on the first call; null with an exception set when the
// interpreter could not create them.
PyObject* drelix_error_class();
PyObject* malformed_error_class();
PyObject* usage_error_class();
PyObject* zone_full_error_class();
PyObject* compression_error_class();

}  // namespace drelix::py
