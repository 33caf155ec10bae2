// FieldSpec, RecordLayout and Schema: what a file declares about its records. Each stores the
// engine's own record, so converting to and from the engine is a copy.
#include <string>
#include <utility>
#include <vector>

#include "binding/common/args.h"
#include "binding/common/convert.h"
#include "binding/common/types.h"
#include "binding/common/value_type.h"
#include "core/str_cat.h"

namespace drelix::py {

namespace {

// ---- FieldSpec ----------------------------------------------------------------------------

PyObject* field_spec_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"name", "ty", "offset"};
  static constexpr Signature kSig{"FieldSpec.__new__", kParams, 3};
  PyObject* bound[3];
  if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
  FieldSpec field;
  if (!convert_arg("name", bound[0], to_text, &field.name) ||
      !convert_arg("ty", bound[1], to_text, &field.ty) ||
      !convert_arg("offset", bound[2], to_u32, &field.offset)) {
    return nullptr;
  }
  return new_value(type, std::move(field));
}

PyObject* field_get_name(PyObject* self, void*) {
  return new_str(value_of<FieldSpec>(self).name);
}

PyObject* field_get_ty(PyObject* self, void*) {
  return new_str(value_of<FieldSpec>(self).ty);
}

PyObject* field_get_offset(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(value_of<FieldSpec>(self).offset);
}

PyObject* field_repr(PyObject* self) {
  const FieldSpec& f = value_of<FieldSpec>(self);
  return new_str(str_cat("FieldSpec(name=", quoted(f.name), ", ty=", quoted(f.ty),
                         ", offset=", f.offset, ")"));
}

PyGetSetDef kFieldGetSet[] = {
    {"name", guard<field_get_name>, nullptr, "The field's name.", nullptr},
    {"ty", guard<field_get_ty>, nullptr,
     "Its type, as the format spells it: `u8`, `u16`, `u32`, `u64`, `i64`,\n`f64` or `uuid`.",
     nullptr},
    {"offset", guard<field_get_offset>, nullptr, "Byte offset inside the record.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kFieldSlots[] = {
    {Py_tp_doc, const_cast<char*>("FieldSpec(name, ty, offset)\n--\n\nOne field of a schema.")},
    {Py_tp_new, reinterpret_cast<void*>(guard<field_spec_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc<FieldSpec>)},
    {Py_tp_repr, reinterpret_cast<void*>(guard<field_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(guard<value_richcompare<FieldSpec>>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, kFieldGetSet},
    {0, nullptr},
};

PyType_Spec kFieldSpec = {
    "drelix_binary._native.FieldSpec",
    sizeof(ValueObject<FieldSpec>),
    0,
    kValueTypeFlags,
    kFieldSlots,
};

PyObject* g_field_type = nullptr;

// ---- RecordLayout -------------------------------------------------------------------------

PyObject* layout_fixed(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"size"};
  static constexpr Signature kSig{"RecordLayout.fixed", kParams, 1};
  PyObject* bound[1];
  if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
  std::uint32_t size = 0;
  if (!convert_arg("size", bound[0], to_u32, &size)) return nullptr;
  return new_record_layout(RecordLayout::fixed(size));
}

PyObject* layout_prefixed(PyObject*, PyObject*) {
  return new_record_layout(RecordLayout::prefixed());
}

PyObject* layout_get_fixed_size(PyObject* self, void*) {
  const RecordLayout& layout = value_of<RecordLayout>(self);
  if (!layout.is_fixed()) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(layout.size());
}

PyObject* layout_repr(PyObject* self) {
  const RecordLayout& layout = value_of<RecordLayout>(self);
  if (!layout.is_fixed()) return new_str("RecordLayout.prefixed()");
  return new_str(str_cat("RecordLayout.fixed(", layout.size(), ")"));
}

PyMethodDef kLayoutMethods[] = {
    {"fixed", as_cfunction(guard<layout_fixed>), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "fixed(size)\n--\n\nRecords of exactly `size` bytes."},
    {"prefixed", as_cfunction(guard<layout_prefixed>), METH_NOARGS | METH_STATIC,
     "prefixed()\n--\n\nRecords preceded by a little-endian `u16` length."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kLayoutGetSet[] = {
    {"fixed_size", guard<layout_get_fixed_size>, nullptr,
     "Bytes per record, or `None` when records carry a length prefix.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kLayoutSlots[] = {
    {Py_tp_doc, const_cast<char*>("How a record's bytes are delimited inside a frame.")},
    {Py_tp_new, reinterpret_cast<void*>(guard<refuse_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc<RecordLayout>)},
    {Py_tp_repr, reinterpret_cast<void*>(guard<layout_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(guard<value_richcompare<RecordLayout>>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_methods, kLayoutMethods},
    {Py_tp_getset, kLayoutGetSet},
    {0, nullptr},
};

PyType_Spec kLayoutSpec = {
    "drelix_binary._native.RecordLayout",
    sizeof(ValueObject<RecordLayout>),
    0,
    kValueTypeFlags,
    kLayoutSlots,
};

PyObject* g_layout_type = nullptr;

// ---- Schema -------------------------------------------------------------------------------

// The `fields` argument: a sequence (never a str, which would otherwise pass as a sequence of
// one-character texts) whose items are all FieldSpec instances.
bool to_field_list(PyObject* obj, std::vector<FieldSpec>* out) {
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    const std::string text = str_cat("expected a sequence of FieldSpec, got ", type_name(obj));
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return false;
  }
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) return false;
  PyTypeObject* type = field_spec_type();
  if (type == nullptr) return false;
  // No reserve from __len__, which the caller controls: the vector grows with real items.
  std::vector<FieldSpec> fields;
  for (Py_ssize_t i = 0; i < size; ++i) {
    Ref item = steal(PySequence_GetItem(obj, i));
    if (!item) return false;
    if (!is_instance(item.get(), type)) {
      const std::string text =
          str_cat("item ", i, ": expected FieldSpec, got ", type_name(item.get()));
      PyErr_SetString(PyExc_TypeError, text.c_str());
      return false;
    }
    fields.push_back(value_of<FieldSpec>(item.get()));
  }
  *out = std::move(fields);
  return true;
}

PyObject* schema_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"name", "fields", "layout"};
  static constexpr Signature kSig{"Schema.__new__", kParams, 3};
  PyObject* bound[3];
  if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
  Schema schema;
  if (!convert_arg("name", bound[0], to_text, &schema.name) ||
      !convert_arg("fields", bound[1], to_field_list, &schema.fields) ||
      !convert_arg("layout", bound[2], to_record_layout, &schema.layout)) {
    return nullptr;
  }
  return new_value(type, std::move(schema));
}

PyObject* schema_get_name(PyObject* self, void*) {
  return new_str(value_of<Schema>(self).name);
}

PyObject* schema_get_fields(PyObject* self, void*) {
  const std::vector<FieldSpec>& fields = value_of<Schema>(self).fields;
  Ref list = steal(PyList_New(static_cast<Py_ssize_t>(fields.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    PyObject* item = new_field_spec(fields[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return release(std::move(list));
}

PyObject* schema_get_layout(PyObject* self, void*) {
  return new_record_layout(value_of<Schema>(self).layout);
}

PyObject* schema_hash_hex(PyObject* self, PyObject*) {
  return new_str(value_of<Schema>(self).hash_hex());
}

PyObject* schema_repr(PyObject* self) {
  const Schema& s = value_of<Schema>(self);
  return new_str(
      str_cat("Schema(name=", quoted(s.name), ", fields=", s.fields.size(), " field(s))"));
}

PyMethodDef kSchemaMethods[] = {
    {"hash_hex", as_cfunction(guard<schema_hash_hex>), METH_NOARGS,
     "hash_hex($self)\n--\n\nThe FNV-1a 64 fingerprint over the field list, as the file stores "
     "it."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kSchemaGetSet[] = {
    {"name", guard<schema_get_name>, nullptr, "The schema's name, `name@version` by convention.",
     nullptr},
    {"fields", guard<schema_get_fields>, nullptr, "Its fields, in declaration order.", nullptr},
    {"layout", guard<schema_get_layout>, nullptr, "How records are delimited.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSchemaSlots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Schema(name, fields, layout)\n--\n\nWhat the records in a file look like.")},
    {Py_tp_new, reinterpret_cast<void*>(guard<schema_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc<Schema>)},
    {Py_tp_repr, reinterpret_cast<void*>(guard<schema_repr>)},
    {Py_tp_richcompare, reinterpret_cast<void*>(guard<value_richcompare<Schema>>)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_methods, kSchemaMethods},
    {Py_tp_getset, kSchemaGetSet},
    {0, nullptr},
};

PyType_Spec kSchemaSpec = {
    "drelix_binary._native.Schema", sizeof(ValueObject<Schema>), 0, kValueTypeFlags, kSchemaSlots,
};

PyObject* g_schema_type = nullptr;

}  // namespace

PyTypeObject* field_spec_type() {
  return cached_type(g_field_type, kFieldSpec);
}
PyTypeObject* record_layout_type() {
  return cached_type(g_layout_type, kLayoutSpec);
}
PyTypeObject* schema_type() {
  return cached_type(g_schema_type, kSchemaSpec);
}

PyObject* new_field_spec(FieldSpec field) {
  return new_value(field_spec_type(), std::move(field));
}

PyObject* new_record_layout(RecordLayout layout) {
  return new_value(record_layout_type(), layout);
}

PyObject* new_schema(Schema schema) {
  return new_value(schema_type(), std::move(schema));
}

bool to_schema(PyObject* obj, Schema* out) {
  PyTypeObject* type = schema_type();
  if (type == nullptr) return false;
  if (!is_instance(obj, type)) {
    const std::string text = str_cat("expected Schema, got ", type_name(obj));
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return false;
  }
  *out = value_of<Schema>(obj);
  return true;
}

bool to_record_layout(PyObject* obj, RecordLayout* out) {
  PyTypeObject* type = record_layout_type();
  if (type == nullptr) return false;
  if (!is_instance(obj, type)) {
    const std::string text = str_cat("expected RecordLayout, got ", type_name(obj));
    PyErr_SetString(PyExc_TypeError, text.c_str());
    return false;
  }
  *out = value_of<RecordLayout>(obj);
  return true;
}

}  // namespace drelix::py
