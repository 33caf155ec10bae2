// An object in a store, read by range through a Python function: the engine's file for it.
#pragma once

#include <cstdint>

#include "binding/common/py.h"
#include "core/file.h"

namespace drelix::py {

// A read-only file of `length` bytes whose reads call fetch(offset, size) -> bytes, taking the
// interpreter lock for the call (engine threads read without it). A failure of the call (an
// exception, a result that is not bytes) is an I/O error; the function keeps its exception if
// the caller wants it raised.
FilePtr object_file(std::uint64_t length, PyObject* fetch);

// Whether the arguments name an object (`fetch` given): then `length` must be given too and
// `fetch` be callable, else TypeError is set and false returned.
bool check_object_args(const char* function, PyObject* length, PyObject* fetch);

}  // namespace drelix::py
