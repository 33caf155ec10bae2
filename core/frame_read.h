// Checked reads of closed frames for the bulk paths: content sizes from a frame's first bytes,
// one frame read and checked, and many frames decoded in parallel into one caller-owned buffer.
//
// Every read here compares a frame's stored bytes with its listed XXH64 (check_frame_hash)
// before decoding them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/bytes.h"
#include "core/container.h"
#include "core/error.h"
#include "core/frames.h"

namespace drelix {

// The content size of `frame`, from at most its first kZstdMaxHeader bytes: a raw (level 0)
// frame's length, or the size a zstd frame declares; nullopt when a zstd frame declares none
// (or none believable).
Result<std::optional<std::uint64_t>> frame_content_size(const Container& c, const Frame& frame);

// The frame's content: stored bytes read, checked against the listed hash, decoded.
Result<Bytes> read_checked(const Container& c, const Frame& frame);

// The two halves of read_checked, for a caller that allocates the content itself: the stored
// bytes read into `stored` and checked; then their content decoded into exactly `out` (which
// must be the size content_size_of gives).
Status read_stored_checked(const Container& c, const Frame& frame, Bytes& stored);
Status decode_into(const Frame& frame, ByteView stored, std::span<std::uint8_t> out);
// The content size of checked stored bytes: a raw frame's length or a zstd frame's declared
// size; nullopt when the frame declares none (read_checked then decodes it on its own).
std::optional<std::uint64_t> content_size_of(ByteView stored);

// One frame of a parallel decode: its content goes to out[offset, offset + size).
struct FrameSlot {
  const Frame* frame = nullptr;
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

// Reads, checks and decodes every slot's frame into `out` on up to `threads` threads (the
// calling one included), holding one stored frame per thread besides `out`. Each slot must
// lie inside `out`. A frame whose content is not exactly its slot's size fails. Returns the
// error of the first failing slot in slot order; the other slots' bytes are then unspecified.
Status decode_frames_into(const Container& c, std::span<const FrameSlot> slots,
                          std::span<std::uint8_t> out, std::size_t threads);

}  // namespace drelix
