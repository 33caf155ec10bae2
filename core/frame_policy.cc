#include "core/frame_policy.h"

#include <algorithm>

namespace drelix {

namespace {

std::uint64_t or_unlimited(std::uint64_t limit) {
  return limit == 0 ? UINT64_MAX : limit;
}

}  // namespace

Status check_frame_limits(const FrameLimits& limits) {
  if (limits.records == 0 && limits.bytes == 0) {
    return fail(Error::usage("a bulk write needs frame_records or frame_bytes"));
  }
  return {};
}

bool frame_due(const FrameLimits& limits, std::uint64_t records, std::uint64_t bytes,
               std::uint64_t next) {
  return records > 0 && (records >= or_unlimited(limits.records) ||
                         sat_add(bytes, next) > or_unlimited(limits.bytes));
}

FramePlan plan_fixed(std::size_t records, std::uint32_t size, const FrameLimits& limits) {
  // Every record is the same size, so frame_due holds after the same count in every frame.
  const std::uint64_t by_bytes = std::max<std::uint64_t>(1, or_unlimited(limits.bytes) / size);
  const std::uint64_t per_frame = std::min(or_unlimited(limits.records), by_bytes);
  FramePlan plan;
  for (std::size_t at = 0; at < records;) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(per_frame, records - at));
    at += n;
    plan.cut(at, std::uint64_t{n} * size);
  }
  return plan;
}

FramePlan plan_bodies(std::span<const ByteView> bodies, const FrameLimits& limits) {
  FramePlan plan;
  std::uint64_t records = 0;
  std::uint64_t bytes = 0;
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    const std::uint64_t size = 2 + bodies[i].size();
    if (frame_due(limits, records, bytes, size)) {
      plan.cut(i, bytes);
      records = 0;
      bytes = 0;
    }
    ++records;
    bytes += size;
  }
  if (!bodies.empty()) plan.cut(bodies.size(), bytes);
  return plan;
}

}  // namespace drelix
