// Splicing frames encoded elsewhere (the bulk writes), and syncing the raw tail.
//
// splice_frames is close_frame without the compression: both end in commit_frames, so a crash
// leaves the file before or after the whole splice. The journal's frame part is all the frames
// back to back, exactly the bytes that end up at the tail start.

#include <string>
#include <utility>
#include <vector>

#include "core/container.h"
#include "core/journal.h"
#include "core/numbers.h"
#include "core/str_cat.h"
#include "core/system_headers.h"

namespace drelix {

Result<std::vector<Frame>> Container::splice_frames(std::span<const Frame> frames,
                                                    std::span<const ByteView> parts,
                                                    std::uint64_t records, std::uint64_t bytes_raw,
                                                    std::int32_t level,
                                                    const std::string& preview) {
  DRELIX_TRY(check_writable());
  DRELIX_TRY(io_.write_buffer());
  const std::uint64_t tail_at = tail_start();
  if (io_.data_end > tail_at) {
    return fail(Error::usage("the tail holds records; close it into a frame first"));
  }
  if (frames.size() != parts.size() || frames.empty()) {
    return fail(Error::usage("splice_frames needs one part per frame, and at least one"));
  }

  // Work on copies: the container's memory changes only once the file has.
  std::vector<Frame> listed = frames_;
  std::uint64_t offset = tail_at - data_start_;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    if (parts[i].size() != frames[i].len) {
      return fail(Error::usage(str_cat("frame ", frames[i].id, " is ", parts[i].size(),
                                       " bytes, listed as ", frames[i].len)));
    }
    listed.push_back(Frame{frames[i].id, offset, frames[i].len, frames[i].hash});
    offset = sat_add(offset, frames[i].len);
  }
  const std::size_t before = frames_.size();
  DRELIX_TRY(commit_frames(tail_at, parts, std::move(listed),
                           Counters{sat_add(records_, records), sat_add(bytes_raw_, bytes_raw)},
                           level, preview.empty() ? std::nullopt : std::optional(preview)));
  return std::vector<Frame>(frames_.begin() + static_cast<std::ptrdiff_t>(before), frames_.end());
}

Status Container::sync_data() {
  DRELIX_TRY(check_writable());
  DRELIX_TRY(io_.write_buffer());
  return sync_file();
}

}  // namespace drelix
