// ValidateReport, RebuildReport and RepackReport: what the maintenance functions hand back.
//
// They follow the value-class pattern (a copy of the engine's report, read-only properties, no
// constructor) but keep object identity: a report is the outcome of one run on one file at one
// moment, and two runs that happened to find the same things are still two different events.
// Hence no richcompare, hash or repr slots, so the interpreter's defaults apply.
#include <string>
#include <utility>
#include <vector>

#include "binding/common/types.h"
#include "binding/common/value_type.h"

namespace drelix::py {

PyObject* new_str_list(const std::vector<std::string>& texts) {
  Ref list = steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    PyObject* item = new_str(texts[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return release(std::move(list));
}

namespace {

// ---- ValidateReport -----------------------------------------------------------------------

PyObject* validate_get_problems(PyObject* self, void*) {
  return new_str_list(value_of<ValidateReport>(self).problems);
}

PyObject* validate_get_frames(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(value_of<ValidateReport>(self).frames);
}

PyObject* validate_get_records(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(value_of<ValidateReport>(self).records);
}

PyGetSetDef kValidateGetSet[] = {
    {"problems", guard<validate_get_problems>, nullptr,
     "Everything wrong, empty when the file is sound.", nullptr},
    {"frames", guard<validate_get_frames>, nullptr, "Closed frames checked.", nullptr},
    {"records", guard<validate_get_records>, nullptr, "Records seen in frames and the tail.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kValidateSlots[] = {
    {Py_tp_doc, const_cast<char*>("What `validate` found.")},
    {Py_tp_new, reinterpret_cast<void*>(guard<refuse_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc<ValidateReport>)},
    {Py_tp_getset, kValidateGetSet},
    {0, nullptr},
};

PyType_Spec kValidateSpec = {
    "drelix_binary._native.ValidateReport",
    sizeof(ValueObject<ValidateReport>),
    0,
    kValueTypeFlags,
    kValidateSlots,
};

PyObject* g_validate_type = nullptr;

// ---- RebuildReport ------------------------------------------------------------------------

PyObject* rebuild_get_differences(PyObject* self, void*) {
  return new_str_list(value_of<RebuildReport>(self).differences);
}

PyObject* rebuild_get_fixed(PyObject* self, void*) {
  return PyBool_FromLong(value_of<RebuildReport>(self).fixed ? 1 : 0);
}

PyGetSetDef kRebuildGetSet[] = {
    {"differences", guard<rebuild_get_differences>, nullptr,
     "Header values that disagreed with the data.", nullptr},
    {"fixed", guard<rebuild_get_fixed>, nullptr, "Whether the zone was rewritten.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kRebuildSlots[] = {
    {Py_tp_doc, const_cast<char*>("What `rebuild_headers` found and did.")},
    {Py_tp_new, reinterpret_cast<void*>(guard<refuse_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc<RebuildReport>)},
    {Py_tp_getset, kRebuildGetSet},
    {0, nullptr},
};

PyType_Spec kRebuildSpec = {
    "drelix_binary._native.RebuildReport",
    sizeof(ValueObject<RebuildReport>),
    0,
    kValueTypeFlags,
    kRebuildSlots,
};

PyObject* g_rebuild_type = nullptr;

// ---- RepackReport -------------------------------------------------------------------------

PyObject* repack_get_bytes_before(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(value_of<RepackReport>(self).bytes_before);
}

PyObject* repack_get_bytes_after(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(value_of<RepackReport>(self).bytes_after);
}

PyObject* repack_get_frames(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(value_of<RepackReport>(self).frames);
}

PyGetSetDef kRepackGetSet[] = {
    {"bytes_before", guard<repack_get_bytes_before>, nullptr, "File size before, bytes.", nullptr},
    {"bytes_after", guard<repack_get_bytes_after>, nullptr, "File size after, bytes.", nullptr},
    {"frames", guard<repack_get_frames>, nullptr, "Frames re-encoded.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kRepackSlots[] = {
    {Py_tp_doc, const_cast<char*>("What `repack` measured.")},
    {Py_tp_new, reinterpret_cast<void*>(guard<refuse_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc<RepackReport>)},
    {Py_tp_getset, kRepackGetSet},
    {0, nullptr},
};

PyType_Spec kRepackSpec = {
    "drelix_binary._native.RepackReport",
    sizeof(ValueObject<RepackReport>),
    0,
    kValueTypeFlags,
    kRepackSlots,
};

PyObject* g_repack_type = nullptr;

}  // namespace

PyTypeObject* validate_report_type() {
  return cached_type(g_validate_type, kValidateSpec);
}
PyTypeObject* rebuild_report_type() {
  return cached_type(g_rebuild_type, kRebuildSpec);
}
PyTypeObject* repack_report_type() {
  return cached_type(g_repack_type, kRepackSpec);
}

PyObject* new_validate_report(ValidateReport report) {
  return new_value(validate_report_type(), std::move(report));
}

PyObject* new_rebuild_report(RebuildReport report) {
  return new_value(rebuild_report_type(), std::move(report));
}

PyObject* new_repack_report(const RepackReport& report) {
  return new_value(repack_report_type(), report);
}

}  // namespace drelix::py
