// The value classes both modules share: the type objects (built once and cached; borrowed
// references, null with an exception set on failure), the factories that wrap engine records
// into new Python objects, and the converters that take them back as arguments (in the
// converter form of common/convert.h).
#pragma once

#include <string>
#include <vector>

#include "binding/common/py.h"
#include "core/frames.h"
#include "core/headers.h"
#include "core/maintenance.h"
#include "core/preamble.h"
#include "core/schema.h"

namespace drelix::py {

PyTypeObject* preamble_type();
PyTypeObject* field_spec_type();
PyTypeObject* record_layout_type();
PyTypeObject* schema_type();
PyTypeObject* frame_type();
PyTypeObject* validate_report_type();
PyTypeObject* rebuild_report_type();
PyTypeObject* repack_report_type();

// New instances holding a copy of the engine record. New reference or null.
PyObject* new_preamble(const Preamble& preamble);
PyObject* new_field_spec(FieldSpec field);
PyObject* new_record_layout(RecordLayout layout);
PyObject* new_schema(Schema schema);
PyObject* new_frame(const Frame& frame);

// New report objects holding a copy of the engine's report. New reference or null.
PyObject* new_validate_report(ValidateReport report);
PyObject* new_rebuild_report(RebuildReport report);
PyObject* new_repack_report(const RepackReport& report);

// A new list of new str objects, in order (a copy: callers may mutate it).
PyObject* new_str_list(const std::vector<std::string>& texts);

// A new list of new Frame objects, in order.
PyObject* new_frame_list(const std::vector<Frame>& frames);

// A new dict from key to value filled in list order, so iteration follows the zone and a
// repeated key keeps its first position and its last value.
PyObject* new_header_dict(const Headers& headers);

// Converters: an instance of the class (anything else raises TypeError), copied out as the
// engine's record.
bool to_schema(PyObject* obj, Schema* out);
bool to_record_layout(PyObject* obj, RecordLayout* out);

}  // namespace drelix::py
