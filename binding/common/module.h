// What both module objects (_native and _engine) build themselves from.
#pragma once

#include <cstdint>

#include "binding/common/py.h"

namespace drelix::py {

// Records in `bound_id` the interpreter that first imports `module`; ImportError "{module} does
// not support sub-interpreters" from any other, since the classes are per process.
bool bind_interpreter(std::int64_t& bound_id, const char* module);

// A borrowed class (type object or exception class) as a new reference.
PyObject* new_ref(void* cls);

// `def` as a function of `module`: a new reference, or null with an exception set.
PyObject* new_function(PyObject* module, PyMethodDef* def);

}  // namespace drelix::py
