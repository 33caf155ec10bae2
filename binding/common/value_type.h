// What the module's value classes have in common: an object holding one C++ value, built only
// by the binding, immutable, compared by value, unhashable, not subclassable, with no __dict__
// and no weak references. Classes that keep object identity instead (reports, Container,
// Reader, Writer) are built from the same pieces without the comparison.
#pragma once

#include <concepts>
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

// What a class holding a ValueObject<T> declares; `value_class` builds the type from it.
struct ClassSpec {
  const char* name;  // the full dotted name, which the type keeps pointing to
  const char* doc;
  PyGetSetDef* getset = nullptr;  // static tables: the type refers to them for ever
  PyMethodDef* methods = nullptr;
  newfunc constructor = nullptr;  // null: refuse_new
  reprfunc repr = nullptr;        // null: the interpreter's default
  bool compared = false;          // == and != by T's ==, unhashable; else identity
  destructor dealloc = nullptr;   // null: value_dealloc<T>
};

// The class of the objects holding a T, as `spec` declares it: built on the first call and
// kept for the life of the process (one class per T). A borrowed reference, or null with an
// exception set (a later call retries).
template <class T>
PyTypeObject* value_class(const ClassSpec& spec) {
  static PyObject* cache = nullptr;
  if (cache != nullptr) return reinterpret_cast<PyTypeObject*>(cache);
  const auto slot = [](auto fn) { return reinterpret_cast<void*>(fn); };
  PyType_Slot slots[9];
  int n = 0;
  // The interpreter copies the docstring; the slot type wants it non-const.
  slots[n++] = {Py_tp_doc, const_cast<char*>(spec.doc)};
  slots[n++] = {Py_tp_new, spec.constructor ? slot(spec.constructor) : slot(guard<refuse_new>)};
  slots[n++] = {Py_tp_dealloc, spec.dealloc ? slot(spec.dealloc) : slot(value_dealloc<T>)};
  if (spec.repr) slots[n++] = {Py_tp_repr, slot(spec.repr)};
  if constexpr (std::equality_comparable<T>) {
    if (spec.compared) {
      slots[n++] = {Py_tp_richcompare, slot(guard<value_richcompare<T>>)};
      slots[n++] = {Py_tp_hash, slot(PyObject_HashNotImplemented)};
    }
  }
  if (spec.getset) slots[n++] = {Py_tp_getset, spec.getset};
  if (spec.methods) slots[n++] = {Py_tp_methods, spec.methods};
  slots[n] = {0, nullptr};
  PyType_Spec type_spec = {spec.name, sizeof(ValueObject<T>), 0, kValueTypeFlags, slots};
  return cached_type(cache, type_spec);
}

template <class M>
struct MemberOf;
template <class T, class V>
struct MemberOf<V T::*> {
  using Class = T;
};

// The getter of a read-only property: `Convert` (a new reference or null) of the data member
// `Member` of the stored value.
template <auto Member, auto Convert>
PyObject* get_member(PyObject* self, void*) {
  using T = typename MemberOf<decltype(Member)>::Class;
  return guarded([&] { return Convert(value_of<T>(self).*Member); });
}

// One entry of a getset table: the property `name` reading `Member` through `Convert`.
template <auto Member, auto Convert>
constexpr PyGetSetDef property(const char* name, const char* doc) {
  return {name, get_member<Member, Convert>, nullptr, doc, nullptr};
}

}  // namespace drelix::py
