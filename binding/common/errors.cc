#include "binding/common/errors.h"

#include <cerrno>

namespace drelix::py {

namespace {

enum Index { kBase, kMalformed, kUsage, kZoneFull, kCompression, kCount };

struct ExceptionSpec {
  const char* qualified_name;
  const char* doc;
};

// The base comes first: the others derive from it.
constexpr ExceptionSpec kSpecs[kCount] = {
    {"_native.DrelixError", "Base of every error this package raises."},
    {"_native.DrelixMalformedError", "The file is not a well-formed container."},
    {"_native.DrelixUsageError", "The calling code asked for something it may not."},
    {"_native.DrelixZoneFullError", "The header zone cannot hold the headers."},
    {"_native.DrelixCompressionError", "zstd refused to compress or decompress."},
};

// Strong references owned by the process: the classes outlive every module object, so an
// error raised later is always an instance of the very class the module exports.
PyObject* g_classes[kCount] = {};

bool ensure_classes() {
  if (g_classes[kCount - 1] != nullptr) return true;
  for (int i = 0; i < kCount; ++i) {
    if (g_classes[i] != nullptr) continue;
    PyObject* base = i == kBase ? PyExc_Exception : g_classes[kBase];
    // The C API takes non-const names but copies them.
    g_classes[i] = PyErr_NewExceptionWithDoc(const_cast<char*>(kSpecs[i].qualified_name),
                                             const_cast<char*>(kSpecs[i].doc), base, nullptr);
    if (g_classes[i] == nullptr) return false;
  }
  return true;
}

PyObject* get(Index i) {
  return ensure_classes() ? g_classes[i] : nullptr;
}

// The class an error of `kind` raises in _native's form (borrowed), or null with an exception
// set.
PyObject* class_of(Error::Kind kind) {
  switch (kind) {
    case Error::Kind::Malformed:
      return get(kMalformed);
    case Error::Kind::Usage:
      return get(kUsage);
    case Error::Kind::ZoneFull:
      return get(kZoneFull);
    case Error::Kind::Compression:
      return get(kCompression);
    case Error::Kind::Io:
      break;
  }
  return PyExc_OSError;
}

// Sets `cls(*args)` as the exception being raised.
template <class... Args>
void raise_instance(PyObject* cls, Args... args) {
  Ref exc = steal(PyObject_CallFunctionObjArgs(cls, args..., nullptr));
  if (exc) PyErr_SetObject(cls, exc.get());
}

PyObject* raise_errno_form(const Error& error, std::string_view path) {
  if (error.os_code() == ENOMEM) return PyErr_NoMemory();
  Ref filename = steal(new_str(error.path() ? std::string_view(*error.path()) : path));
  if (!filename) return nullptr;
  if (error.os_code() != 0) {
    // The interpreter picks the subclass (FileNotFoundError, PermissionError, ...) and the
    // strerror text from errno, exactly as for its own file functions.
    errno = error.os_code();
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
  }
  Ref text = steal(new_str(error.message()));
  if (text) raise_instance(PyExc_OSError, Py_None, text.get(), filename.get());
  return nullptr;
}

}  // namespace

PyObject* drelix_error_class() {
  return get(kBase);
}
PyObject* malformed_error_class() {
  return get(kMalformed);
}
PyObject* usage_error_class() {
  return get(kUsage);
}
PyObject* zone_full_error_class() {
  return get(kZoneFull);
}
PyObject* compression_error_class() {
  return get(kCompression);
}

PyObject* raise_error(const Error& error, IoForm form, std::string_view path) {
  const bool io = error.kind() == Error::Kind::Io;
  // A call the engine reports interrupted was interrupted by a signal: its handler runs now, and
  // the exception it raises (KeyboardInterrupt for Ctrl-C) is the one the caller sees.
  if (io && error.os_code() == EINTR && PyErr_CheckSignals() < 0) return nullptr;
  if (io && form == IoForm::kErrno) return raise_errno_form(error, path);
  PyObject* cls = class_of(error.kind());
  if (cls == nullptr) return nullptr;
  // A one-argument OSError stays exactly OSError with errno, strerror and filename None.
  Ref message = steal(new_str(error.to_string()));
  if (message) raise_instance(cls, message.get());
  return nullptr;
}

}  // namespace drelix::py
