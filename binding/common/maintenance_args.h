// The arguments rebuild_headers and repack take in both modules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "binding/common/py.h"
#include "core/defaults.h"
#include "core/maintenance.h"

namespace drelix::py {

// rebuild_headers' bound arguments path and fix, converted; false with a Python exception set.
bool convert_rebuild_args(PyObject* const* bound, std::string* path, bool* fix);

// repack's arguments: path, level, header_area.
struct RepackArgs {
  std::string path;
  // Cold data is written once and read rarely: by default the strongest of the two levels
  // the modules export.
  std::int32_t level = kColdLevel;
  std::optional<std::uint32_t> header_area;
  // Recompute the frame statistics keys in the new file (the package's repack does).
  bool stats = false;

  // Converts the three bound arguments; false with a Python exception set.
  bool convert(PyObject* const* bound);
  // Without a zone size the engine keeps the file's own, read from its preamble.
  Result<RepackReport> run(const Progress& progress = {}, std::size_t threads = 1) const;
};

}  // namespace drelix::py
