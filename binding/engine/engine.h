// What the classes and functions of _engine share: raising engine errors as Python exceptions,
// running engine work without the interpreter lock, and the conversions of values that cross
// the boundary.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/common/errors.h"
#include "binding/common/py.h"
#include "core/container.h"
#include "core/error.h"
#include "core/frames.h"

namespace drelix::py {

// Raises `error` in _engine's form: an I/O failure as the OSError subclass its errno selects,
// with the file's name (binding/common/errors.h). Returns null.
inline PyObject* raise_engine_error(const Error& error, std::string_view path) {
  return raise_error(error, IoForm::kErrno, path);
}

// Releases the interpreter lock for the lifetime of the object.
class NoGil {
 public:
  NoGil() : state_(PyEval_SaveThread()) {}
  ~NoGil() { PyEval_RestoreThread(state_); }
  NoGil(const NoGil&) = delete;
  NoGil& operator=(const NoGil&) = delete;

 private:
  PyThreadState* state_;
};

// `fn()`, run without the interpreter lock.
template <class Fn>
auto unlocked(Fn&& fn) {
  NoGil released;
  return fn();
}

// The frame at position `index` of the list, or Error::Usage "no frame at position N".
Result<const Frame*> frame_at(const Container& c, std::uint64_t index);
// Content sizes of the frames at `indices` as their first bytes declare them; with `exact`,
// frames that declare none are decoded to measure them. Runs without the interpreter lock.
Result<std::vector<std::optional<std::uint64_t>>> sizes_of(
    const Container& c, const std::vector<std::uint64_t>& indices, bool exact);

// A new list of `n` items, item i made by `make(i)` (a new reference, or null with an
// exception set, which fails the whole).
template <class Make>
PyObject* new_list(std::size_t n, Make make) {
  Ref list = steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = make(i);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals
  }
  return release(std::move(list));
}

// (id, offset, length, hash) tuples. New references or null.
PyObject* new_frame_tuple(const Frame& frame);
PyObject* new_frame_tuples(const std::vector<Frame>& frames);
// A thread count: None for every processor, else a positive int.
bool to_threads(PyObject* obj, std::size_t* out);
// A list or tuple (any sequence) of frame indices.
bool to_indices(PyObject* obj, std::vector<std::uint64_t>* out);

}  // namespace drelix::py
