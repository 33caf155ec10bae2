#include "core/frame_read.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/codec.h"
#include "core/str_cat.h"
#include "core/thread_pool.h"

namespace drelix {

namespace {

// Where the frame's stored bytes lie in the file, refused when they overflow or run past the
// end, before anything is allocated for them.
Result<std::uint64_t> stored_start(const Container& c, const Frame& frame) {
  return stored_start(frame, c.data_start(), c.data_end());
}

Error size_mismatch(const Frame& frame, std::uint64_t expected, std::uint64_t got) {
  return Error::malformed(
      str_cat("frame ", frame.id, ": content is ", got, " bytes, expected ", expected));
}

}  // namespace

// Reads the frame's stored bytes into `stored` (resized to fit) and checks them.
Status read_stored_checked(const Container& c, const Frame& frame, Bytes& stored) {
  DRELIX_ASSIGN_OR_RETURN(const std::uint64_t start, stored_start(c, frame));
  stored.resize(static_cast<std::size_t>(frame.len));
  if (!stored.empty()) DRELIX_TRY(c.read_exact_at(start, stored));
  return check_frame_hash(frame, stored);
}

// Decodes checked stored bytes into exactly `out`.
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
  DRELIX_ASSIGN_OR_RETURN(const std::uint64_t start, stored_start(c, frame));
  std::uint8_t header[kZstdMaxHeader];
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(frame.len, sizeof header));
  DRELIX_TRY(c.read_exact_at(start, std::span<std::uint8_t>(header, n)));
  return content_size(ByteView(header, n), frame.len);
}

Result<Bytes> read_checked(const Container& c, const Frame& frame) {
  Bytes stored;
  DRELIX_TRY(read_stored_checked(c, frame, stored));
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
    DRELIX_TRY(read_stored_checked(c, *s.frame, scratch[slot]));
    return decode_into(
        *s.frame, scratch[slot],
        out.subspan(static_cast<std::size_t>(s.offset), static_cast<std::size_t>(s.size)));
  });
}

}  // namespace drelix
