#include <cerrno>

#include "binding/common/args.h"
#include "binding/common/convert.h"
#include "binding/common/errors.h"
#include "binding/engine/engine.h"
#include "core/str_cat.h"
#include "core/thread_pool.h"

namespace drelix::py {

namespace {

PyObject* g_native = nullptr;

// The _native class named `name` (a new reference), or null with an exception set.
Ref native_attr(const char* name) {
  if (g_native == nullptr) {
    PyErr_SetString(PyExc_ImportError, "drelix_binary._native is not loaded");
    return nullptr;
  }
  return steal(PyObject_GetAttrString(g_native, name));
}

bool fail_type(const std::string& text) {
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return false;
}

}  // namespace

PyObject* native_module() {
  return g_native;
}

bool import_native() {
  if (g_native != nullptr) return true;
  g_native = PyImport_ImportModule("drelix_binary._native");
  return g_native != nullptr;
}

PyObject* raise_engine_error(const Error& error, const std::string& path) {
  if (error.kind() != Error::Kind::Io) return raise_error(error);
  if (error.os_code() == ENOMEM) return PyErr_NoMemory();
  // As in raise_error: an interrupted call lets the signal's handler raise first.
  if (error.os_code() == EINTR && PyErr_CheckSignals() < 0) return nullptr;
  const std::string& name = error.path() ? *error.path() : path;
  Ref filename = steal(new_str(name));
  if (!filename) return nullptr;
  if (error.os_code() != 0) {
    // The interpreter picks the subclass (FileNotFoundError, PermissionError, ...) and the
    // strerror text from errno, exactly as for its own file functions.
    errno = error.os_code();
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
  }
  Ref text = steal(new_str(error.message()));
  if (!text) return nullptr;
  Ref exc = steal(
      PyObject_CallFunctionObjArgs(PyExc_OSError, Py_None, text.get(), filename.get(), nullptr));
  if (exc) PyErr_SetObject(PyExc_OSError, exc.get());
  return nullptr;
}

PyObject* new_frame_tuple(const Frame& f) {
  return Py_BuildValue(
      "(KKKK)", static_cast<unsigned long long>(f.id), static_cast<unsigned long long>(f.offset),
      static_cast<unsigned long long>(f.len), static_cast<unsigned long long>(f.hash));
}

PyObject* new_frame_tuples(const std::vector<Frame>& frames) {
  Ref list = steal(PyList_New(static_cast<Py_ssize_t>(frames.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    PyObject* item = new_frame_tuple(frames[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
  }
  return release(std::move(list));
}

PyObject* new_headers(const Headers& headers) {
  Ref dict = steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : headers.pairs()) {
    Ref k = steal(new_str(key));
    Ref v = steal(new_str(value));
    if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return release(std::move(dict));
}

PyObject* new_native_schema(const Schema& schema) {
  Ref field_cls = native_attr("FieldSpec");
  Ref layout_cls = native_attr("RecordLayout");
  Ref schema_cls = native_attr("Schema");
  if (!field_cls || !layout_cls || !schema_cls) return nullptr;
  Ref fields = steal(PyList_New(0));
  if (!fields) return nullptr;
  for (const FieldSpec& f : schema.fields) {
    Ref name = steal(new_str(f.name));
    Ref ty = steal(new_str(f.ty));
    Ref offset = steal(PyLong_FromUnsignedLong(f.offset));
    if (!name || !ty || !offset) return nullptr;
    Ref spec = steal(
        PyObject_CallFunctionObjArgs(field_cls.get(), name.get(), ty.get(), offset.get(), nullptr));
    if (!spec || PyList_Append(fields.get(), spec.get()) < 0) return nullptr;
  }
  Ref layout = schema.layout.is_fixed()
                   ? steal(PyObject_CallMethod(layout_cls.get(), "fixed", "k",
                                               static_cast<unsigned long>(schema.layout.size())))
                   : steal(PyObject_CallMethod(layout_cls.get(), "prefixed", nullptr));
  Ref name = steal(new_str(schema.name));
  if (!layout || !name) return nullptr;
  return PyObject_CallFunctionObjArgs(schema_cls.get(), name.get(), fields.get(), layout.get(),
                                      nullptr);
}

bool to_native_schema(PyObject* obj, Schema* out) {
  Ref schema_cls = native_attr("Schema");
  if (!schema_cls) return false;
  const int is = PyObject_IsInstance(obj, schema_cls.get());
  if (is < 0) return false;
  if (is == 0) return fail_type(str_cat("expected Schema, got ", type_name(obj)));
  Schema schema;
  Ref name = steal(PyObject_GetAttrString(obj, "name"));
  Ref fields = steal(PyObject_GetAttrString(obj, "fields"));
  Ref layout = steal(PyObject_GetAttrString(obj, "layout"));
  if (!name || !fields || !layout || !to_text(name.get(), &schema.name)) return false;
  Ref size = steal(PyObject_GetAttrString(layout.get(), "fixed_size"));
  if (!size) return false;
  if (size.get() == Py_None) {
    schema.layout = RecordLayout::prefixed();
  } else {
    std::uint32_t n = 0;
    if (!to_u32(size.get(), &n)) return false;
    schema.layout = RecordLayout::fixed(n);
  }
  Ref iter = steal(PyObject_GetIter(fields.get()));
  if (!iter) return false;
  while (Ref field = steal(PyIter_Next(iter.get()))) {
    FieldSpec spec;
    Ref fname = steal(PyObject_GetAttrString(field.get(), "name"));
    Ref fty = steal(PyObject_GetAttrString(field.get(), "ty"));
    Ref foffset = steal(PyObject_GetAttrString(field.get(), "offset"));
    if (!fname || !fty || !foffset || !to_text(fname.get(), &spec.name) ||
        !to_text(fty.get(), &spec.ty) || !to_u32(foffset.get(), &spec.offset)) {
      return false;
    }
    schema.fields.push_back(std::move(spec));
  }
  if (PyErr_Occurred()) return false;
  *out = std::move(schema);
  return true;
}

bool to_threads(PyObject* obj, std::size_t* out) {
  if (obj == Py_None) {
    *out = ThreadPool::default_threads();
    return true;
  }
  std::uint64_t n = 0;
  if (!to_u64(obj, &n)) return false;
  if (n == 0) {
    PyErr_SetString(PyExc_ValueError, "threads must be at least 1");
    return false;
  }
  *out = static_cast<std::size_t>(std::min<std::uint64_t>(n, 1024));
  return true;
}

bool to_indices(PyObject* obj, std::vector<std::uint64_t>* out) {
  Ref iter = steal(PyObject_GetIter(obj));
  if (!iter) return false;
  std::vector<std::uint64_t> indices;
  while (Ref item = steal(PyIter_Next(iter.get()))) {
    std::uint64_t i = 0;
    if (!to_u64(item.get(), &i)) return false;
    indices.push_back(i);
  }
  if (PyErr_Occurred()) return false;
  *out = std::move(indices);
  return true;
}

bool to_region(PyObject* address_obj, PyObject* length_obj, std::span<std::uint8_t>* out) {
  std::uint64_t address = 0;
  std::uint64_t length = 0;
  if (!convert_arg("address", address_obj, to_u64, &address) ||
      !convert_arg("length", length_obj, to_u64, &length)) {
    return false;
  }
  if (length > 0 && address == 0) {
    PyErr_SetString(PyExc_ValueError, "address is 0");
    return false;
  }
  *out = std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(address),
                                 static_cast<std::size_t>(length));
  return true;
}

}  // namespace drelix::py
