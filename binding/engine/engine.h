// What the classes and functions of _engine share: the _native module they borrow classes
// from, running engine work without the interpreter lock, and the conversions of values that
// cross the boundary.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "binding/common/errors.h"
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
