// Reading closed frames back. Reads never write, so they serve read-only and writable
// containers alike, and a failed read leaves the container as it was.

#include "core/codec.h"
#include "core/container.h"
#include "core/str_cat.h"

namespace drelix {

Result<Bytes> Container::read_frame(std::uint64_t frame_id) {
  // Ids may repeat; the first in list order wins, and read_frame_at reaches the others.
  for (const Frame& frame : frames_) {
    if (frame.id == frame_id) return read_frame_body(frame);
  }
  return fail(Error::usage(str_cat("no frame ", frame_id)));
}

Result<Bytes> Container::read_frame_at(std::uint64_t index) {
  if (index >= frames_.size()) return fail(Error::usage(str_cat("no frame at position ", index)));
  return read_frame_body(frames_[static_cast<std::size_t>(index)]);
}

Result<Bytes> Container::read_frame_body(const Frame& frame) {
  std::uint64_t start;
  std::uint64_t end;
  if (__builtin_add_overflow(data_start_, frame.offset, &start) ||
      __builtin_add_overflow(start, frame.len, &end)) {
    return fail(Error::malformed(str_cat("frame ", frame.id, " overflows a u64 offset")));
  }
  // Checked before reading, so that a bogus length never turns into an allocation.
  if (end > data_end_) {
    return fail(Error::malformed(
        str_cat("frame ", frame.id, " ends at ", end, " but the file is ", data_end_, " bytes")));
  }
  Bytes bytes(static_cast<std::size_t>(frame.len));
  if (bytes.empty()) return bytes;
  DRELIX_TRY(file_->read_exact_at(start, bytes));
  // A zstd frame is recognised by its magic alone; anything else was stored raw at level 0
  // (which never stores bytes that begin with the magic).
  if (!starts_with_zstd_magic(bytes)) return bytes;
  DRELIX_ASSIGN_OR_RETURN(DecodedFrame decoded, decode_one_frame(bytes));
  return std::move(decoded.content);
}

}  // namespace drelix
