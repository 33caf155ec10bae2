// The value classes as the rest of the binding sees them: the type objects (built once and
// cached; borrowed references, null with an exception set on failure), the factories that wrap
// engine records into new Python objects, and the converters that take them back as arguments
// (in the converter form of binding/convert.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "binding/common/py.h"
#include "core/defaults.h"
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
PyTypeObject* container_type();
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

// The module functions of binding/functions.cc, for registration.
extern PyMethodDef kPeekHeadersDef;
extern PyMethodDef kSplitRecordsDef;
extern PyMethodDef kXxh64Def;
extern PyMethodDef kMaxFramesForDef;

// rebuild_headers' arguments as both modules bind them: path, fix. False with a Python exception
// set.
bool convert_rebuild_args(PyObject* const* bound, std::string* path, bool* fix);

// repack's arguments as both modules bind them: path, level, header_area.
struct RepackArgs {
  std::string path;
  // Cold data is written once and read rarely: by default the strongest of the two levels
  // the module exports.
  std::int32_t level = kColdLevel;
  std::optional<std::uint32_t> header_area;

  // Converts the three bound arguments; false with a Python exception set.
  bool convert(PyObject* const* bound);
  // Without a zone size the engine keeps the file's own, read from its preamble.
  Result<RepackReport> run(const Progress& progress = {}, std::size_t threads = 1) const;
};

// The maintenance functions of binding/maintenance.cc, for registration.
extern PyMethodDef kValidateDef;
extern PyMethodDef kRebuildHeadersDef;
extern PyMethodDef kRepackDef;

}  // namespace drelix::py
