// Preamble: the fixed binary head of a file, as peek_headers returns it.
#include "binding/common/types.h"
#include "binding/common/value_type.h"
#include "core/str_cat.h"

namespace drelix::py {

namespace {

const Preamble& self_value(PyObject* self) {
  return value_of<Preamble>(self);
}

PyObject* get_version(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(self_value(self).version);
}

PyObject* get_flags(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(self_value(self).flags);
}

PyObject* get_header_area(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(self_value(self).header_area);
}

PyObject* repr(PyObject* self) {
  const Preamble& p = self_value(self);
  return new_str(str_cat("Preamble(version=", unsigned{p.version}, ", flags=", unsigned{p.flags},
                         ", header_area=", p.header_area, ")"));
}

PyGetSetDef kGetSet[] = {
    {"version", guard<get_version>, nullptr, "Container format version.", nullptr},
    {"flags", guard<get_flags>, nullptr, "Flag bits; bit 0 means the data section is compressed.",
     nullptr},
    {"header_area", guard<get_header_area>, nullptr, "Size of the header zone in bytes.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("The fixed binary head of a file.")},
    {Py_tp_new, reinterpret_cast<void*>(guard<refuse_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc<Preamble>)},
    {Py_tp_repr, reinterpret_cast<void*>(guard<repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(guard<value_richcompare<Preamble>>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "drelix_binary._native.Preamble", sizeof(ValueObject<Preamble>), 0, kValueTypeFlags, kSlots,
};

PyObject* g_type = nullptr;

}  // namespace

PyTypeObject* preamble_type() {
  return cached_type(g_type, kSpec);
}

PyObject* new_preamble(const Preamble& preamble) {
  return new_value(preamble_type(), preamble);
}

}  // namespace drelix::py
