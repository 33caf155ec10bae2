#include "binding/common/args.h"

#include <algorithm>
#include <string>
#include <vector>

#include "core/str_cat.h"

namespace drelix::py {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'": the interpreter's list of missing names.
std::string quoted_name_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ',';
      out += ' ';
      if (i + 1 == names.size()) out += "and ";
    }
    out += str_cat("'", names[i], "'");
  }
  return out;
}

bool fail_missing(const Signature& sig, const std::vector<const char*>& missing) {
  const std::string text =
      str_cat(sig.name, "() missing ", missing.size(), " required positional argument",
              missing.size() == 1 ? "" : "s", ": ", quoted_name_list(missing));
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return false;
}

bool fail_too_many(const Signature& sig, Py_ssize_t given) {
  const std::size_t most = std::min(sig.params.size(), sig.positional);
  std::string takes;
  if (sig.required < most) {
    takes = str_cat("from ", sig.required, " to ", most, " positional arguments");
  } else {
    takes = str_cat(most, " positional argument", most == 1 ? "" : "s");
  }
  const std::string text = str_cat(sig.name, "() takes ", takes, " but ", given,
                                   given == 1 ? " was" : " were", " given");
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return false;
}

// The index of the parameter called `key`, or -1.
Py_ssize_t find_param(const Signature& sig, PyObject* key) {
  for (std::size_t i = 0; i < sig.params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.params[i]) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

bool bind_keywords(const Signature& sig, PyObject* kwargs, std::span<PyObject*> out) {
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", sig.name);
      return false;
    }
    const Py_ssize_t i = find_param(sig, key);
    if (i < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
      return false;
    }
    if (out[static_cast<std::size_t>(i)] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", sig.name, key);
      return false;
    }
    out[static_cast<std::size_t>(i)] = value;
  }
  return true;
}

}  // namespace

bool bind_args(const Signature& sig, PyObject* args, PyObject* kwargs, std::span<PyObject*> out,
               PyObject** rest) {
  for (PyObject*& slot : out) slot = nullptr;
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return false;
  const Py_ssize_t count = static_cast<Py_ssize_t>(std::min(sig.params.size(), sig.positional));
  const Py_ssize_t positional = given < count ? given : count;
  for (Py_ssize_t i = 0; i < positional; ++i) {
    out[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
  }
  // The interpreter's order of checks: keywords first, then the positional count, then what
  // is still missing.
  if (kwargs != nullptr && !bind_keywords(sig, kwargs, out)) return false;
  if (given > count && !sig.var_positional) return fail_too_many(sig, given);
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) missing.push_back(sig.params[i]);
  }
  if (!missing.empty()) return fail_missing(sig, missing);
  if (sig.var_positional) {
    *rest = PyTuple_GetSlice(args, count, given > count ? given : count);
    if (*rest == nullptr) return false;
  }
  return true;
}

}  // namespace drelix::py
