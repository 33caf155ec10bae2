// Whole-file maintenance: validation, header rebuild, repack. Each takes a path, replays a
// pending seal journal first, and opens and closes the file itself.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/file.h"
#include "core/progress.h"

namespace drelix {

inline constexpr std::size_t kMaxProblems = 20;

struct ValidateReport {
  std::vector<std::string> problems;
  std::uint64_t frames = 0;
  std::uint64_t records = 0;
};

// Optional per-record check: returns nothing for a good record, or a failure text. With more
// than one thread it is called from several threads at once.
using RecordCheck = std::function<std::optional<std::string>(ByteView record)>;

// `progress` (optional) hears of every frame checked and can stop the work (core/progress.h).
// Frames are read, hashed and decoded on up to `threads` threads (1: the calling thread alone),
// two per thread at a time; the report is the same whatever the number. With `check_stats`,
// each frame statistics key (core/frame_stats.h) must parse with one entry per listed frame,
// and each entry must be the range of its frame's records: a line for each that is not.
Result<ValidateReport> validate(const std::string& path, const RecordCheck& check = {},
                                const Progress& progress = {}, std::size_t threads = 1,
                                bool check_stats = false);
// The same checks of an object read by range (range_file), named `name` in problems and
// errors: nothing is replayed or removed, as nothing can be written there.
Result<ValidateReport> validate_object(FilePtr file, const std::string& name,
                                       const RecordCheck& check = {}, const Progress& progress = {},
                                       std::size_t threads = 1, bool check_stats = false);

struct RebuildReport {
  std::vector<std::string> differences;
  bool fixed = false;
};

// `progress` hears of every frame found; stopped, a rebuild writes nothing. Frames are decoded
// on up to `threads` threads (1: the calling thread alone), two per thread at a time; the report
// and the fix are the same whatever the number. With `stats`, each frame statistics key is
// derived too, from the frames found, and compared and written like the counters.
Result<RebuildReport> rebuild_headers(const std::string& path, bool fix,
                                      const Progress& progress = {}, std::size_t threads = 1,
                                      bool stats = false);

struct RepackReport {
  std::uint64_t bytes_before = 0;
  std::uint64_t bytes_after = 0;
  std::uint64_t frames = 0;
};

// Repacks the file `path` names, through symbolic links: the link stays and its target is
// replaced. Refuses (changing nothing) a frame whose listed checksum fails. `progress` hears of
// every frame copied; stopped, a repack leaves the file as it was and no temporary file behind.
// Frames are re-encoded on up to `threads` threads (1: the calling thread alone); the new file is
// the same, byte for byte, whatever their number. With `progress` a frame is compressed in
// slices, so its bytes may differ from those of a repack without one. With `stats`, each frame
// statistics key of the new file is computed from the frames as they are re-encoded.
Result<RepackReport> repack(const std::string& path, std::int32_t level,
                            const Progress& progress = {}, std::size_t threads = 1,
                            bool stats = false);
Result<RepackReport> repack_with_header_area(const std::string& path, std::int32_t level,
                                             std::uint32_t header_area,
                                             const Progress& progress = {},
                                             std::size_t threads = 1, bool stats = false);

// Removes the "<file>.repack" a killed repack of the file `path` names left behind, if any.
// Best effort: a failure is ignored, since the next repack truncates the name anyway.
void remove_stale_repack(const std::string& path);

}  // namespace drelix
