// The system headers (keys that begin with "_"): their names, and the one update of them that
// follows every change to the frame list.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/error.h"
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

// Sets _records and _bytes_raw.
Status set_counters(Headers& headers, Counters counters);

// The headers that describe the frame list after a close, splice, rebuild or repack, in this
// order: _frames; the counters, when given; _compression_level and _compression, when a level
// is given.
Status set_frame_headers(Headers& headers, const std::vector<Frame>& frames,
                         std::optional<Counters> counters, std::optional<std::int32_t> level);

// Whether the file has no _preview yet (absent or empty): the first close or splice makes one.
bool lacks_preview(const Headers& headers);

}  // namespace drelix
