// The module object: its identity, its contents in their fixed order, and the guard against
// being loaded into a second interpreter.
#include "binding/common/module.h"

#include <cstdint>

#include "binding/common/errors.h"
#include "binding/common/py.h"
#include "binding/common/types.h"
#include "binding/native/native.h"
#include "core/defaults.h"
#include "core/preamble.h"

namespace drelix::py {

namespace {

constexpr const char* kVersionText = "2.1.0";

PyModuleDef kModuleDef =
    module_def("_native",
               "The extension module. Everything above, plus the constants a caller needs\n"
               "to avoid hard-coding numbers the format owns.");

// The module is built once, in the first interpreter that imports it; the classes are shared
// by the whole process and cannot serve a second interpreter.
std::int64_t g_interpreter_id = -1;
PyObject* g_module = nullptr;

// Adds `name` to __all__ (creating the list on first use), then sets the attribute. Takes
// ownership of `value`, which may be null after a failed build (then fails at once).
bool add(PyObject* module, const char* name, PyObject* value) {
  Ref owned = steal(value);
  if (!owned) return false;
  Ref all = steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  Ref text = steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
  return PyObject_SetAttrString(module, name, owned.get()) == 0;
}

using Make = PyObject* (*)(PyObject* module);

struct Entry {
  const char* name;
  Make make;  // a new reference, or null with an exception set
};

// The names in their fixed order; __all__ follows it.
const Entry kEntries[] = {
    {"Container", [](PyObject*) { return new_ref(container_type()); }},
    {"Schema", [](PyObject*) { return new_ref(schema_type()); }},
    {"FieldSpec", [](PyObject*) { return new_ref(field_spec_type()); }},
    {"RecordLayout", [](PyObject*) { return new_ref(record_layout_type()); }},
    {"Frame", [](PyObject*) { return new_ref(frame_type()); }},
    {"Preamble", [](PyObject*) { return new_ref(preamble_type()); }},
    {"ValidateReport", [](PyObject*) { return new_ref(validate_report_type()); }},
    {"RebuildReport", [](PyObject*) { return new_ref(rebuild_report_type()); }},
    {"RepackReport", [](PyObject*) { return new_ref(repack_report_type()); }},
    {"peek_headers", [](PyObject* m) { return new_function(m, &kPeekHeadersDef); }},
    {"validate", [](PyObject* m) { return new_function(m, &kValidateDef); }},
    {"rebuild_headers", [](PyObject* m) { return new_function(m, &kRebuildHeadersDef); }},
    {"repack", [](PyObject* m) { return new_function(m, &kRepackDef); }},
    {"split_records", [](PyObject* m) { return new_function(m, &kSplitRecordsDef); }},
    {"xxh64", [](PyObject* m) { return new_function(m, &kXxh64Def); }},
    {"max_frames_for", [](PyObject* m) { return new_function(m, &kMaxFramesForDef); }},
    {"DrelixError", [](PyObject*) { return new_ref(drelix_error_class()); }},
    {"DrelixMalformedError", [](PyObject*) { return new_ref(malformed_error_class()); }},
    {"DrelixUsageError", [](PyObject*) { return new_ref(usage_error_class()); }},
    {"DrelixZoneFullError", [](PyObject*) { return new_ref(zone_full_error_class()); }},
    {"DrelixCompressionError", [](PyObject*) { return new_ref(compression_error_class()); }},
    {"VERSION", [](PyObject*) { return PyLong_FromUnsignedLong(kFormatVersion); }},
    {"EXTENSION", [](PyObject*) { return PyUnicode_FromString("drelix"); }},
    {"DEFAULT_HEADER_AREA", [](PyObject*) { return PyLong_FromUnsignedLong(kDefaultHeaderArea); }},
    {"MAX_HEADER_AREA", [](PyObject*) { return PyLong_FromUnsignedLong(kMaxHeaderArea); }},
    {"HOT_LEVEL", [](PyObject*) { return PyLong_FromLong(kHotLevel); }},
    {"COLD_LEVEL", [](PyObject*) { return PyLong_FromLong(kColdLevel); }},
    {"__version__", [](PyObject*) { return PyUnicode_FromString(kVersionText); }},
};

bool populate(PyObject* module) {
  for (const Entry& entry : kEntries) {
    if (!add(module, entry.name, entry.make(module))) return false;
  }
  return true;
}

PyObject* init_module() {
  if (!bind_interpreter(g_interpreter_id, "_native")) return nullptr;
  if (g_module != nullptr) {
    Py_INCREF(g_module);
    return g_module;
  }
  Ref module = steal(PyModule_Create(&kModuleDef));
  if (!module || !populate(module.get())) return nullptr;
  // The cache keeps its own reference for the life of the process.
  g_module = module.get();
  Py_INCREF(g_module);
  return release(std::move(module));
}

}  // namespace

}  // namespace drelix::py

PyMODINIT_FUNC PyInit__native() {
  return drelix::py::guard<drelix::py::init_module>();
}
