// The frame list, stored in the _frames header: tokens "id,offset,len[,hash16]" joined by ";".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"

namespace drelix {

struct Frame {
  std::uint64_t id = 0;
  std::uint64_t offset = 0;  // from the start of the data section
  std::uint64_t len = 0;     // bytes the frame occupies in the file
  std::uint64_t hash = 0;    // XXH64 of those bytes; 0 means no checksum

  bool operator==(const Frame&) const = default;
};

std::string render_frames(const std::vector<Frame>& frames);

// Error::Malformed "bad frame {}: {}" for the first token that does not parse.
Result<std::vector<Frame>> parse_frames(std::string_view text);

// Where the stored bytes of `frame` begin in a file of `file_len` bytes whose data section
// starts at `data_start`: Error::Malformed "frame {id} overflows a u64 offset" or "frame {id}
// ends at {end} but the file is {file_len} bytes" when they do not lie inside the file.
Result<std::uint64_t> stored_start(const Frame& frame, std::uint64_t data_start,
                                   std::uint64_t file_len);

// Error::Malformed (that of stored_start) for the first frame that does not fit the file.
Status check_frames_fit(const std::vector<Frame>& frames, std::uint64_t data_start,
                        std::uint64_t file_len);

// Error::Malformed when two frames overlap, or a frame ends after the end of the last listed
// frame (where the tail, and the next close, begin), with the advice to run rebuild_headers.
// Such a list (one bit flipped in an offset makes one) would have a close overwrite durable
// frames. Gaps between frames are fine. Requires check_frames_fit to have passed.
Status check_frames_disjoint(const std::vector<Frame>& frames);

// The order rule of a frame list: frames are listed in the order they lie in the file, and no
// two occupy the same bytes. A list that breaks it has readers take one frame's bytes for
// another's, or for tail records, and copies yield a frame's records twice.
enum class Placement { kInOrder, kOutOfOrder, kOverlap };
struct FramePlace {
  Placement placement = Placement::kInOrder;
  std::string fault;  // why the entry breaks the rule; empty when it is in order
};
// One verdict per entry, in list order. An entry whose bytes overlap an earlier entry's (one
// listed twice, say) is kOverlap and holds nothing of its own; one that lies wholly before an
// earlier entry's end is kOutOfOrder. Empty frames occupy nothing and are always in order.
std::vector<FramePlace> place_frames(const std::vector<Frame>& frames);
// Error::Malformed with the fault of the first entry that breaks the rule.
Status check_frame_order(const std::vector<Frame>& frames);

// The one comparison of a frame's listed checksum with its stored bytes, for every read path.
// Succeeds when `frame.hash` is 0 (no checksum) or equals the XXH64 of `stored` (the bytes the
// frame occupies in the file, exactly as read); otherwise Error::Malformed "frame {id}:
// checksum mismatch, _frames says {listed:016x}, the bytes hash to {actual:016x}".
Status check_frame_hash(const Frame& frame, ByteView stored);
// That error, for a frame whose stored bytes hash to `actual`.
Error checksum_mismatch(const Frame& frame, std::uint64_t actual);

// Where the listed frames end, from the start of the data section: the end of the last listed
// frame (saturating), 0 for none. The tail, and the next close or splice, begin there.
std::uint64_t listed_end(const std::vector<Frame>& frames);
// The end of the frame that reaches furthest, whatever the list order: where the tail of a list
// that breaks the order rule begins, since no listed bytes may be taken for records.
std::uint64_t furthest_end(const std::vector<Frame>& frames);
// The id a new frame gets: one more than the largest listed (saturating), 0 for none.
std::uint64_t next_frame_id(const std::vector<Frame>& frames);

// The frame-count estimate callers are given for choosing a zone size. Its two constants are
// part of that published estimate, not derived from a rendering: the zone bytes set aside for
// the system headers, a preview and a few user headers, and the bytes counted per frame token.
// Nothing enforces it; the real limit is Error::ZoneFull when the rendered zone no longer fits.
inline constexpr std::uint64_t kEstimateReservedZone = 2624;
inline constexpr std::uint64_t kEstimateFrameToken = 64;
inline std::uint64_t max_frames_for(std::uint64_t header_area) {
  return header_area <= kEstimateReservedZone
             ? 0
             : (header_area - kEstimateReservedZone) / kEstimateFrameToken;
}

}  // namespace drelix
