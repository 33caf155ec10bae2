// The system headers (keys that begin with "_"): their names, and the one update of them that
// follows every change to the frame list.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/file.h"
#include "core/frames.h"
#include "core/headers.h"

namespace drelix {

namespace key {
inline constexpr std::string_view kSchema = "_schema";
inline constexpr std::string_view kSchemaFields = "_schema_fields";
inline constexpr std::string_view kSchemaHash = "_schema_hash";
inline constexpr std::string_view kRecord = "_record";
inline constexpr std::string_view kSource = "_source";
inline constexpr std::string_view kCreatedAt = "_created_at";
inline constexpr std::string_view kWriter = "_writer";
inline constexpr std::string_view kCompression = "_compression";
inline constexpr std::string_view kCompressionLevel = "_compression_level";
inline constexpr std::string_view kRecords = "_records";
inline constexpr std::string_view kBytesRaw = "_bytes_raw";
inline constexpr std::string_view kFrames = "_frames";
inline constexpr std::string_view kPreview = "_preview";
inline constexpr std::string_view kSealed = "_sealed";
}  // namespace key

// What the frames hold in all: _records and _bytes_raw.
struct Counters {
  std::uint64_t records = 0;
  std::uint64_t bytes_raw = 0;
};

// Whether the file has no _preview yet (absent or empty): the first close or splice makes one.
bool lacks_preview(const Headers& headers);

// What a zone rewrite changes in the system headers; what is not given stays as it is. Applied
// in this order: _preview; _frames; _records and _bytes_raw; _compression_level and
// _compression; then the frame statistics (core/frame_stats.h).
struct ZoneChange {
  const std::vector<Frame>* frames = nullptr;
  std::optional<Counters> counters = std::nullopt;
  std::optional<std::int32_t> level = std::nullopt;
  // Set only while the file lacks one (lacks_preview); ignored otherwise.
  std::optional<std::string> preview = std::nullopt;
  // The drelix_stats_ keys and their new values, which go with the frame list they describe.
  std::span<const Headers::Pair> stats = {};
};

// A zone as it will be written: the headers and the image they render to.
struct Zone {
  Headers headers;
  Bytes image;
};

// The one rendering of a header zone, for every site that writes one (create, a header flush,
// close and splice, rebuild, repack): `headers` with `change` applied, rendered to exactly
// `zone_size` bytes, zero-filled; Error::ZoneFull (before anything is written) when they do not
// fit.
Result<Zone> render_zone(Headers headers, const ZoneChange& change, std::uint32_t zone_size);

// Writes a rendered zone in place, after the preamble, then syncs the file fully.
Status write_zone(File& file, ByteView zone);

}  // namespace drelix
