// The module's five exception classes, created once per process and cached, and the one
// translation of an engine error into a Python exception.
#pragma once

#include <string_view>

#include "binding/common/py.h"
#include "core/error.h"

namespace drelix::py {

// Each returns the class as a borrowed reference (the cache holds it for the life of the
// process), creating all five on the first call; null with an exception set when the
// interpreter could not create them.
PyObject* drelix_error_class();
PyObject* malformed_error_class();
PyObject* usage_error_class();
PyObject* zone_full_error_class();
PyObject* compression_error_class();

// How an I/O failure (Error::Io) reaches Python; each module states its own.
enum class IoForm {
  // _native's: exactly OSError built from the one message ("<path>: <text> (os error N)"), so
  // never a subclass such as FileNotFoundError, and errno, strerror and filename are None.
  kMessage,
  // _engine's: the OSError subclass the errno selects, with errno, strerror and filename (the
  // error's own path, else `path`), as the interpreter raises for its own file functions;
  // ENOMEM as MemoryError; without an errno, OSError(None, text, path).
  kErrno,
};

// Raises `error`: Io in `form`, every other kind as the Drelix*Error class of its kind with
// the error's message. A call the engine reports interrupted (EINTR) lets the signal's handler
// raise first, so Ctrl-C is KeyboardInterrupt. Always returns null, for `return raise_error(e,
// form);`.
PyObject* raise_error(const Error& error, IoForm form, std::string_view path = {});

}  // namespace drelix::py
