// The _engine module object. Its exception classes and the Schema values it hands out are the
// very classes _native exports: the binding builds each once per process.
#include "binding/common/module.h"

#include <cstdint>

#include "binding/common/args.h"
#include "binding/engine/engine.h"
#include "binding/engine/types.h"
#include "core/defaults.h"
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

PyModuleDef kModuleDef = {PyModuleDef_HEAD_INIT,
                          "_engine",
                          "The parallel engine: bulk, multi-threaded reading, writing and "
                          "maintenance with the\ninterpreter lock released. See _engine.pyi.",
                          -1,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr,
                          nullptr};

std::int64_t g_interpreter_id = -1;

// Sets `value` (a new reference, or null after a failed build) as the attribute `name`.
bool add_object(PyObject* module, const char* name, PyObject* value) {
  Ref owned = steal(value);
  return owned && PyObject_SetAttrString(module, name, owned.get()) == 0;
}

bool add_function(PyObject* module, PyMethodDef* def) {
  return add_object(module, def->ml_name, new_function(module, def));
}

// The library's own defaults and the names of the files a writer keeps beside a file
// (core/defaults.h), so that the Python package restates none of them.
bool add_defaults(PyObject* module) {
  return add_object(module, "HOT_LEVEL", PyLong_FromLong(kHotLevel)) &&
         add_object(module, "COLD_LEVEL", PyLong_FromLong(kColdLevel)) &&
         add_object(module, "API_HEADER_AREA", PyLong_FromUnsignedLong(kApiHeaderArea)) &&
         add_object(module, "DEFAULT_FRAME_BYTES",
                    PyLong_FromUnsignedLongLong(kDefaultFrameBytes)) &&
         add_object(module, "MAX_FRAME_BYTES", PyLong_FromUnsignedLongLong(kMaxFrameBytes)) &&
         add_object(module, "JOURNAL_SUFFIX", new_str(kJournalSuffix)) &&
         add_object(module, "REPACK_SUFFIX", new_str(kRepackSuffix));
}

PyObject* init_module() {
  if (!bind_interpreter(g_interpreter_id, "_engine")) return nullptr;
  Ref module = steal(PyModule_Create(&kModuleDef));
  if (!module) return nullptr;
  if (!add_object(module.get(), "Reader", new_ref(reader_type())) ||
      !add_object(module.get(), "Writer", new_ref(writer_type())) || !add_defaults(module.get())) {
    return nullptr;
  }
  for (PyMethodDef* def : {&kThreadCountDef, &kEngineValidateDef, &kEngineRebuildDef,
                           &kEngineRepackDef, &kEngineSurveyDef, &kEngineReadListedFrameDef}) {
    if (!add_function(module.get(), def)) return nullptr;
  }
  return release(std::move(module));
}

}  // namespace

}  // namespace drelix::py

PyMODINIT_FUNC PyInit__engine() {
  return drelix::py::init_module();
}
