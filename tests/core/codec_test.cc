#include <zstd.h>
#include <zstd_errors.h>

#include <memory>
#include <random>
#include <tuple>

#include "core/str_cat.h"
#include "tests/core/test_util.h"

namespace drelix {
namespace {

using test::expect_error;
using K = Error::Kind;

// Compressible but not trivial, or random bytes (which zstd stores verbatim).
Bytes sample(std::size_t n, bool random = false) {
  std::mt19937 gen(static_cast<unsigned>(n));
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = static_cast<std::uint8_t>(random ? gen() : "record of the sample;"[i % 21] + i / 997);
  }
  return out;
}

Bytes compressed(ByteView in, int level) {
  return compress_frame(in, level).value();
}

// A frame as another writer might make it, with or without the content size and checksum.
Bytes foreign_frame(ByteView in, int size_flag, int checksum_flag) {
  std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> cctx(ZSTD_createCCtx(), ZSTD_freeCCtx);
  ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_contentSizeFlag, size_flag);
  ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, checksum_flag);
  Bytes frame(ZSTD_compressBound(in.size()));
  frame.resize(ZSTD_compress2(cctx.get(), frame.data(), frame.size(), in.data(), in.size()));
  return frame;
}

// `frame` (single segment, no dictionary, content under 64 KiB) with its header rebuilt to
// declare `size` in an 8-byte content size field, behind a 1 MiB window descriptor.
Bytes with_declared_size(const Bytes& frame, std::uint64_t size) {
  const std::size_t header_size = 5 + (std::size_t{1} << (frame[4] >> 6));
  Bytes forged = {0x28, 0xB5, 0x2F, 0xFD, static_cast<std::uint8_t>(0xC0 | (frame[4] & 4)), 0x50};
  forged.resize(14);
  store_u64le(forged.data() + 6, size);
  forged.insert(forged.end(), frame.begin() + static_cast<std::ptrdiff_t>(header_size),
                frame.end());
  return forged;
}

Result<Bytes> decode_into(ByteView frame, std::size_t size) {
  Bytes out(size, 0xEE);
  DRELIX_ASSIGN_OR_RETURN(const std::uint64_t used, decode_one_frame_into(frame, out));
  EXPECT_EQ(used, ZSTD_findFrameCompressedSize(frame.data(), frame.size()));
  return out;
}

// Our frames at every level (level 0 a copy, unless the bytes begin with the magic: then a
// level 1 frame) and other writers' frames without the size, the checksum or both: each
// declares what it carries, decodes whole (without a declared size, decoding grows as it goes)
// up to its own end, and decodes into a buffer of its content's size only.
TEST(CodecTest, EveryFrameKindDeclaresWhatItCarriesAndDecodesIntoItsOwnSizeOnly) {
  std::vector<std::tuple<int, Bytes, Bytes, bool, bool>> rows;  // level, in, frame, checksum, sized
  const Bytes magic_led = test::concat({{0x28, 0xB5, 0x2F, 0xFD}, sample(100)}),
              big = sample(1 << 20);
  for (int level : {1, 19, -5, 100, -1000000, 0}) {
    for (const Bytes& in : {Bytes{}, sample(300000), sample(5000, true), magic_led}) {
      const Bytes frame = compressed(in, level);
      if (level == 0) {
        EXPECT_EQ(frame, in != magic_led ? in : compressed(in, 1));
        EXPECT_EQ(level_zero_stores_raw(in), in != magic_led);
        if (in != magic_led) continue;
      }
      EXPECT_EQ(frame.capacity(), frame.size());  // no compression bound kept in memory
      EXPECT_TRUE(level < 0 || in.size() != 300000 || frame.size() < in.size() / 10);
      rows.emplace_back(level, in, frame, true, true);
    }
  }
  for (const auto& [sized, checksum] : {std::pair{0, 1}, {1, 0}, {0, 0}}) {
    rows.emplace_back(3, big, foreign_frame(big, sized, checksum), checksum == 1, sized == 1);
  }
  for (const auto& [level, in, frame, checksum, sized] : rows) {
    SCOPED_TRACE(testing::Message() << level << " " << in.size() << " " << checksum << sized);
    EXPECT_EQ(declares_content_checksum(frame), checksum);
    EXPECT_EQ(declared_content_size(frame), sized ? std::optional(in.size()) : std::nullopt);
    const auto decoded = decode_one_frame(test::concat({frame, {0xAA}}));
    EXPECT_TRUE(decoded && decoded->content == in && decoded->consumed == frame.size());
    EXPECT_EQ(decode_into(test::concat({frame, compressed(sample(50), 3)}), in.size()), in);
    if (in.empty()) continue;
    for (std::size_t other : {std::size_t{0}, in.size() - 1, in.size() + 1, in.size() * 2}) {
      expect_error(decode_into(frame, other), K::Malformed,
                   str_cat("frame content does not match the declared size of ", other, " bytes"));
    }
  }
}

// Damage is reported alike whether the content goes to a buffer of its own or into one of the
// declared size: every cut is a truncated frame, a flipped byte fails the content checksum, a
// header whose size disagrees with the content is refused without being trusted; a declared
// size is believed only when plausible.
TEST(CodecTest, DamageIsReportedAlikeAndImplausibleSizesAreNotBelieved) {
  const Bytes in = test::concat({sample(2000, true), sample(3000)});
  const Bytes frame = compressed(in, 3), tiny = compressed(sample(100), 3);
  for (std::size_t cut = 0; cut < frame.size(); ++cut) {
    expect_error(decode_one_frame(ByteView(frame).first(cut)), K::Malformed,
                 "truncated zstd frame");
    if (cut >= 6) {
      expect_error(decode_into(ByteView(frame).first(cut), in.size()), K::Malformed,
                   "truncated zstd frame");
    }
  }
  Bytes flipped = frame;
  flipped[frame.size() / 3] ^= 0x01;
  expect_error(decode_one_frame(flipped), K::Compression,
               ZSTD_getErrorString(ZSTD_error_checksum_wrong));
  EXPECT_EQ(decode_into(flipped, in.size()).error(), decode_one_frame(flipped).error());
  for (std::uint64_t claim : {std::uint64_t{99}, std::uint64_t{101}, kMaxDecodedFrame}) {
    const auto plain = decode_one_frame(with_declared_size(tiny, claim));
    ASSERT_FALSE(plain.has_value());
    EXPECT_EQ(plain.error().kind(), K::Compression);
    if (claim < 1000) {
      EXPECT_EQ(decode_into(with_declared_size(tiny, claim), claim), fail(plain.error()));
    }
  }
  const std::pair<Bytes, std::optional<std::uint64_t>> cases[] = {
      {test::concat({frame, tiny}), in.size()},
      // 100 bytes of frame cannot expand to 4 GiB, whatever the header says.
      {with_declared_size(tiny, kMaxDecodedFrame), std::nullopt},
      {with_declared_size(compressed(sample(60000), 3), kMaxDecodedFrame + 1), std::nullopt},
      {test::slice(frame, 0, 5), std::nullopt},
      {sample(50), std::nullopt}};
  for (const auto& [bytes, want] : cases) EXPECT_EQ(declared_content_size(bytes), want);
  // From a short read: believed up to 32768 bytes of content per stored byte.
  const Bytes exact = test::slice(with_declared_size(tiny, 65536), 0, kZstdMaxHeader);
  const Bytes over = test::slice(with_declared_size(tiny, 65537), 0, kZstdMaxHeader);
  EXPECT_EQ(declared_content_size(exact, 2), 65536u);
  EXPECT_EQ(declared_content_size(over, 2), std::nullopt);
  EXPECT_EQ(declared_content_size(over, 3), 65537u);
}

}  // namespace
}  // namespace drelix
