// Frame compression for the bulk writes: the same frames as compress_frame, but with one zstd
// context kept from frame to frame and the output written into a buffer the caller recycles,
// so that a bulk write neither allocates a context nor faults in fresh memory per frame.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "core/bytes.h"
#include "core/error.h"

struct ZSTD_CCtx_s;

namespace drelix {

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

  static constexpr std::size_t kStopSlice = 1 << 20;

 private:
  struct Deleter {
    void operator()(ZSTD_CCtx_s* c) const;
  };
  std::unique_ptr<ZSTD_CCtx_s, Deleter> cctx_;
};

}  // namespace drelix
