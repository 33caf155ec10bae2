#include "core/frame_compressor.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <cstring>

#include "core/codec.h"
#include "core/progress.h"

namespace drelix {

void FrameCompressor::Deleter::operator()(ZSTD_CCtx_s* c) const {
  ZSTD_freeCCtx(c);
}

FrameCompressor::FrameCompressor() = default;
FrameCompressor::~FrameCompressor() = default;
FrameCompressor::FrameCompressor(FrameCompressor&&) noexcept = default;
FrameCompressor& FrameCompressor::operator=(FrameCompressor&&) noexcept = default;

Status FrameCompressor::compress(ByteView bytes, std::int32_t level, Bytes& out) {
  return compress(bytes, level, out, {});
}

Status FrameCompressor::compress(ByteView bytes, std::int32_t level, Bytes& out,
                                 const std::function<bool()>& keep_going) {
  if (level == 0 && level_zero_stores_raw(bytes)) {
    out.assign(bytes.begin(), bytes.end());
    return {};
  }
  // Level 0 of bytes a reader would take for a zstd frame: a real frame at level 1, as
  // compress_frame makes it.
  const std::int32_t effective = level == 0 ? 1 : level;
  auto zstd_error = [](std::size_t code) { return fail(Error::io_text(ZSTD_getErrorName(code))); };
  if (!cctx_) {
    cctx_.reset(ZSTD_createCCtx());
    if (!cctx_) return fail(Error::io_text(ZSTD_getErrorString(ZSTD_error_memory_allocation)));
  }
  ZSTD_CCtx_reset(cctx_.get(), ZSTD_reset_session_and_parameters);
  std::size_t rc = ZSTD_CCtx_setParameter(cctx_.get(), ZSTD_c_compressionLevel, effective);
  if (ZSTD_isError(rc)) return zstd_error(rc);
  rc = ZSTD_CCtx_setParameter(cctx_.get(), ZSTD_c_checksumFlag, 1);
  if (ZSTD_isError(rc)) return zstd_error(rc);
  // The content size goes into the frame header, as compress_frame's single call puts it.
  rc = ZSTD_CCtx_setPledgedSrcSize(cctx_.get(), bytes.size());
  if (ZSTD_isError(rc)) return zstd_error(rc);

  const std::size_t bound = ZSTD_compressBound(bytes.size());
  if (ZSTD_isError(bound)) return zstd_error(bound);
  out.resize(bound);
  ZSTD_outBuffer ob{out.data(), out.size(), 0};
  // Without a stop to ask, the whole input in one call: the library's single-pass path.
  const std::size_t slice = keep_going ? kStopSlice : bytes.size();
  for (std::size_t fed = 0; fed + slice < bytes.size(); fed += slice) {
    if (!keep_going()) return fail(cancelled());
    ZSTD_inBuffer piece{bytes.data() + fed, slice, 0};
    while (piece.pos < piece.size) {
      const std::size_t hint = ZSTD_compressStream2(cctx_.get(), &ob, &piece, ZSTD_e_continue);
      if (ZSTD_isError(hint)) return zstd_error(hint);
      if (ob.pos == ob.size) {
        out.resize(out.size() + ZSTD_CStreamOutSize());
        ob.dst = out.data();
        ob.size = out.size();
      }
    }
  }
  if (keep_going && !keep_going()) return fail(cancelled());
  const std::size_t last = bytes.size() <= slice ? 0 : (bytes.size() - 1) / slice * slice;
  ZSTD_inBuffer in{bytes.data() + last, bytes.size() - last, 0};
  for (;;) {
    const std::size_t remaining = ZSTD_compressStream2(cctx_.get(), &ob, &in, ZSTD_e_end);
    if (ZSTD_isError(remaining)) return zstd_error(remaining);
    if (remaining == 0) break;
    if (ob.pos == ob.size) {
      out.resize(out.size() + std::max<std::size_t>(remaining, ZSTD_CStreamOutSize()));
      ob.dst = out.data();
      ob.size = out.size();
    }
  }
  out.resize(ob.pos);
  return {};
}

}  // namespace drelix
