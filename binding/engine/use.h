// What _engine's Reader and Writer share: how a call takes its arguments, the discipline of
// using the object (Use), and the attributes, close and class built on it.
//
// A class's state type `State` provides:
//   static PyTypeObject* type();  static constexpr const char* kQualifiedName;  std::string path;
//   bool enter();  void leave();  PyObject* close();
//   container() (the engine's Container, const for a reader).
// enter() admits a call or refuses it with a Python exception set (closed, busy, another
// process's writer); leave() ends the call it admitted; close() runs under the interpreter lock.
#pragma once

#include <array>
#include <cstddef>
#include <numeric>
#include <span>
#include <utility>
#include <vector>

#include "binding/common/args.h"
#include "binding/common/convert.h"
#include "binding/common/module.h"
#include "binding/common/types.h"
#include "binding/common/value_type.h"
#include "binding/engine/engine.h"
#include "core/container.h"

namespace drelix::py {

inline constexpr int kCallFlags = METH_VARARGS | METH_KEYWORDS;

// The arguments of one call, bound to its signature: slot i is parameter i, null when omitted.
class Args {
 public:
  Args(const Signature& sig, PyObject* const* bound) : sig_(sig), bound_(bound) {}
  // The argument, or None when it was omitted.
  PyObject* operator[](std::size_t i) const { return bound_[i] ? bound_[i] : Py_None; }
  // Converts argument i into `out` (left as it is when omitted); errors name the parameter.
  template <class T, class Convert>
  bool get(std::size_t i, Convert convert, T* out) const {
    return convert_arg(sig_.params[i], bound_[i], convert, out);
  }
  // Arguments i and i + 1 as caller memory, an address and a length (numpy's array interface
  // gives both): false with an exception set for a value that is no integer, or for address 0
  // under a non-zero length.
  bool region(std::size_t i, std::span<std::uint8_t>* out) const {
    std::uint64_t address = 0;
    std::uint64_t length = 0;
    if (!get(i, to_u64, &address) || !get(i + 1, to_u64, &length)) return false;
    if (length > 0 && address == 0) {
      PyErr_SetString(PyExc_ValueError, "address is 0");
      return false;
    }
    *out = std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(address),
                                   static_cast<std::size_t>(length));
    return true;
  }
  bool region(std::size_t i, ByteView* out) const {
    std::span<std::uint8_t> memory;
    if (!region(i, &memory)) return false;
    *out = memory;
    return true;
  }
  // The bound slots, for the converters both modules share (common/types.h).
  PyObject* const* bound() const { return bound_; }

 private:
  const Signature& sig_;
  PyObject* const* bound_;
};

// A function or method of _engine: the arguments bound to `Sig`, then `Body(self, args)`, with
// no C++ exception let through.
template <const Signature& Sig, PyObject* (*Body)(PyObject*, const Args&)>
PyObject* call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 12> bound{};
    static_assert(Sig.params.size() <= bound.size());
    if (!bind_args(Sig, args, kwargs, std::span(bound).first(Sig.params.size()))) return nullptr;
    return Body(self, Args(Sig, bound.data()));
  });
}

// Its method table entry, named as the signature names it.
template <const Signature& Sig, PyObject* (*Body)(PyObject*, const Args&)>
PyMethodDef method(const char* doc, int flags = kCallFlags) {
  return {Sig.name, as_cfunction(call<Sig, Body>), flags, doc};
}

template <class State>
bool check_receiver(PyObject* self) {
  if (is_instance(self, State::type())) return true;
  PyErr_Format(PyExc_TypeError, "expected a %s receiver", State::kQualifiedName);
  return false;
}

// The discipline of every call but close: a receiver of the class that its state admits; the
// call counts as running until the Use goes. Test it before use: false means refused, with the
// Python exception set.
template <class State>
class Use {
 public:
  explicit Use(PyObject* self) {
    if (!check_receiver<State>(self)) return;
    State& state = value_of<State>(self);
    if (state.enter()) state_ = &state;
  }
  ~Use() {
    if (state_ != nullptr) state_->leave();
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

  explicit operator bool() const { return state_ != nullptr; }
  State& state() const { return *state_; }
  decltype(auto) container() const { return state_->container(); }

  PyObject* raise(const Error& e) const { return raise_engine_error(e, state_->path); }
  PyObject* none_or_raise(const Status& s) const {
    if (!s) return raise(s.error());
    Py_RETURN_NONE;
  }
  // `build(*r)`, or r's error raised.
  template <class T, class Build>
  PyObject* reply(const Result<T>& r, Build build) const {
    return r ? build(*r) : raise(r.error());
  }

 private:
  State* state_ = nullptr;
};

inline constexpr Signature kContentSizesSig{"content_sizes", {}, 0};

// Each listed frame's content size as its first bytes declare it (None where a frame declares
// none), for a reader and a writer alike.
template <class State>
PyObject* content_sizes(PyObject* self, const Args&) {
  Use<State> use(self);
  if (!use) return nullptr;
  const Container& c = use.container();
  std::vector<std::uint64_t> indices(c.frames().size());
  std::iota(indices.begin(), indices.end(), 0);
  return use.reply(unlocked([&] { return sizes_of(c, indices, false); }), [](const auto& sizes) {
    return new_list(sizes.size(), [&](std::size_t i) {
      return sizes[i] ? PyLong_FromUnsignedLongLong(*sizes[i]) : new_ref(Py_None);
    });
  });
}

// An attribute read from the open file's container.
template <class State, PyObject* (*Get)(const Container&)>
PyObject* file_attribute(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Use<State> use(self);
    if (!use) return nullptr;
    return Get(use.container());
  });
}

inline PyObject* schema_of(const Container& c) {
  return new_schema(c.schema());
}
inline PyObject* headers_of(const Container& c) {
  return new_header_dict(c.headers());
}
inline PyObject* frames_of(const Container& c) {
  return new_frame_tuples(c.frames());
}
// A figure the container keeps, as an int.
template <std::uint64_t (Container::*Figure)() const>
PyObject* figure_of(const Container& c) {
  return PyLong_FromUnsignedLongLong((c.*Figure)());
}

// Its table entry.
template <class State, PyObject* (*Get)(const Container&)>
constexpr PyGetSetDef attribute(const char* name, const char* doc) {
  return {name, file_attribute<State, Get>, nullptr, doc, nullptr};
}

// The attributes both classes have, then the class's own `more`, then the end of the table.
template <class State, std::size_t N>
constexpr std::array<PyGetSetDef, N + 4> with_file_attributes(
    const std::array<PyGetSetDef, N>& more) {
  std::array<PyGetSetDef, N + 4> all{{
      attribute<State, schema_of>("schema", "The file's schema."),
      attribute<State, headers_of>("headers", "Every header, in zone order."),
      attribute<State, frames_of>("frames", "(id, offset, length, hash) per frame."),
  }};
  for (std::size_t i = 0; i < N; ++i) all[3 + i] = more[i];
  all[N + 3] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  return all;
}

inline constexpr Signature kCloseSig{"close", {}, 0};

template <class State>
PyObject* close_body(PyObject* self, const Args&) {
  if (!check_receiver<State>(self)) return nullptr;
  return value_of<State>(self).close();
}

template <class State>
PyMethodDef close_method(const char* doc) {
  return method<kCloseSig, close_body<State>>(doc);
}

// The class of `State`'s objects, built on the first call and kept for the process (borrowed;
// null with an exception set when it could not be built, and a later call retries).
template <class State>
PyTypeObject* class_type(const char* doc, newfunc make, destructor dealloc, PyMethodDef* methods,
                         PyGetSetDef* attributes) {
  static PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_new, reinterpret_cast<void*>(make)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
      {Py_tp_methods, methods},
      {Py_tp_getset, attributes},
      {0, nullptr},
  };
  static PyType_Spec spec = {State::kQualifiedName, sizeof(ValueObject<State>), 0, kValueTypeFlags,
                             slots};
  static PyObject* cache = nullptr;
  return cached_type(cache, spec);
}

}  // namespace drelix::py
