// The exception classes of binding/errors.h for _engine: not new classes but _native's own,
// so that `except _native.DrelixMalformedError` catches what either module raises.
#include "binding/engine/engine.h"
#include "binding/errors.h"

namespace drelix::py {

namespace {

// The class `name` of _native, looked up once and then held for the life of the process (so
// that nothing done to _native's attributes later can free it). Borrowed, or null with an
// exception set.
template <int Slot>
PyObject* native_class(const char* name) {
  static PyObject* cached = nullptr;
  if (cached != nullptr) return cached;
  PyObject* module = native_module();
  if (module == nullptr) {
    PyErr_SetString(PyExc_ImportError, "drelix_binary._native is not loaded");
    return nullptr;
  }
  cached = PyObject_GetAttrString(module, name);
  return cached;
}

}  // namespace

PyObject* drelix_error_class() {
  return native_class<0>("DrelixError");
}
PyObject* malformed_error_class() {
  return native_class<1>("DrelixMalformedError");
}
PyObject* usage_error_class() {
  return native_class<2>("DrelixUsageError");
}
PyObject* zone_full_error_class() {
  return native_class<3>("DrelixZoneFullError");
}
PyObject* compression_error_class() {
  return native_class<4>("DrelixCompressionError");
}

}  // namespace drelix::py
