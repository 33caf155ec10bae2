// Frame encoding and decoding with zstd: the one place that knows a stored frame's kind (zstd
// when it begins with the magic, raw otherwise) and how each kind is made and read back.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

#include "core/bytes.h"
#include "core/error.h"

struct ZSTD_CCtx_s;

namespace drelix {

// First four bytes of every zstd frame.
inline constexpr std::uint8_t kZstdMagic[4] = {0x28, 0xB5, 0x2F, 0xFD};
// Ceiling of decoded bytes per frame.
inline constexpr std::uint64_t kMaxDecodedFrame = 4294967296ULL;

inline bool starts_with_zstd_magic(ByteView b) {
  return b.size() >= 4 && b[0] == kZstdMagic[0] && b[1] == kZstdMagic[1] && b[2] == kZstdMagic[2] &&
         b[3] == kZstdMagic[3];
}

// Level 0: an exact copy, unless the bytes begin with the zstd magic (a raw frame like that
// would read back through the decoder), in which case a zstd frame is made at level 1 instead.
// Any other level: one zstd frame with the content checksum on, no dictionary. A library
// failure is Error::io_text(<zstd error name>).
Result<Bytes> compress_frame(ByteView bytes, std::int32_t level);
// The same, reusing `bytes` as the frame when it is stored raw; otherwise `bytes` is released
// once the frame is made, so that a close holds one copy of the data, not two.
Result<Bytes> compress_frame(Bytes&& bytes, std::int32_t level);

// Whether compress_frame(bytes, 0) stores the bytes raw.
inline bool level_zero_stores_raw(ByteView bytes) {
  return !starts_with_zstd_magic(bytes);
}

// The frames of compress_frame, with one zstd context kept from frame to frame and the output
// written into a buffer the caller recycles, so that a bulk write neither allocates a context
// nor faults in fresh memory per frame.
class FrameCompressor {
 public:
  FrameCompressor();
  ~FrameCompressor();
  FrameCompressor(FrameCompressor&&) noexcept;
  FrameCompressor& operator=(FrameCompressor&&) noexcept;

  // Replaces the contents of `out` with compress_frame(bytes, level), byte for byte. `out`
  // keeps its capacity, so a buffer used before is filled without new allocation.
  Status compress(ByteView bytes, std::int32_t level, Bytes& out);
  // The same frame (a valid one, not necessarily the same bytes), made in slices of
  // kStopSlice input bytes with `keep_going` asked between them: a slow level stops within
  // one slice of being asked to (cancelled()), not at the end of the frame.
  Status compress(ByteView bytes, std::int32_t level, Bytes& out,
                  const std::function<bool()>& keep_going);

  // A valid frame of `bytes` made through the library's own input buffer: each block is
  // copied in before anything reads it, so memory that changes meanwhile (a caller's array
  // another thread writes to) still gives a frame that decodes to exactly what its checksum
  // covers. Cheaper than a private copy of the whole input: the buffer stays in cache.
  Status compress_copying(ByteView bytes, std::int32_t level, Bytes& out);

  static constexpr std::size_t kStopSlice = 1 << 20;

 private:
  struct Deleter {
    void operator()(ZSTD_CCtx_s* c) const;
  };
  // Resets the context for a frame of `size` bytes at `level`, with the content checksum and
  // the content size in the header.
  Status start(std::size_t size, std::int32_t level);
  // compress, or with `copy_all` compress_copying.
  Status encode(ByteView bytes, std::int32_t level, Bytes& out,
                const std::function<bool()>& keep_going, bool copy_all);
  std::unique_ptr<ZSTD_CCtx_s, Deleter> cctx_;
};

struct DecodedFrame {
  Bytes content;
  std::uint64_t consumed = 0;  // input bytes the frame occupied
};

// Decodes the zstd frame at the start of `bytes`. Error::Compression (the library's error
// name), Error::Malformed "truncated zstd frame" or "frame decompresses to more than {} bytes".
Result<DecodedFrame> decode_one_frame(ByteView bytes);

// The content size the header of the zstd frame at the start of `bytes` declares, when it
// declares one that is believable: at most kMaxDecodedFrame and no more than the frame's
// stored bytes could expand to, so that a forged header cannot make a caller allocate
// gigabytes. nullopt when the size is absent, unbelievable, or the header does not parse.
std::optional<std::uint64_t> declared_content_size(ByteView bytes);
// The same for a frame of `stored_size` bytes of which `header` holds only the first ones (the
// frame header is at most kZstdMaxHeader bytes), so that a size can be learnt from a short read.
std::optional<std::uint64_t> declared_content_size(ByteView header, std::uint64_t stored_size);
inline constexpr std::size_t kZstdMaxHeader = 18;

// The content size of a stored frame of `stored_size` bytes whose first bytes are `head`: a raw
// frame's own length, or what a zstd frame believably declares (nullopt when it declares none).
std::optional<std::uint64_t> content_size(ByteView head, std::uint64_t stored_size);

// The content of a whole stored frame: the bytes themselves when raw, decoded when zstd (the
// errors of decode_one_frame).
Result<Bytes> decode_frame(Bytes stored);

// Decodes the zstd frame at the start of `bytes` into exactly `out`, which must be the size
// of its content (usually declared_content_size); returns the input bytes the frame occupied.
// The errors of decode_one_frame, plus Error::Malformed "frame content does not match the
// declared size of {} bytes" when the content is shorter or longer than `out`.
Result<std::uint64_t> decode_one_frame_into(ByteView bytes, std::span<std::uint8_t> out);

// Where a zstd frame ends, told from its headers without decoding it: the header's length
// from its first bytes (the magic and the frame header descriptor), then one 3-byte header per
// block naming the bytes the block takes, then the content checksum if the frame declares one.
// nullopt when the bytes are too few or name no valid header. A frame whose headers add up may
// still fail to decode; only decoding proves it.
std::optional<std::size_t> zstd_frame_header_size(ByteView head);
struct ZstdBlock {
  std::uint32_t stored = 0;  // bytes after the block header
  bool last = false;
};
inline constexpr std::size_t kZstdBlockHeader = 3;
inline constexpr std::size_t kZstdChecksum = 4;
std::optional<ZstdBlock> zstd_block_header(ByteView bytes);

// Whether the zstd frame at the start of `bytes` (which begins with the magic) carries a
// content checksum, read from its frame header descriptor. A frame that decodes with one has
// proved its bytes.
bool declares_content_checksum(ByteView bytes);

// Decodes one zstd frame whose bytes arrive in pieces, handing its content out in pieces of at
// most 256 KiB: memory stays bounded by the frame's window whatever size it declares.
class FrameDecoder {
 public:
  using Sink = std::function<void(ByteView content)>;

  FrameDecoder();
  ~FrameDecoder();
  FrameDecoder(const FrameDecoder&) = delete;
  FrameDecoder& operator=(const FrameDecoder&) = delete;

  // Feeds the next piece of the frame's bytes; every piece of content it yields goes to `sink`.
  // Returns how many bytes of `in` the frame took: all of them, unless the frame ended inside
  // `in` (done() then turns true and later calls take nothing). The errors of
  // decode_one_frame: Error::Compression (the library's error name) or the ceiling.
  Result<std::size_t> feed(ByteView in, const Sink& sink);
  bool done() const { return done_; }
  // Content bytes handed out so far.
  std::uint64_t produced() const { return produced_; }

 private:
  struct Context;
  std::unique_ptr<Context> context_;
  Bytes out_;
  std::uint64_t produced_ = 0;
  bool done_ = false;
};

}  // namespace drelix
