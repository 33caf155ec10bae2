// Frame: one entry of a file's frame list, copied out of the engine's list.
#include "binding/common/types.h"
#include "binding/common/value_type.h"
#include "core/numbers.h"
#include "core/str_cat.h"

namespace drelix::py {

namespace {

const Frame& self_value(PyObject* self) {
  return value_of<Frame>(self);
}

PyObject* get_id(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(self_value(self).id);
}

PyObject* get_offset(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(self_value(self).offset);
}

PyObject* get_len(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(self_value(self).len);
}

PyObject* get_hash(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(self_value(self).hash);
}

PyObject* repr(PyObject* self) {
  const Frame& f = self_value(self);
  return new_str(str_cat("Frame(id=", f.id, ", offset=", f.offset, ", len=", f.len, ", hash=0x",
                         to_hex16(f.hash), ")"));
}

PyGetSetDef kGetSet[] = {
    {"id", guard<get_id>, nullptr, "The id the writer gave it. Ids may repeat.", nullptr},
    {"offset", guard<get_offset>, nullptr, "Byte offset from the start of the data section.",
     nullptr},
    {"len", guard<get_len>, nullptr, "Compressed length.", nullptr},
    {"hash", guard<get_hash>, nullptr,
     "XXH64 of the compressed bytes, `0` when the file predates checksums.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("One closed frame in the data section.")},
    {Py_tp_new, reinterpret_cast<void*>(guard<refuse_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc<Frame>)},
    {Py_tp_repr, reinterpret_cast<void*>(guard<repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(guard<value_richcompare<Frame>>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "drelix_binary._native.Frame", sizeof(ValueObject<Frame>), 0, kValueTypeFlags, kSlots,
};

PyObject* g_type = nullptr;

}  // namespace

PyTypeObject* frame_type() {
  return cached_type(g_type, kSpec);
}

PyObject* new_frame(const Frame& frame) {
  return new_value(frame_type(), frame);
}

PyObject* new_frame_list(const std::vector<Frame>& frames) {
  Ref list = steal(PyList_New(static_cast<Py_ssize_t>(frames.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    PyObject* item = new_frame(frames[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return release(std::move(list));
}

}  // namespace drelix::py
