// When a frame is due, and how a run of records is cut into frames: the one rule for every
// writer that cuts frames by size (the bulk writes here; a writer that closes frames as records
// arrive asks frame_due before each one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"

namespace drelix {

// A frame ends after `records` records, or before its raw size (records in on-disk form) would
// pass `bytes`, whichever comes first; a frame holds at least one record. 0 means no limit, and
// at least one of the two must be set (check_frame_limits).
struct FrameLimits {
  std::uint64_t records = 0;
  std::uint64_t bytes = 0;
};

// Error::Usage "a bulk write needs frame_records or frame_bytes" when neither limit is set.
Status check_frame_limits(const FrameLimits& limits);

// Whether a frame that holds `records` records of `bytes` raw bytes must end before a record of
// `next` raw bytes joins it.
bool frame_due(const FrameLimits& limits, std::uint64_t records, std::uint64_t bytes,
               std::uint64_t next);

// A cut of records into frames: frame k holds records [cuts[k], cuts[k + 1]) and raw[k] bytes.
struct FramePlan {
  std::vector<std::size_t> cuts{0};
  std::vector<std::uint64_t> raw;
  std::size_t frames() const { return raw.size(); }
  void cut(std::size_t at, std::uint64_t bytes) {
    cuts.push_back(at);
    raw.push_back(bytes);
  }
};

// `records` fixed records of `size` bytes, cut by frame_due.
FramePlan plan_fixed(std::size_t records, std::uint32_t size, const FrameLimits& limits);
// Length-prefixed records with these bodies (2 + size raw bytes each), cut by frame_due.
FramePlan plan_bodies(std::span<const ByteView> bodies, const FrameLimits& limits);

}  // namespace drelix
