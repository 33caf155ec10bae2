// What the module's value classes have in common: an object holding one C++ value, built only
// by the binding, immutable, compared by value, unhashable, not subclassable, with no __dict__
// and no weak references. The later classes (reports, Container) reuse the pieces they need.
#pragma once

#include <new>
#include <utility>

#include "binding/common/py.h"

namespace drelix::py {

// The Python object: the header, then the C++ value. The value is built with placement new
// when the object is made and destroyed explicitly in value_dealloc, since the interpreter
// only allocates and frees the raw memory.
template <class T>
struct ValueObject {
  PyObject ob_base;  // what PyObject_HEAD declares
  T value;
};

// The value inside `obj`, which must be an instance of a type built for T.
template <class T>
T& value_of(PyObject* obj) {
  return reinterpret_cast<ValueObject<T>*>(obj)->value;
}

// A new instance of `type` (which may be null after a failed type build) holding `value`.
// New reference, or null with an exception set.
template <class T>
PyObject* new_value(PyTypeObject* type, T value) {
  if (type == nullptr) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* obj = alloc(type, 0);
  if (obj == nullptr) return nullptr;
  new (&reinterpret_cast<ValueObject<T>*>(obj)->value) T(std::move(value));
  return obj;
}

// tp_dealloc for ValueObject<T>. A heap type's instances hold a reference to their type
// (taken by the allocator), released last.
template <class T>
void value_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  reinterpret_cast<ValueObject<T>*>(obj)->value.~T();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(obj);
  Py_DECREF(type);
}

// tp_richcompare comparing the stored values with T's operator==. Only == and != are defined,
// and only between objects of the same class; everything else is NotImplemented, so ordering
// raises TypeError and comparing with a foreign object falls back to identity.
template <class T>
PyObject* value_richcompare(PyObject* self, PyObject* other, int op) {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(self) != Py_TYPE(other)) {
    Py_RETURN_NOTIMPLEMENTED;
  }
  const bool equal = value_of<T>(self) == value_of<T>(other);
  return PyBool_FromLong(equal == (op == Py_EQ));
}

// tp_new of every class without a constructor: "cannot create
// 'drelix_binary._native.X' instances".
inline PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref name = steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  if (!name) return nullptr;
  PyErr_Format(PyExc_TypeError, "cannot create '%s.%U' instances", kModuleName, name.get());
  return nullptr;
}

// Builds the type from `spec` on the first call and keeps it in `cache` for the life of the
// process. Returns a borrowed reference, or null with an exception set (a later call retries).
inline PyTypeObject* cached_type(PyObject*& cache, PyType_Spec& spec) {
  if (cache == nullptr) cache = PyType_FromSpec(&spec);
  return reinterpret_cast<PyTypeObject*>(cache);
}

// The flags of every value class: no Py_TPFLAGS_BASETYPE, so it cannot be subclassed.
inline constexpr unsigned int kValueTypeFlags = Py_TPFLAGS_DEFAULT;

// Whether `obj` is an instance of `type` (the classes have no subclasses).
inline bool is_instance(PyObject* obj, PyTypeObject* type) {
  return type != nullptr && Py_TYPE(obj) == type;
}

}  // namespace drelix::py
