// What the classes and functions of _engine share: the _native module they borrow classes
// from, raising engine errors as Python exceptions, running engine work without the interpreter
// lock, and the conversions of values that cross the boundary.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "binding/common/py.h"
#include "core/error.h"
#include "core/frames.h"
#include "core/headers.h"
#include "core/schema.h"

namespace drelix::py {

inline constexpr const char* kEngineModuleName = "drelix_binary._engine";

// drelix_binary._native, imported when _engine is (borrowed; null before).
PyObject* native_module();
// Imports _native and keeps it; false with an exception set on failure.
bool import_native();

// Raises `error`: Io with an errno as the OSError subclass the errno selects (errno, strerror,
// filename: the error's own path, else `path`), ENOMEM as MemoryError, Io without an errno as
// OSError(None, text, path); every other kind as _native's exception class. Returns null.
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

// (id, offset, length, hash) tuples. New references or null.
PyObject* new_frame_tuple(const Frame& frame);
PyObject* new_frame_tuples(const std::vector<Frame>& frames);
// A new dict of every header, in zone order.
PyObject* new_headers(const Headers& headers);
// A _native.Schema equal to `schema`, built through _native's own constructors.
PyObject* new_native_schema(const Schema& schema);
// A _native.Schema (read through its attributes) as the engine's Schema.
bool to_native_schema(PyObject* obj, Schema* out);
// A thread count: None for every processor, else a positive int.
bool to_threads(PyObject* obj, std::size_t* out);
// A list or tuple (any sequence) of frame indices.
bool to_indices(PyObject* obj, std::vector<std::uint64_t>* out);
// Caller memory named by an address and a length (numpy's array interface gives both): false
// with an exception set for a value that is no integer, or for address 0 under a non-zero length.
bool to_region(PyObject* address, PyObject* length, std::span<std::uint8_t>* out);

}  // namespace drelix::py
