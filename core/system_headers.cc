#include "core/system_headers.h"

#include "core/numbers.h"

namespace drelix {

Status set_counters(Headers& headers, Counters counters) {
  DRELIX_TRY(headers.set(key::kRecords, to_decimal(counters.records)));
  return headers.set(key::kBytesRaw, to_decimal(counters.bytes_raw));
}

Status set_frame_headers(Headers& headers, const std::vector<Frame>& frames,
                         std::optional<Counters> counters, std::optional<std::int32_t> level) {
  DRELIX_TRY(headers.set(key::kFrames, render_frames(frames)));
  if (counters) DRELIX_TRY(set_counters(headers, *counters));
  if (!level) return {};
  DRELIX_TRY(headers.set(key::kCompressionLevel, to_decimal_signed(*level)));
  // The caller's policy for the frames. A level 0 frame of bytes that begin with the zstd magic
  // is still a zstd frame, but readers decide per frame from its first bytes, so this value
  // stays "none" as asked.
  return headers.set(key::kCompression, *level == 0 ? "none" : "zstd");
}

bool lacks_preview(const Headers& headers) {
  const std::optional<std::string_view> existing = headers.get(key::kPreview);
  return !existing.has_value() || existing->empty();
}

}  // namespace drelix
