// What both module objects (_native and _engine) build themselves from.
#pragma once

#include <cstdint>

#include "binding/common/py.h"

namespace drelix::py {

// Records in `bound_id` the interpreter that first imports `module`; ImportError "{module} does
// not support sub-interpreters" from any other, since the classes are per process.
bool bind_interpreter(std::int64_t& bound_id, const char* module);

// The definition of a module without per-module state (size -1): its classes are per process.
inline PyModuleDef module_def(const char* name, const char* doc) {
  return {PyModuleDef_HEAD_INIT, name, doc, -1, nullptr, nullptr, nullptr, nullptr, nullptr};
}

// A borrowed class (type object or exception class) as a new reference.
PyObject* new_ref(void* cls);

// `def` as a function of `module`: a new reference, or null with an exception set.
PyObject* new_function(PyObject* module, PyMethodDef* def);

}  // namespace drelix::py
