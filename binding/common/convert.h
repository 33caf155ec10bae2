// Taking arguments from Python and handing engine errors back to it.
//
// Every converter has the form `bool convert(PyObject* obj, T* out)`: on success it fills `*out`
// and returns true; on failure it returns false with a Python exception set and leaves `*out`
// as it was. `convert_arg` runs one for a named parameter and applies the module's rule for
// argument errors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "binding/common/py.h"
#include "core/bytes.h"
#include "core/error.h"

namespace drelix::py {

// A path: whatever os.fspath accepts and turns into a str, encoded with the file-system
// encoding. bytes paths (and fspath hooks returning bytes) raise TypeError; a path holding a
// NUL raises ValueError "embedded null byte".
bool to_path(PyObject* obj, std::string* out);

// A byte string: bytes or a subclass of bytes, read in place. The view is valid while `obj`
// lives and is not mutated, which for bytes means for the rest of the call. Every other type
// (bytearray and memoryview included) raises TypeError.
bool to_bytes(PyObject* obj, ByteView* out);

// Integers through the index protocol (so True is 1), of a fixed width. Non-integers raise
// TypeError; values outside the width raise OverflowError.
bool to_u32(PyObject* obj, std::uint32_t* out);
bool to_u64(PyObject* obj, std::uint64_t* out);
bool to_i32(PyObject* obj, std::int32_t* out);

// Exactly True or False, or a NumPy boolean scalar (recognised by its type's name, so NumPy is
// never imported). 0, 1, None and everything else raise TypeError.
bool to_bool(PyObject* obj, bool* out);

// A str (subclasses too) as UTF-8. Anything else raises TypeError; a str holding lone
// surrogates raises UnicodeEncodeError.
bool to_text(PyObject* obj, std::string* out);

// None as an absent value, anything else through `Convert`.
template <class T, bool (*Convert)(PyObject*, T*)>
bool to_optional(PyObject* obj, std::optional<T>* out) {
  if (obj == Py_None) {
    out->reset();
    return true;
  }
  T value{};
  if (!Convert(obj, &value)) return false;
  *out = std::move(value);
  return true;
}

// Turns the TypeError being raised into TypeError("argument '{name}': {message}") with the
// original as its cause; leaves an exception of any other class alone. Always returns false,
// so a converter's failure path can end with `return fail_argument(name)`.
bool fail_argument(const char* name);

// Converts the argument bound to parameter `name`. A null `obj` (an omitted optional
// parameter) leaves `*out` holding its default.
template <class T, class Convert>
bool convert_arg(const char* name, PyObject* obj, Convert convert, T* out) {
  if (obj == nullptr || convert(obj, out)) return true;
  return fail_argument(name);
}

// Raises `error` as the Python exception its kind maps to: Io as a plain OSError built from the
// one message (so never a subclass such as FileNotFoundError), the others as the module's
// Drelix*Error classes. Always returns null, for `return raise_error(e);`.
PyObject* raise_error(const Error& error);

// The __name__ of obj's type, for messages ("bytearray", "int").
std::string type_name(PyObject* obj);

}  // namespace drelix::py
