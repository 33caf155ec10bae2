// Bulk writes: many records at once, cut into frames, compressed in parallel and spliced at the
// tail start through the seal journal, without first passing through the raw tail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/bytes.h"
#include "core/container.h"
#include "core/defaults.h"
#include "core/error.h"
#include "core/frames.h"

namespace drelix {

// Compressed frames are gathered into one journal (one crash-safe splice) until they reach
// this many bytes, which bounds the memory a bulk write holds beyond its input.
inline constexpr std::uint64_t kBulkBatchBytes = 64ULL << 20;

struct BulkOptions {
  // The frame limits (FrameLimits in frame_policy.h): 0 means no limit, one must be set.
  std::uint64_t frame_records = 0;
  std::uint64_t frame_bytes = 0;
  std::int32_t level = kHotLevel;
  std::size_t threads = 1;
};

// Appends the records as frames to a writable container whose ids continue from `first_id`
// (one more per frame). A non-empty raw tail (buffer included) is first closed into a frame of
// its own with id first_id. Returns the frames added, in order. Each batch is a journaled
// splice: a crash leaves every earlier batch whole and no part of a later one.
//
// Fixed layout: `data` holds whole records back to back (its size a multiple of the record
// size). Prefixed layout: `bodies` are the records' bodies (each at most 65535 bytes).
Result<std::vector<Frame>> bulk_write_fixed(Container& c, ByteView data, std::uint64_t first_id,
                                            const BulkOptions& options);
Result<std::vector<Frame>> bulk_write_bodies(Container& c, std::span<const ByteView> bodies,
                                             std::uint64_t first_id, const BulkOptions& options);

}  // namespace drelix
