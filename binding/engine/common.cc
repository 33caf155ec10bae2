#include "binding/common/args.h"
#include "binding/common/convert.h"
#include "binding/common/types.h"
#include "binding/engine/engine.h"
#include "core/str_cat.h"
#include "core/thread_pool.h"

namespace drelix::py {

namespace {

PyObject* g_native = nullptr;

}  // namespace

PyObject* native_module() {
  return g_native;
}

bool import_native() {
  if (g_native != nullptr) return true;
  g_native = PyImport_ImportModule("drelix_binary._native");
  return g_native != nullptr;
}

PyObject* new_frame_tuple(const Frame& f) {
  return Py_BuildValue(
      "(KKKK)", static_cast<unsigned long long>(f.id), static_cast<unsigned long long>(f.offset),
      static_cast<unsigned long long>(f.len), static_cast<unsigned long long>(f.hash));
}

PyObject* new_frame_tuples(const std::vector<Frame>& frames) {
  return new_list(frames, new_frame_tuple);
}

PyObject* new_headers(const Headers& headers) {
  return new_header_dict(headers);
}

PyObject* new_native_schema(const Schema& schema) {
  return new_schema(schema);
}

bool to_native_schema(PyObject* obj, Schema* out) {
  return to_schema(obj, out);
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
