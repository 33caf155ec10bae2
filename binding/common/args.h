// Binding Python call arguments to a function's parameters.
//
// Parameters are positional-or-keyword, or keyword-only after `positional` of them (the
// _engine functions' options); there are no positional-only parameters and no catch-all for
// extra keywords. One function (a context manager's __exit__) takes a catch-all of extra
// positional arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "binding/common/py.h"

namespace drelix::py {

struct Signature {
  // The function as messages name it, without the parentheses: "xxh64", "Schema.__new__".
  const char* name;
  // Parameter names in order; these are also the keyword names.
  std::span<const char* const> params;
  // The first `required` parameters have no default.
  std::size_t required;
  // Whether surplus positional arguments are collected instead of refused.
  bool var_positional = false;
  // How many parameters may be given by position; those after are keyword-only.
  std::size_t positional = SIZE_MAX;
};

// Binds `args` (a tuple) and `kwargs` (a dict or null) to `sig`. On success fills `out` (one
// slot per parameter) with borrowed references, null for an omitted optional parameter, and,
// when `sig.var_positional`, sets `*rest` to a new tuple of the surplus positional arguments.
// On failure returns false with a TypeError set, worded as the interpreter words it for its own
// functions: "f() missing 1 required positional argument: 'a'", "f() takes 1 positional
// argument but 2 were given", "f() got an unexpected keyword argument 'x'", "f() got multiple
// values for argument 'a'".
bool bind_args(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out,
               PyObject** rest = nullptr);

}  // namespace drelix::py
