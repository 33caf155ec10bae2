#include <cerrno>

#include "binding/common/args.h"
#include "binding/common/convert.h"
#include "binding/engine/engine.h"
#include "core/frame_read.h"
#include "core/str_cat.h"
#include "core/thread_pool.h"

namespace drelix::py {

Result<const Frame*> frame_at(const Container& c, std::uint64_t index) {
  if (index >= c.frames().size())
    return fail(Error::usage(str_cat("no frame at position ", index)));
  return &c.frames()[static_cast<std::size_t>(index)];
}

// Content sizes of the frames at `indices`; with `exact`, frames that declare none are decoded
// to measure them. Runs without the interpreter lock.
Result<std::vector<std::optional<std::uint64_t>>> sizes_of(
    const Container& c, const std::vector<std::uint64_t>& indices, bool exact) {
  std::vector<std::optional<std::uint64_t>> sizes;
  sizes.reserve(indices.size());
  for (const std::uint64_t i : indices) {
    DRELIX_ASSIGN_OR_RETURN(const Frame* f, frame_at(c, i));
    DRELIX_ASSIGN_OR_RETURN(std::optional<std::uint64_t> size, frame_content_size(c, *f));
    if (!size && exact) {
      DRELIX_ASSIGN_OR_RETURN(const Bytes content, read_checked(c, *f));
      size = content.size();
    }
    sizes.push_back(size);
  }
  return sizes;
}

PyObject* new_frame_tuple(const Frame& f) {
  return Py_BuildValue(
      "(KKKK)", static_cast<unsigned long long>(f.id), static_cast<unsigned long long>(f.offset),
      static_cast<unsigned long long>(f.len), static_cast<unsigned long long>(f.hash));
}

PyObject* new_frame_tuples(const std::vector<Frame>& frames) {
  return new_list(frames.size(), [&](std::size_t i) { return new_frame_tuple(frames[i]); });
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

}  // namespace drelix::py
