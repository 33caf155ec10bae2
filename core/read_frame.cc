// Reading closed frames back. Reads never write, so they serve read-only and writable
// containers alike, and a failed read leaves the container as it was.

#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "core/codec.h"
#include "core/container.h"
#include "core/frame_read.h"
#include "core/frames.h"
#include "core/str_cat.h"

namespace drelix {

namespace {

// Ids may repeat; the first in list order wins, and read_frame_at reaches the others.
Result<const Frame*> frame_with_id(const std::vector<Frame>& frames, std::uint64_t frame_id) {
  for (const Frame& frame : frames) {
    if (frame.id == frame_id) return &frame;
  }
  return fail(Error::usage(str_cat("no frame ", frame_id)));
}

Result<const Frame*> frame_at(const std::vector<Frame>& frames, std::uint64_t index) {
  if (index >= frames.size()) return fail(Error::usage(str_cat("no frame at position ", index)));
  return &frames[static_cast<std::size_t>(index)];
}

// Asks `allocate` for exactly `size` bytes; a span of another size would be written past or
// left partly unwritten, so it is refused.
Result<std::span<std::uint8_t>> allocate_exactly(const Container::ContentAllocator& allocate,
                                                 std::size_t size) {
  DRELIX_ASSIGN_OR_RETURN(const std::span<std::uint8_t> out, allocate(size));
  if (out.size() != size) {
    return fail(Error::usage(
        str_cat("content allocator gave ", out.size(), " bytes for a ", size, "-byte frame")));
  }
  return out;
}

// A frame's stored bytes read and checked against the listed checksum (read_stored_checked:
// without that, a flipped byte of a raw frame, a damaged zstd magic or a wrong listed offset
// would come back as records), then their content written into memory from `allocate`.
Result<std::size_t> read_body_into(const Container& c, const Frame& frame,
                                   const Container::ContentAllocator& allocate) {
  Bytes stored;
  DRELIX_TRY(read_stored_checked(c, frame, stored));
  if (const std::optional<std::uint64_t> size = content_size_of(stored)) {
    DRELIX_ASSIGN_OR_RETURN(const std::span<std::uint8_t> out,
                            allocate_exactly(allocate, static_cast<std::size_t>(*size)));
    DRELIX_TRY(decode_into(frame, stored, out));
    return out.size();
  }
  // Without a size to allocate up front the decoder has to grow its own buffer.
  DRELIX_ASSIGN_OR_RETURN(const Bytes content, decode_frame(std::move(stored)));
  DRELIX_ASSIGN_OR_RETURN(const std::span<std::uint8_t> out,
                          allocate_exactly(allocate, content.size()));
  if (!content.empty()) std::memcpy(out.data(), content.data(), content.size());
  return content.size();
}

}  // namespace

Result<Bytes> Container::read_frame(std::uint64_t frame_id) const {
  DRELIX_ASSIGN_OR_RETURN(const Frame* frame, frame_with_id(frames_, frame_id));
  return read_frame_body(*frame);
}

Result<Bytes> Container::read_frame_at(std::uint64_t index) const {
  DRELIX_ASSIGN_OR_RETURN(const Frame* frame, frame_at(frames_, index));
  return read_frame_body(*frame);
}

Result<Bytes> Container::read_frame_body(const Frame& frame) const {
  return read_checked(*this, frame);
}

Result<std::size_t> Container::read_frame_into(std::uint64_t frame_id,
                                               const ContentAllocator& allocate) const {
  DRELIX_ASSIGN_OR_RETURN(const Frame* frame, frame_with_id(frames_, frame_id));
  return read_body_into(*this, *frame, allocate);
}

Result<std::size_t> Container::read_frame_at_into(std::uint64_t index,
                                                  const ContentAllocator& allocate) const {
  DRELIX_ASSIGN_OR_RETURN(const Frame* frame, frame_at(frames_, index));
  return read_body_into(*this, *frame, allocate);
}

}  // namespace drelix
