// Small pieces every binding file uses: the Python header under the stable ABI, an owning
// reference holder, the module name the classes carry, new objects from engine values, and the
// catch-all that keeps C++ exceptions out of the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <exception>
#include <iterator>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>
#include <type_traits>
#include <utility>

namespace drelix::py {

// The module name every class of the extension reports as its __module__.
inline constexpr const char* kModuleName = "drelix_binary._native";

struct DecRef {
  void operator()(PyObject* obj) const { Py_DECREF(obj); }
};

// An owned (strong) reference, released when the holder goes away. Null means "no object",
// which after a failed C-API call also means a Python exception is set.
using Ref = std::unique_ptr<PyObject, DecRef>;

// Takes ownership of a new reference (which may be null).
inline Ref steal(PyObject* obj) {
  return Ref(obj);
}

// Hands the reference back to the caller (as a function's new-reference result).
inline PyObject* release(Ref ref) {
  return ref.release();
}

// A new str from engine text, which is UTF-8. Bytes that are not (a path in a non-UTF-8
// file-system encoding, say) come back as surrogate escapes, as the interpreter does for paths,
// so a message still starts with the very path the caller gave.
inline PyObject* new_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogateescape");
}

// A new bytes object holding a copy of `data`.
inline PyObject* new_bytes(const void* data, std::size_t size) {
  return PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size));
}

// A new int from an unsigned engine number, and a new bool.
inline PyObject* new_int(std::uint64_t value) {
  return PyLong_FromUnsignedLongLong(value);
}
inline PyObject* new_bool(bool value) {
  return PyBool_FromLong(value ? 1 : 0);
}

// A new list of `make_item(item)` (each a new reference, or null with an exception set) for
// each of `items`, in order.
template <class Items, class Make>
PyObject* new_list(const Items& items, Make make_item) {
  Ref list = steal(PyList_New(static_cast<Py_ssize_t>(std::size(items))));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const auto& item : items) {
    PyObject* obj = make_item(item);
    if (obj == nullptr) return nullptr;
    PyList_SetItem(list.get(), i++, obj);  // steals obj
  }
  return release(std::move(list));
}

// A function of any of the C-API calling conventions as the PyCFunction that PyMethodDef
// stores; the interpreter calls it with the arguments its ml_flags announce. The detour through
// a function pointer without parameters is the sanctioned way to say so without a warning.
template <class F>
PyCFunction as_cfunction(F fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn));
}

// Sets the Python exception for the C++ exception being handled; call it only inside a catch
// block. An allocation that cannot be satisfied (or a container asked to grow past what it can
// hold) is MemoryError, as the interpreter reports its own; anything else is SystemError.
inline void raise_from_cxx_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_SystemError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

// Runs `body` behind a catch-all: the interpreter calls the binding through C frames that no
// C++ exception may cross (one would abort the process). A caught exception becomes the Python
// exception above and `body`'s failure value (null, or -1 for int results).
template <class Body>
auto guarded(Body&& body) noexcept -> decltype(body()) {
  using R = decltype(body());
  try {
    return body();
  } catch (...) {
    raise_from_cxx_exception();
    if constexpr (std::is_pointer_v<R>) {
      return nullptr;
    } else {
      return static_cast<R>(-1);
    }
  }
}

// `guard<fn>` is `fn` run through `guarded`: every function the interpreter calls (methods,
// slots, getters) is registered through it or calls `guarded` itself.
template <auto Fn>
struct Guarded;

template <class R, class... A, R (*Fn)(A...)>
struct Guarded<Fn> {
  static R call(A... args) noexcept {
    return guarded([&] { return Fn(args...); });
  }
};

template <auto Fn>
inline constexpr auto guard = &Guarded<Fn>::call;

// A method table entry for `Fn` behind the guard, taking arguments as `flags` say.
template <auto Fn>
PyMethodDef method(const char* name, const char* doc, int flags = METH_VARARGS | METH_KEYWORDS) {
  return {name, as_cfunction(guard<Fn>), flags, doc};
}

}  // namespace drelix::py
