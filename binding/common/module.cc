#include "binding/common/module.h"

namespace drelix::py {

bool bind_interpreter(std::int64_t& bound_id, const char* module) {
  PyInterpreterState* state = PyInterpreterState_Get();
  if (state == nullptr) return false;
  const std::int64_t id = PyInterpreterState_GetID(state);
  if (id < 0) return false;
  if (bound_id < 0) bound_id = id;
  if (id != bound_id) {
    PyErr_Format(PyExc_ImportError, "%s does not support sub-interpreters", module);
    return false;
  }
  return true;
}

PyObject* new_ref(void* cls) {
  PyObject* obj = static_cast<PyObject*>(cls);
  Py_XINCREF(obj);
  return obj;
}

PyObject* new_function(PyObject* module, PyMethodDef* def) {
  Ref module_name = steal(PyModule_GetNameObject(module));
  if (!module_name) return nullptr;
  return PyCFunction_NewEx(def, module, module_name.get());
}

}  // namespace drelix::py
