// Reads never write, so they serve read-only and writable containers alike, and a failed read
// leaves the container as it was.
#include "core/frame_read.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/codec.h"
#include "core/str_cat.h"
#include "core/thread_pool.h"

namespace drelix {

namespace {

Error size_mismatch(const Frame& frame, std::uint64_t expected, std::uint64_t got) {
  return Error::malformed(
      str_cat("frame ", frame.id, ": content is ", got, " bytes, expected ", expected));
}

// Asks `allocate` for exactly `size` bytes; a span of another size would be written past or
// left partly unwritten, so it is refused.
Result<std::span<std::uint8_t>> allocate_exactly(const ContentAllocator& allocate,
                                                 std::uint64_t size) {
  DRELIX_ASSIGN_OR_RETURN(const std::span<std::uint8_t> out,
                          allocate(static_cast<std::size_t>(size)));
  if (out.size() != size) {
    return fail(Error::usage(
        str_cat("content allocator gave ", out.size(), " bytes for a ", size, "-byte frame")));
  }
  return out;
}

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

}  // namespace

Status read_stored_checked(File& file, std::uint64_t data_start, std::uint64_t file_len,
                           const Frame& frame, Bytes& stored) {
  DRELIX_ASSIGN_OR_RETURN(const std::uint64_t start, stored_start(frame, data_start, file_len));
  stored.resize(static_cast<std::size_t>(frame.len));
  if (!stored.empty()) DRELIX_TRY(file.read_exact_at(start, stored));
  return check_frame_hash(frame, stored);
}

Status read_stored_checked(const Container& c, const Frame& frame, Bytes& stored) {
  return read_stored_checked(c.file(), c.data_start(), c.data_end(), frame, stored);
}

Status decode_into(const Frame& frame, ByteView stored, std::span<std::uint8_t> out) {
  if (!starts_with_zstd_magic(stored)) {
    if (stored.size() != out.size()) return fail(size_mismatch(frame, out.size(), stored.size()));
    if (!stored.empty()) std::memcpy(out.data(), stored.data(), stored.size());
    return {};
  }
  if (const std::optional<std::uint64_t> declared = declared_content_size(stored)) {
    if (*declared != out.size()) return fail(size_mismatch(frame, out.size(), *declared));
    DRELIX_TRY(decode_one_frame_into(stored, out));
    return {};
  }
  DRELIX_ASSIGN_OR_RETURN(const DecodedFrame decoded, decode_one_frame(stored));
  if (decoded.content.size() != out.size()) {
    return fail(size_mismatch(frame, out.size(), decoded.content.size()));
  }
  if (!out.empty()) std::memcpy(out.data(), decoded.content.data(), out.size());
  return {};
}

std::optional<std::uint64_t> content_size_of(ByteView stored) {
  return content_size(stored, stored.size());
}

Result<std::optional<std::uint64_t>> frame_content_size(const Container& c, const Frame& frame) {
  DRELIX_ASSIGN_OR_RETURN(const std::uint64_t start,
                          stored_start(frame, c.data_start(), c.data_end()));
  std::uint8_t header[kZstdMaxHeader];
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(frame.len, sizeof header));
  DRELIX_TRY(c.read_exact_at(start, std::span<std::uint8_t>(header, n)));
  return content_size(ByteView(header, n), frame.len);
}

Result<std::size_t> read_frame_content(const Container& c, const Frame& frame, Bytes& stored,
                                       const ContentAllocator& allocate) {
  DRELIX_TRY(read_stored_checked(c, frame, stored));
  if (const std::optional<std::uint64_t> size = content_size_of(stored)) {
    DRELIX_ASSIGN_OR_RETURN(const std::span<std::uint8_t> out, allocate_exactly(allocate, *size));
    DRELIX_TRY(decode_into(frame, stored, out));
    return out.size();
  }
  // Without a size to allocate up front the decoder has to grow its own buffer.
  DRELIX_ASSIGN_OR_RETURN(const DecodedFrame decoded, decode_one_frame(stored));
  DRELIX_ASSIGN_OR_RETURN(const std::span<std::uint8_t> out,
                          allocate_exactly(allocate, decoded.content.size()));
  if (!out.empty()) std::memcpy(out.data(), decoded.content.data(), out.size());
  return out.size();
}

Result<Bytes> read_checked(const Container& c, const Frame& frame) {
  Bytes stored;
  DRELIX_TRY(read_stored_checked(c, frame, stored));
  // The stored bytes of a raw frame are its content, handed back without a copy.
  return decode_frame(std::move(stored));
}

Result<Bytes> read_listed_frame(File& file, const Frame& frame, std::uint64_t data_start) {
  DRELIX_ASSIGN_OR_RETURN(const std::uint64_t file_len, file.length());
  Bytes stored;
  DRELIX_TRY(read_stored_checked(file, data_start, file_len, frame, stored));
  return decode_frame(std::move(stored));
}

Status decode_frames_into(const Container& c, std::span<const FrameSlot> slots,
                          std::span<std::uint8_t> out, std::size_t threads) {
  for (const FrameSlot& slot : slots) {
    if (slot.offset > out.size() || slot.size > out.size() - slot.offset) {
      return fail(Error::usage(str_cat("frame ", slot.frame->id, " does not fit the output")));
    }
  }
  threads = std::clamp<std::size_t>(threads, 1, std::max<std::size_t>(slots.size(), 1));
  // One stored frame per thread, reused from frame to frame.
  std::vector<Bytes> scratch(threads);
  return run_tasks(slots.size(), threads, [&](std::size_t i, std::size_t slot) -> Status {
    const FrameSlot& s = slots[i];
    const std::span<std::uint8_t> target =
        out.subspan(static_cast<std::size_t>(s.offset), static_cast<std::size_t>(s.size));
    // The slot's size is the one the content must have.
    const ContentAllocator into_slot = [&](std::size_t size) -> Result<std::span<std::uint8_t>> {
      if (size != target.size()) return fail(size_mismatch(*s.frame, target.size(), size));
      return target;
    };
    DRELIX_TRY(read_frame_content(c, *s.frame, scratch[slot], into_slot));
    return {};
  });
}

Result<Bytes> Container::read_frame(std::uint64_t frame_id) const {
  DRELIX_ASSIGN_OR_RETURN(const Frame* frame, frame_with_id(frames_, frame_id));
  return read_checked(*this, *frame);
}

Result<Bytes> Container::read_frame_at(std::uint64_t index) const {
  DRELIX_ASSIGN_OR_RETURN(const Frame* frame, frame_at(frames_, index));
  return read_checked(*this, *frame);
}

Result<std::size_t> Container::read_frame_into(std::uint64_t frame_id,
                                               const ContentAllocator& allocate) const {
  DRELIX_ASSIGN_OR_RETURN(const Frame* frame, frame_with_id(frames_, frame_id));
  Bytes stored;
  return read_frame_content(*this, *frame, stored, allocate);
}

Result<std::size_t> Container::read_frame_at_into(std::uint64_t index,
                                                  const ContentAllocator& allocate) const {
  DRELIX_ASSIGN_OR_RETURN(const Frame* frame, frame_at(frames_, index));
  Bytes stored;
  return read_frame_content(*this, *frame, stored, allocate);
}

}  // namespace drelix
