// What the classes and functions of _engine share: raising engine errors as Python exceptions,
// running engine work without the interpreter lock, and the conversions of values that cross
// the boundary.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "binding/common/py.h"
#include "core/error.h"
#include "core/frames.h"

namespace drelix::py {

// Raises `error`: Io with an errno as the OSError subclass the errno selects (errno, strerror,
// filename: the error's own path, else `path`), ENOMEM as MemoryError, Io without an errno as
// OSError(None, text, path); every other kind as its Drelix*Error class. Returns null.
PyObject* raise_engine_error(const Error& error, const std::string& path);

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

// Calls `body` (which returns a new reference or null with an exception set) and turns every
// C++ exception that escapes it into a Python one: std::bad_alloc into MemoryError, anything
// else into RuntimeError. Nothing is ever thrown into the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
    return nullptr;
  }
}

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
