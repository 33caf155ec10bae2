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
  return new_list(texts, new_str);
}

namespace {

PyGetSetDef kValidateGetSet[] = {
    property<&ValidateReport::problems, new_str_list>(
        "problems", "Everything wrong, empty when the file is sound."),
    property<&ValidateReport::frames, new_int>("frames", "Closed frames checked."),
    property<&ValidateReport::records, new_int>("records", "Records seen in frames and the tail."),
    {},
};

PyGetSetDef kRebuildGetSet[] = {
    property<&RebuildReport::differences, new_str_list>(
        "differences", "Header values that disagreed with the data."),
    property<&RebuildReport::fixed, new_bool>("fixed", "Whether the zone was rewritten."),
    {},
};

PyGetSetDef kRepackGetSet[] = {
    property<&RepackReport::bytes_before, new_int>("bytes_before", "File size before, bytes."),
    property<&RepackReport::bytes_after, new_int>("bytes_after", "File size after, bytes."),
    property<&RepackReport::frames, new_int>("frames", "Frames re-encoded."),
    {},
};

}  // namespace

PyTypeObject* validate_report_type() {
  return value_class<ValidateReport>({.name = "drelix_binary._native.ValidateReport",
                                      .doc = "What `validate` found.",
                                      .getset = kValidateGetSet});
}
PyTypeObject* rebuild_report_type() {
  return value_class<RebuildReport>({.name = "drelix_binary._native.RebuildReport",
                                     .doc = "What `rebuild_headers` found and did.",
                                     .getset = kRebuildGetSet});
}
PyTypeObject* repack_report_type() {
  return value_class<RepackReport>({.name = "drelix_binary._native.RepackReport",
                                    .doc = "What `repack` measured.",
                                    .getset = kRepackGetSet});
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
