// Reading stored frames and tails in pieces, so that whole-file checks run in bounded memory
// whatever a frame declares or a tail holds.
#pragma once

#include <cstdint>
#include <functional>

#include "core/bytes.h"
#include "core/codec.h"
#include "core/error.h"
#include "core/file.h"

namespace drelix {

// The largest piece read at once.
inline constexpr std::size_t kStreamPiece = 1 << 20;

// Reads the `len` bytes at `offset` in pieces of at most kStreamPiece, handing each to `fn` in
// order, until `done` (when given) says the rest no longer matters. Returns how many were read:
// fewer than `len` when the file ends first or `done` stopped the reading.
Result<std::uint64_t> read_pieces(File& file, std::uint64_t offset, std::uint64_t len,
                                  const std::function<void(ByteView piece)>& fn,
                                  const std::function<bool()>& done = {});

struct StreamedFrame {
  std::uint64_t hash = 0;  // XXH64 of the stored bytes read (all `len` unless the file ended)
  Status content;          // how the content ended: fine, or the error reading it met
};

// Streams one frame: its `len` stored bytes at `offset` are all read and hashed, and its content
// (what read_checked gives: nothing, the stored bytes of a raw frame, or the decoded zstd
// frame, bytes after its end ignored) goes to `sink` in pieces. A read error fails the call. A
// content error (the decoder's, "truncated zstd frame", or the end-of-file error when the file
// ends inside the frame) stops the content, not the hashing.
Result<StreamedFrame> stream_frame(File& file, std::uint64_t offset, std::uint64_t len,
                                   const FrameDecoder::Sink& sink);

// Tells, from bytes fed in order, whether they begin with a zstd frame that the end of the
// bytes cuts short: its magic and header, then content that decodes without error until the
// bytes run out. Such bytes are what a cut left of a frame, not records, even where a frame list
// has dropped the frame and they now lie in the tail. Records that begin with the magic by
// chance fail to decode, or decode to a frame that ends, and are not taken for one.
class CutFrameProbe {
 public:
  void feed(ByteView piece);
  // Whether more bytes could still change the answer.
  bool settled() const { return !candidate_ || decoder_.done(); }
  // The answer once every byte has been fed.
  bool cut() const { return fed_ && candidate_ && !decoder_.done(); }

 private:
  FrameDecoder decoder_;
  bool fed_ = false;
  bool candidate_ = true;  // the magic, and no decoding error so far
};

// Whether the `len` bytes at `offset` (the rest of the file) begin with a cut frame
// (CutFrameProbe); they are read only as far as it takes to tell.
Result<bool> begins_with_cut_frame(File& file, std::uint64_t offset, std::uint64_t len);

}  // namespace drelix
