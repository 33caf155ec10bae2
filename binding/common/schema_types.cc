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
  FieldSpec f;
  if (!parse_args(Signature{"FieldSpec.__new__", kParams, 3}, args, kwargs, Into{to_text, &f.name},
                  Into{to_text, &f.ty}, Into{to_u32, &f.offset})) {
    return nullptr;
  }
  return new_value(type, std::move(f));
}

PyObject* field_repr(PyObject* self) {
  const FieldSpec& f = value_of<FieldSpec>(self);
  return new_str(str_cat("FieldSpec(name=", quoted(f.name), ", ty=", quoted(f.ty),
                         ", offset=", f.offset, ")"));
}

PyGetSetDef kFieldGetSet[] = {
    property<&FieldSpec::name, new_str>("name", "The field's name."),
    property<&FieldSpec::ty, new_str>(
        "ty",
        "Its type, as the format spells it: `u8`, `u16`, `u32`, `u64`, `i64`,\n`f64` or `uuid`."),
    property<&FieldSpec::offset, new_int>("offset", "Byte offset inside the record."),
    {},
};

// ---- RecordLayout -------------------------------------------------------------------------

PyObject* layout_fixed(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"size"};
  std::uint32_t size = 0;
  if (!parse_args(Signature{"RecordLayout.fixed", kParams, 1}, args, kwargs, Into{to_u32, &size})) {
    return nullptr;
  }
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
    method<layout_fixed>("fixed", "fixed(size)\n--\n\nRecords of exactly `size` bytes.",
                         METH_VARARGS | METH_KEYWORDS | METH_STATIC),
    method<layout_prefixed>("prefixed",
                            "prefixed()\n--\n\nRecords preceded by a little-endian `u16` length.",
                            METH_NOARGS | METH_STATIC),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kLayoutGetSet[] = {
    {"fixed_size", guard<layout_get_fixed_size>, nullptr,
     "Bytes per record, or `None` when records carry a length prefix.", nullptr},
    {},
};

// ---- Schema -------------------------------------------------------------------------------

// The `fields` argument: a sequence whose items are all FieldSpec instances.
bool to_field_list(PyObject* obj, std::vector<FieldSpec>* out) {
  PyTypeObject* type = field_spec_type();
  if (type == nullptr) return false;
  std::vector<FieldSpec> fields;
  const auto take_field = [&](Py_ssize_t i, PyObject* item) {
    if (!is_instance(item, type)) return fail_item(i, "FieldSpec", item);
    fields.push_back(value_of<FieldSpec>(item));
    return true;
  };
  if (!for_each_item(obj, "FieldSpec", take_field)) return false;
  *out = std::move(fields);
  return true;
}

PyObject* schema_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"name", "fields", "layout"};
  Schema schema;
  if (!parse_args(Signature{"Schema.__new__", kParams, 3}, args, kwargs,
                  Into{to_text, &schema.name}, Into{to_field_list, &schema.fields},
                  Into{to_record_layout, &schema.layout})) {
    return nullptr;
  }
  return new_value(type, std::move(schema));
}

PyObject* new_field_list(const std::vector<FieldSpec>& fields) {
  return new_list(fields, new_field_spec);
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
    method<schema_hash_hex>("hash_hex",
                            "hash_hex($self)\n--\n\nThe FNV-1a 64 fingerprint over the field "
                            "list, as the file stores it.",
                            METH_NOARGS),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kSchemaGetSet[] = {
    property<&Schema::name, new_str>("name", "The schema's name, `name@version` by convention."),
    property<&Schema::fields, new_field_list>("fields", "Its fields, in declaration order."),
    property<&Schema::layout, new_record_layout>("layout", "How records are delimited."),
    {},
};

}  // namespace

PyTypeObject* field_spec_type() {
  return value_class<FieldSpec>({.name = "drelix_binary._native.FieldSpec",
                                 .doc = "FieldSpec(name, ty, offset)\n--\n\nOne field of a schema.",
                                 .getset = kFieldGetSet,
                                 .constructor = guard<field_spec_new>,
                                 .repr = guard<field_repr>,
                                 .compared = true});
}
PyTypeObject* record_layout_type() {
  return value_class<RecordLayout>({.name = "drelix_binary._native.RecordLayout",
                                    .doc = "How a record's bytes are delimited inside a frame.",
                                    .getset = kLayoutGetSet,
                                    .methods = kLayoutMethods,
                                    .repr = guard<layout_repr>,
                                    .compared = true});
}
PyTypeObject* schema_type() {
  return value_class<Schema>(
      {.name = "drelix_binary._native.Schema",
       .doc = "Schema(name, fields, layout)\n--\n\nWhat the records in a file look like.",
       .getset = kSchemaGetSet,
       .methods = kSchemaMethods,
       .constructor = guard<schema_new>,
       .repr = guard<schema_repr>,
       .compared = true});
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

namespace {

// An instance of the value class `type` (named `name` in the message), copied out.
template <class T>
bool take_value(PyTypeObject* type, const char* name, PyObject* obj, T* out) {
  if (type == nullptr) return false;
  if (!is_instance(obj, type)) return fail_type(name, obj);
  *out = value_of<T>(obj);
  return true;
}

}  // namespace

bool to_schema(PyObject* obj, Schema* out) {
  return take_value(schema_type(), "Schema", obj, out);
}

bool to_record_layout(PyObject* obj, RecordLayout* out) {
  return take_value(record_layout_type(), "RecordLayout", obj, out);
}

}  // namespace drelix::py
