// Progress and cancellation of the long whole-file operations (validate, rebuild_headers,
// repack).
#pragma once

#include <cstdint>
#include <functional>

#include "core/error.h"

namespace drelix {

// Called by the operation, on the thread doing the work, after each frame it has dealt with:
// `done` frames of `total` (a rebuild, which finds frames as it scans, counts the frames listed
// or found so far as its total). Returning false stops the operation before its next step that
// changes anything, with kCancelled; the file is then as it was before the operation.
using Progress = std::function<bool(std::uint64_t done, std::uint64_t total)>;

inline constexpr const char kCancelled[] = "cancelled";

inline Error cancelled() {
  return Error::usage(kCancelled);
}

// Reports to `progress` if there is one; false when it asks to stop.
inline bool keep_going(const Progress& progress, std::uint64_t done, std::uint64_t total) {
  return !progress || progress(done, total);
}

}  // namespace drelix
