// Taking arguments from Python.
//
// Every converter has the form `bool convert(PyObject* obj, T* out)`: on success it fills `*out`
// and returns true; on failure it returns false with a Python exception set and leaves `*out`
// as it was. `convert_arg` runs one for a named parameter and applies the module's rule for
// argument errors.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/common/py.h"
#include "core/bytes.h"
#include "core/str_cat.h"

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

// Application headers in order: None (none), or a sequence (not a str, which is never meant as
// a list of pairs; not a dict, which fails the sequence check) of (str, str) tuples. A tuple of
// another length raises ValueError, every other refusal TypeError.
using UserHeaders = std::vector<std::pair<std::string, std::string>>;
bool to_user_headers(PyObject* obj, UserHeaders* out);

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

// The __name__ of obj's type, for messages ("bytearray", "int").
std::string type_name(PyObject* obj);

// TypeError "expected {expected}, got {type}" or "item {index}: expected {expected}, got
// {type}", naming obj's type. Return false.
bool fail_type(std::string_view expected, PyObject* obj);
bool fail_item(Py_ssize_t index, std::string_view expected, PyObject* obj);

// Calls `take(index, item)` (true to go on, false with an exception set to stop) for each item
// of `obj`, which must pass the sequence check and not be a str (a text is never meant as a
// list): else TypeError "expected a sequence of {what}, got {type}". What is taken grows with
// the items that really come, never with what __len__ claims.
template <class Take>
bool for_each_item(PyObject* obj, std::string_view what, Take take) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    return fail_type(str_cat("a sequence of ", what), obj);
  }
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) return false;
  for (Py_ssize_t i = 0; i < size; ++i) {
    Ref item = steal(PySequence_GetItem(obj, i));
    if (!item || !take(i, item.get())) return false;
  }
  return true;
}

}  // namespace drelix::py
