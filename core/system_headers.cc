#include "core/system_headers.h"

#include <utility>

#include "core/numbers.h"
#include "core/preamble.h"

namespace drelix {

namespace {

Status apply(Headers& headers, const ZoneChange& change) {
  if (change.preview.has_value() && lacks_preview(headers)) {
    DRELIX_TRY(headers.set(key::kPreview, *change.preview));
  }
  if (change.frames != nullptr)
    DRELIX_TRY(headers.set(key::kFrames, render_frames(*change.frames)));
  if (change.counters) {
    DRELIX_TRY(headers.set(key::kRecords, to_decimal(change.counters->records)));
    DRELIX_TRY(headers.set(key::kBytesRaw, to_decimal(change.counters->bytes_raw)));
  }
  if (change.level) {
    DRELIX_TRY(headers.set(key::kCompressionLevel, to_decimal_signed(*change.level)));
    // The caller's policy for the frames. A level 0 frame of bytes that begin with the zstd
    // magic is still a zstd frame, but readers decide per frame from its first bytes, so this
    // value stays "none" as asked.
    DRELIX_TRY(headers.set(key::kCompression, *change.level == 0 ? "none" : "zstd"));
  }
  for (const auto& [key, value] : change.stats) DRELIX_TRY(headers.set(key, value));
  return {};
}

}  // namespace

bool lacks_preview(const Headers& headers) {
  const std::optional<std::string_view> existing = headers.get(key::kPreview);
  return !existing.has_value() || existing->empty();
}

Result<Zone> render_zone(Headers headers, const ZoneChange& change, std::uint32_t zone_size) {
  DRELIX_TRY(apply(headers, change));
  DRELIX_ASSIGN_OR_RETURN(Bytes image, headers.render(zone_size));
  return Zone{std::move(headers), std::move(image)};
}

Status write_zone(File& file, ByteView zone) {
  DRELIX_TRY(file.write_all_at(kPreambleSize, zone));
  return file.sync();
}

}  // namespace drelix
