// Reading closed frames back, for every path that needs a frame's content whole: a frame's
// stored bytes read and compared with its listed XXH64 (check_frame_hash) before anything is
// decoded, then decoded into memory the caller hands out for the content's size, which must
// match what the frame holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/bytes.h"
#include "core/container.h"
#include "core/error.h"
#include "core/file.h"
#include "core/frames.h"

namespace drelix {

using ContentAllocator = Container::ContentAllocator;

// The content size of `frame`, from at most its first kZstdMaxHeader bytes: a raw (level 0)
// frame's length, or the size a zstd frame declares; nullopt when a zstd frame declares none
// (or none believable).
Result<std::optional<std::uint64_t>> frame_content_size(const Container& c, const Frame& frame);

// The one read of a frame's stored bytes: refused, before anything is allocated for them, when
// they do not lie inside a file of `file_len` bytes whose data section starts at `data_start`
// (stored_start); read into `stored` (resized to fit); compared with the listed hash.
Status read_stored_checked(File& file, std::uint64_t data_start, std::uint64_t file_len,
                           const Frame& frame, Bytes& stored);
// The same for a frame of an open container, against the length it was opened with.
Status read_stored_checked(const Container& c, const Frame& frame, Bytes& stored);

// Decodes checked stored bytes into exactly `out` (which must be the size content_size_of
// gives): Error::Malformed "frame {id}: content is {n} bytes, expected {m}" otherwise.
Status decode_into(const Frame& frame, ByteView stored, std::span<std::uint8_t> out);
// The content size of checked stored bytes: a raw frame's length or a zstd frame's declared
// size; nullopt when the frame declares none.
std::optional<std::uint64_t> content_size_of(ByteView stored);

// The one read-check-decode: the stored bytes into `stored` and checked, then the content
// decoded into the memory `allocate` gives for its exact size (a span of another size is
// refused). A zstd frame that does not declare its size is decoded first, then copied. Returns
// the content size.
Result<std::size_t> read_frame_content(const Container& c, const Frame& frame, Bytes& stored,
                                       const ContentAllocator& allocate);

// The frame's content in a buffer of its own.
Result<Bytes> read_checked(const Container& c, const Frame& frame);

// The content of the listed frame `frame` of a file open outside any container, whose data
// section starts at `data_start`: checked against the file's length now, then as read_checked.
Result<Bytes> read_listed_frame(File& file, const Frame& frame, std::uint64_t data_start);

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
