// Small pieces every binding file uses: the Python header under the stable ABI, an owning
// reference holder, and the module name the classes carry.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <string_view>
#include <type_traits>

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

// Takes a new reference to a borrowed object.
inline Ref borrow(PyObject* obj) {
  Py_INCREF(obj);
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

// `guard<fn>` is `fn` behind a catch-all: the interpreter calls it through C frames that no C++
// exception may cross (one would abort the process), so every function the interpreter calls
// (methods, slots, getters) is registered through it. A caught exception becomes the Python
// exception above and the function's failure value (null, or -1 for int results).
template <auto Fn>
struct Guarded;

template <class R, class... A, R (*Fn)(A...)>
struct Guarded<Fn> {
  static R call(A... args) noexcept {
    try {
      return Fn(args...);
    } catch (...) {
      raise_from_cxx_exception();
      if constexpr (std::is_pointer_v<R>) {
        return nullptr;
      } else {
        return static_cast<R>(-1);
      }
    }
  }
};

template <auto Fn>
inline constexpr auto guard = &Guarded<Fn>::call;

}  // namespace drelix::py
