// The _engine module object. It imports _native first: the exception classes it raises are
// _native's own, and the schemas it hands out are _native.Schema objects.
#include <cstdint>

#include "binding/args.h"
#include "binding/engine/engine.h"
#include "binding/engine/types.h"
#include "core/thread_pool.h"

namespace drelix::py {

namespace {

PyObject* thread_count_fn(PyObject*, PyObject*) {
  return PyLong_FromSize_t(ThreadPool::default_threads());
}

PyMethodDef kThreadCountDef = {
    "thread_count", as_cfunction(thread_count_fn), METH_NOARGS,
    "thread_count()\n--\n\nThreads a call with threads=None uses: the processors this process "
    "may run on."};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_engine",
    "The parallel engine: bulk, multi-threaded reading, writing and maintenance with the\n"
    "interpreter lock released. See _engine.pyi.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::int64_t g_interpreter_id = -1;

bool bind_interpreter() {
  PyInterpreterState* state = PyInterpreterState_Get();
  if (state == nullptr) return false;
  const std::int64_t id = PyInterpreterState_GetID(state);
  if (id < 0) return false;
  if (g_interpreter_id < 0) g_interpreter_id = id;
  if (id != g_interpreter_id) {
    PyErr_SetString(PyExc_ImportError, "_engine does not support sub-interpreters");
    return false;
  }
  return true;
}

bool add_object(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  Py_INCREF(value);
  if (PyModule_AddObject(module, name, value) < 0) {
    Py_DECREF(value);
    return false;
  }
  return true;
}

bool add_function(PyObject* module, PyMethodDef* def) {
  Ref name = steal(PyModule_GetNameObject(module));
  if (!name) return false;
  Ref fn = steal(PyCFunction_NewEx(def, module, name.get()));
  return fn && add_object(module, def->ml_name, fn.get());
}

PyObject* init_module() {
  if (!bind_interpreter() || !import_native()) return nullptr;
  Ref module = steal(PyModule_Create(&kModuleDef));
  if (!module) return nullptr;
  if (!add_object(module.get(), "Reader", reinterpret_cast<PyObject*>(reader_type())) ||
      !add_object(module.get(), "Writer", reinterpret_cast<PyObject*>(writer_type())) ||
      !add_function(module.get(), &kThreadCountDef) ||
      !add_function(module.get(), &kEngineValidateDef) ||
      !add_function(module.get(), &kEngineRebuildDef) ||
      !add_function(module.get(), &kEngineRepackDef)) {
    return nullptr;
  }
  return release(std::move(module));
}

}  // namespace

}  // namespace drelix::py

PyMODINIT_FUNC PyInit__engine() {
  return drelix::py::init_module();
}
