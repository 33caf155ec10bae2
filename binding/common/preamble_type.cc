// Preamble and the header dict: the head of a file, as peek_headers returns it.
#include "binding/common/types.h"
#include "binding/common/value_type.h"
#include "core/str_cat.h"

namespace drelix::py {

namespace {

PyObject* repr(PyObject* self) {
  const Preamble& p = value_of<Preamble>(self);
  return new_str(str_cat("Preamble(version=", unsigned{p.version}, ", flags=", unsigned{p.flags},
                         ", header_area=", p.header_area, ")"));
}

PyGetSetDef kGetSet[] = {
    property<&Preamble::version, new_int>("version", "Container format version."),
    property<&Preamble::flags, new_int>("flags",
                                        "Flag bits; bit 0 means the data section is compressed."),
    property<&Preamble::header_area, new_int>("header_area", "Size of the header zone in bytes."),
    {},
};

}  // namespace

PyTypeObject* preamble_type() {
  return value_class<Preamble>({.name = "drelix_binary._native.Preamble",
                                .doc = "The fixed binary head of a file.",
                                .getset = kGetSet,
                                .repr = guard<repr>,
                                .compared = true});
}

PyObject* new_preamble(const Preamble& preamble) {
  return new_value(preamble_type(), preamble);
}

PyObject* new_header_dict(const Headers& headers) {
  Ref dict = steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : headers.pairs()) {
    Ref py_key = steal(new_str(key));
    Ref py_value = steal(new_str(value));
    if (!py_key || !py_value) return nullptr;
    // A dict keeps a key where it was first inserted and takes the newer value.
    if (PyDict_SetItem(dict.get(), py_key.get(), py_value.get()) < 0) return nullptr;
  }
  return release(std::move(dict));
}

}  // namespace drelix::py
