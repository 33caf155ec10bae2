#include "core/frame_compressor.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <cstring>

#include "core/codec.h"

namespace drelix {

void FrameCompressor::Deleter::operator()(ZSTD_CCtx_s* c) const {
  ZSTD_freeCCtx(c);
}

FrameCompressor::FrameCompressor() = default;
FrameCompressor::~FrameCompressor() = default;
FrameCompressor::FrameCompressor(FrameCompressor&&) noexcept = default;
FrameCompressor& FrameCompressor::operator=(FrameCompressor&&) noexcept = default;

Status FrameCompressor::compress(ByteView bytes, std::int32_t level, Bytes& out) {
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
  ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
  ZSTD_outBuffer ob{out.data(), out.size(), 0};
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
