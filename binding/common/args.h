// Binding Python call arguments to a function's parameters.
//
// Parameters are positional-or-keyword, or keyword-only after `positional` of them (the
// _engine functions' options); there are no positional-only parameters and no catch-all for
// extra keywords. One function (a context manager's __exit__) takes a catch-all of extra
// positional arguments.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "binding/common/convert.h"
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

// Where one argument goes and the converter that takes it there: `Into{to_path, &path}`.
template <class T>
struct Into {
  bool (*convert)(PyObject*, T*);
  T* out;
};
template <class T>
Into(bool (*)(PyObject*, T*), T*) -> Into<T>;

// Converts the first bound arguments of `sig`'s parameters in order, one per Into, as
// convert_arg does; stops at the first failure.
template <class... T>
bool convert_args(const Signature& sig, PyObject* const* bound, Into<T>... into) {
  std::size_t i = 0;
  const auto convert = [&](const auto& one) {
    const bool ok = convert_arg(sig.params[i], bound[i], one.convert, one.out);
    ++i;
    return ok;
  };
  return (convert(into) && ...);
}

// bind_args and then convert_args, for a call whose every parameter has its Into.
template <class... T>
bool parse_args(const Signature& sig, PyObject* args, PyObject* kwargs, Into<T>... into) {
  std::array<PyObject*, sizeof...(T)> bound{};
  return bind_args(sig, args, kwargs, bound) && convert_args(sig, bound.data(), into...);
}

}  // namespace drelix::py
