#include "binding/common/errors.h"

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

}  // namespace drelix::py
