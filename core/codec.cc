#include "core/codec.h"

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <memory>

#include "core/progress.h"
#include "core/str_cat.h"

namespace drelix {

namespace {

// Content handed out per piece by FrameDecoder.
constexpr std::size_t kStreamOut = 262144;
// Bit 2 of the frame header descriptor (the byte after the magic): the content checksum flag.
constexpr std::uint8_t kChecksumFlag = 0x04;

// Decoder output granted per growth step when the content size is unknown.
constexpr std::size_t kDecodeWindow = 131072;

// A zstd block of up to 128 KiB can be encoded in 4 bytes (3-byte header plus one RLE byte), so
// no frame decodes to more than this many bytes per input byte. Trusting a frame's declared
// content size only up to this bound keeps a lying header from making us allocate gigabytes.
constexpr std::uint64_t kMaxExpansion = 32768;

struct DCtxDeleter {
  void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};
using DCtxPtr = std::unique_ptr<ZSTD_DCtx, DCtxDeleter>;

Error zstd_io(std::size_t code) {
  return Error::io_text(ZSTD_getErrorName(code));
}

// Whether a frame at `level` stores `bytes` as they are: level 0, unless a reader would take the
// bytes for a zstd frame (they are then made a real frame at level 1).
bool stores_raw(ByteView bytes, std::int32_t level) {
  return level == 0 && level_zero_stores_raw(bytes);
}

// The most bytes a frame of `stored` input bytes can decode to.
std::uint64_t plausible_content(std::size_t stored) {
  return stored > UINT64_MAX / kMaxExpansion ? UINT64_MAX : stored * kMaxExpansion;
}

// The initial size of the decode buffer: the declared content size when the frame has a
// plausible one, else one window.
std::size_t initial_decode_size(ByteView bytes) {
  const unsigned long long declared = ZSTD_getFrameContentSize(bytes.data(), bytes.size());
  if (declared == ZSTD_CONTENTSIZE_UNKNOWN || declared == ZSTD_CONTENTSIZE_ERROR ||
      declared > kMaxDecodedFrame) {
    return kDecodeWindow;
  }
  return static_cast<std::size_t>(
      std::min<std::uint64_t>(declared, plausible_content(bytes.size())));
}

Error ceiling_exceeded() {
  return Error::malformed(str_cat("frame decompresses to more than ", kMaxDecodedFrame, " bytes"));
}

// Grows the decode buffer geometrically, never past one byte beyond the ceiling (that byte is
// what detects a frame that exceeds it).
void grow_decode_buffer(Bytes& result) {
  const std::uint64_t limit = kMaxDecodedFrame + 1;
  const std::uint64_t wanted =
      std::max<std::uint64_t>(result.size() * 2ULL, result.size() + kDecodeWindow);
  result.resize(static_cast<std::size_t>(std::min(wanted, limit)));
}

}  // namespace

Result<Bytes> compress_frame(ByteView bytes, std::int32_t level) {
  Bytes out;
  DRELIX_TRY(FrameCompressor().compress(bytes, level, out));
  // The bound is at least the input size, and a compressible tail encodes to a fraction of it.
  // Its untouched pages cost nothing yet, but the frame is held through the journal and the
  // splice, so the rest is given back: one copy of the encoded bytes, cheaper (measured at
  // level 3 on a 64 MiB tail) than compressing into a growing buffer in ZSTD_CStreamOutSize
  // steps, which loses the library's single-pass path.
  out.shrink_to_fit();
  return out;
}

Result<Bytes> compress_frame(Bytes&& bytes, std::int32_t level) {
  if (stores_raw(bytes, level)) return std::move(bytes);
  Result<Bytes> frame = compress_frame(ByteView(bytes), level);
  Bytes().swap(bytes);  // the input goes before the caller builds anything more
  return frame;
}

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
  return encode(bytes, level, out, keep_going, false);
}

Status FrameCompressor::compress_copying(ByteView bytes, std::int32_t level, Bytes& out) {
  return encode(bytes, level, out, {}, true);
}

Status FrameCompressor::encode(ByteView bytes, std::int32_t level, Bytes& out,
                               const std::function<bool()>& keep_going, bool copy_all) {
  if (stores_raw(bytes, level)) {
    out.assign(bytes.begin(), bytes.end());  // the copy is what is stored and hashed
    return {};
  }
  DRELIX_TRY(start(bytes.size(), level));
  const std::size_t bound = ZSTD_compressBound(bytes.size());
  if (ZSTD_isError(bound)) return fail(zstd_io(bound));
  out.resize(bound);
  ZSTD_outBuffer ob{out.data(), out.size(), 0};
  // Room for the library when it asks for more than the bound anyway.
  auto grow = [&](std::size_t at_least) {
    out.resize(out.size() + std::max<std::size_t>(at_least, ZSTD_CStreamOutSize()));
    ob.dst = out.data();
    ob.size = out.size();
  };
  // Without a stop to ask, the whole input in one call: the library's single-pass path.
  const std::size_t slice = keep_going ? kStopSlice : bytes.size();
  // What goes in with ZSTD_e_end: the last slice; or nothing with copy_all, since an end given
  // with input lets the library compress straight from the caller's memory, while input given
  // with ZSTD_e_continue is copied into its own buffer (the default, buffered input mode) first.
  const std::size_t last =
      copy_all ? bytes.size() : (bytes.size() <= slice ? 0 : (bytes.size() - 1) / slice * slice);
  for (std::size_t fed = 0; fed < last; fed += slice) {
    if (keep_going && !keep_going()) return fail(cancelled());
    ZSTD_inBuffer piece{bytes.data() + fed, std::min(slice, last - fed), 0};
    while (piece.pos < piece.size) {
      const std::size_t hint = ZSTD_compressStream2(cctx_.get(), &ob, &piece, ZSTD_e_continue);
      if (ZSTD_isError(hint)) return fail(zstd_io(hint));
      if (ob.pos == ob.size) grow(0);
    }
  }
  if (keep_going && !keep_going()) return fail(cancelled());
  ZSTD_inBuffer in{bytes.data() + last, bytes.size() - last, 0};
  for (;;) {
    const std::size_t remaining = ZSTD_compressStream2(cctx_.get(), &ob, &in, ZSTD_e_end);
    if (ZSTD_isError(remaining)) return fail(zstd_io(remaining));
    if (remaining == 0) break;
    if (ob.pos == ob.size) grow(remaining);
  }
  out.resize(ob.pos);
  return {};
}

Status FrameCompressor::start(std::size_t size, std::int32_t level) {
  if (!cctx_) {
    cctx_.reset(ZSTD_createCCtx());
    if (!cctx_) return fail(Error::io_text(ZSTD_getErrorString(ZSTD_error_memory_allocation)));
  }
  ZSTD_CCtx_reset(cctx_.get(), ZSTD_reset_session_and_parameters);
  // The library clamps levels outside its range (negative levels are its fast modes).
  std::size_t rc =
      ZSTD_CCtx_setParameter(cctx_.get(), ZSTD_c_compressionLevel, level == 0 ? 1 : level);
  if (ZSTD_isError(rc)) return fail(zstd_io(rc));
  // The content checksum is what lets a reader detect a damaged frame.
  rc = ZSTD_CCtx_setParameter(cctx_.get(), ZSTD_c_checksumFlag, 1);
  if (ZSTD_isError(rc)) return fail(zstd_io(rc));
  // The content size goes into the frame header even when the input comes in slices.
  rc = ZSTD_CCtx_setPledgedSrcSize(cctx_.get(), size);
  if (ZSTD_isError(rc)) return fail(zstd_io(rc));
  return {};
}

Result<DecodedFrame> decode_one_frame(ByteView bytes) {
  DCtxPtr dctx(ZSTD_createDCtx());
  if (!dctx) return fail(Error::compression(ZSTD_getErrorString(ZSTD_error_memory_allocation)));

  // Decode straight into the result: with a declared content size it is sized once and never
  // copied; otherwise it grows and the library's own window holds what does not fit yet.
  Bytes result(initial_decode_size(bytes));
  std::size_t produced = 0;
  ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
  for (;;) {
    const std::size_t room = result.size() - produced;
    const std::size_t in_before = in.pos;
    ZSTD_outBuffer out{result.data() + produced, room, 0};
    const std::size_t hint = ZSTD_decompressStream(dctx.get(), &out, &in);
    if (ZSTD_isError(hint)) return fail(Error::compression(ZSTD_getErrorName(hint)));
    produced += out.pos;
    if (produced > kMaxDecodedFrame) return fail(ceiling_exceeded());
    if (hint == 0) {
      result.resize(produced);
      return DecodedFrame{std::move(result), in.pos};
    }
    if (out.pos > 0) continue;
    if (room > 0) {
      if (in.pos == in.size) return fail(Error::malformed("truncated zstd frame"));
      continue;
    }
    // No room: the library may still make progress on input (a checksum after exactly the
    // declared content); grow only once it is stuck for want of output space.
    if (in.pos == in_before) grow_decode_buffer(result);
  }
}

std::optional<std::uint64_t> content_size(ByteView head, std::uint64_t stored_size) {
  if (!starts_with_zstd_magic(head)) return stored_size;
  return declared_content_size(head, stored_size);
}

Result<Bytes> decode_frame(Bytes stored) {
  if (!starts_with_zstd_magic(stored)) return stored;
  DRELIX_ASSIGN_OR_RETURN(DecodedFrame decoded, decode_one_frame(stored));
  return std::move(decoded.content);
}

std::optional<std::uint64_t> declared_content_size(ByteView bytes) {
  return declared_content_size(bytes, bytes.size());
}

std::optional<std::uint64_t> declared_content_size(ByteView header, std::uint64_t stored_size) {
  if (!starts_with_zstd_magic(header)) return std::nullopt;
  const unsigned long long declared = ZSTD_getFrameContentSize(header.data(), header.size());
  if (declared == ZSTD_CONTENTSIZE_UNKNOWN || declared == ZSTD_CONTENTSIZE_ERROR ||
      declared > kMaxDecodedFrame ||
      declared > plausible_content(static_cast<std::size_t>(stored_size))) {
    return std::nullopt;
  }
  return declared;
}

std::optional<std::size_t> zstd_frame_header_size(ByteView head) {
  if (!starts_with_zstd_magic(head) || head.size() < 5) return std::nullopt;
  const std::uint8_t descriptor = head[4];
  if ((descriptor & 0x08) != 0) return std::nullopt;  // the reserved bit
  const bool single_segment = (descriptor & 0x20) != 0;
  static constexpr std::size_t kDictionaryId[] = {0, 1, 2, 4};
  static constexpr std::size_t kContentSize[] = {0, 2, 4, 8};
  const std::size_t content_size_flag = descriptor >> 6;
  const std::size_t content_size =
      content_size_flag == 0 && single_segment ? 1 : kContentSize[content_size_flag];
  return 5 + (single_segment ? 0 : 1) + kDictionaryId[descriptor & 0x03] + content_size;
}

std::optional<ZstdBlock> zstd_block_header(ByteView bytes) {
  if (bytes.size() < kZstdBlockHeader) return std::nullopt;
  const std::uint32_t header =
      bytes[0] | (std::uint32_t{bytes[1]} << 8) | (std::uint32_t{bytes[2]} << 16);
  const std::uint32_t type = (header >> 1) & 3;
  if (type == 3) return std::nullopt;  // reserved
  // An RLE block stores its one byte, repeated `size` times in the content.
  const std::uint32_t size = header >> 3;
  return ZstdBlock{type == 1 ? 1 : size, (header & 1) != 0};
}

Result<std::uint64_t> decode_one_frame_into(ByteView bytes, std::span<std::uint8_t> out) {
  DCtxPtr dctx(ZSTD_createDCtx());
  if (!dctx) return fail(Error::compression(ZSTD_getErrorString(ZSTD_error_memory_allocation)));
  auto mismatch = [&] {
    return fail(Error::malformed(
        str_cat("frame content does not match the declared size of ", out.size(), " bytes")));
  };

  // Once `out` is full the decoder gets one spare byte instead: content that lands there is
  // longer than declared, and the decoder always has room, so producing nothing with the input
  // used up can only mean the frame is cut short. With the whole frame in `bytes` and `out` as
  // large as the frame's own declared size, the library decodes it in a single pass.
  std::uint8_t spare = 0;
  std::size_t produced = 0;
  ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
  for (;;) {
    const bool full = produced == out.size();
    ZSTD_outBuffer window = full ? ZSTD_outBuffer{&spare, 1, 0}
                                 : ZSTD_outBuffer{out.data() + produced, out.size() - produced, 0};
    const std::size_t hint = ZSTD_decompressStream(dctx.get(), &window, &in);
    if (ZSTD_isError(hint)) return fail(Error::compression(ZSTD_getErrorName(hint)));
    if (full && window.pos > 0) return mismatch();
    produced += window.pos;
    if (produced > kMaxDecodedFrame) return fail(ceiling_exceeded());
    if (hint == 0) {
      if (produced != out.size()) return mismatch();
      return in.pos;
    }
    if (window.pos == 0 && in.pos == in.size) return fail(Error::malformed("truncated zstd frame"));
  }
}

bool declares_content_checksum(ByteView bytes) {
  return starts_with_zstd_magic(bytes) && bytes.size() > 4 && (bytes[4] & kChecksumFlag) != 0;
}

struct FrameDecoder::Context {
  DCtxPtr dctx{ZSTD_createDCtx()};
};

FrameDecoder::FrameDecoder() : context_(std::make_unique<Context>()), out_(kStreamOut) {}

FrameDecoder::~FrameDecoder() = default;

Result<std::size_t> FrameDecoder::feed(ByteView bytes, const Sink& sink) {
  if (done_) return std::size_t{0};
  ZSTD_DCtx* dctx = context_->dctx.get();
  if (dctx == nullptr) {
    return fail(Error::compression(ZSTD_getErrorString(ZSTD_error_memory_allocation)));
  }
  ZSTD_inBuffer in{bytes.data(), bytes.size(), 0};
  for (;;) {
    ZSTD_outBuffer out{out_.data(), out_.size(), 0};
    const std::size_t hint = ZSTD_decompressStream(dctx, &out, &in);
    if (ZSTD_isError(hint)) return fail(Error::compression(ZSTD_getErrorName(hint)));
    produced_ += out.pos;
    if (produced_ > kMaxDecodedFrame) return fail(ceiling_exceeded());
    if (out.pos > 0) sink(ByteView(out_.data(), out.pos));
    if (hint == 0) {
      done_ = true;
      return in.pos;
    }
    // A full output buffer may leave more content inside the decoder; otherwise it needs input.
    if (out.pos < out.size && in.pos == in.size) return in.pos;
  }
}

}  // namespace drelix
