#include "core/codec.h"

#include <gtest/gtest.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>

#include "tests/core/test_util.h"

namespace drelix {
namespace {

Bytes text_bytes(std::string_view s) {
  return Bytes(s.begin(), s.end());
}

// Compressible but not trivial: repeated lines with a counter.
Bytes sample(std::size_t n) {
  Bytes out;
  out.reserve(n);
  for (std::size_t i = 0; out.size() < n; ++i) {
    const std::string line = "record " + std::to_string(i % 97) + " of the sample;";
    for (char c : line) {
      if (out.size() == n) break;
      out.push_back(static_cast<std::uint8_t>(c));
    }
  }
  return out;
}

Bytes random_bytes(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(gen());
  return out;
}

Bytes compressed(ByteView in, int level) {
  auto r = compress_frame(in, level);
  EXPECT_TRUE(r.has_value()) << r.error().to_string();
  return r.has_value() ? *r : Bytes{};
}

// Frame_Header_Descriptor is the byte after the magic; bit 2 is the content checksum flag.
bool has_content_checksum(const Bytes& frame) {
  return frame.size() > 4 && (frame[4] & 0x04);
}

TEST(CompressFrame, RoundTripsAtEveryKindOfLevel) {
  const Bytes inputs[] = {Bytes{}, text_bytes("x"), sample(1000), sample(300000),
                          random_bytes(5000, 1)};
  for (int level : {1, 3, 19, -5, 22, 100, -1000000}) {
    for (const Bytes& in : inputs) {
      SCOPED_TRACE(testing::Message() << "level " << level << " size " << in.size());
      const Bytes frame = compressed(in, level);
      ASSERT_TRUE(starts_with_zstd_magic(frame));
      EXPECT_TRUE(has_content_checksum(frame));
      // One frame, no dictionary, and the content size recorded.
      EXPECT_EQ(ZSTD_getFrameContentSize(frame.data(), frame.size()), in.size());
      EXPECT_EQ(ZSTD_findFrameCompressedSize(frame.data(), frame.size()), frame.size());
      EXPECT_EQ(ZSTD_getDictID_fromFrame(frame.data(), frame.size()), 0u);
      auto d = decode_one_frame(frame);
      ASSERT_TRUE(d.has_value()) << d.error().to_string();
      EXPECT_EQ(d->content, in);
      EXPECT_EQ(d->consumed, frame.size());
    }
  }
  const Bytes repetitive = sample(100000);
  EXPECT_LT(compressed(repetitive, 3).size(), repetitive.size() / 10);
  EXPECT_LT(compressed(repetitive, 19).size(), repetitive.size() / 10);
}

TEST(CompressFrame, LevelZeroIsAnExactCopy) {
  for (const Bytes& in : {Bytes{}, text_bytes("abc"), Bytes{0x28, 0xB5, 0x2F}, sample(70000),
                          Bytes{0x28, 0xB5, 0x2F, 0xFE, 1, 2}}) {
    EXPECT_EQ(compressed(in, 0), in);
    EXPECT_TRUE(level_zero_stores_raw(in));
  }
}

TEST(CompressFrame, LevelZeroWithTheMagicMakesAReadableFrame) {
  Bytes in = {0x28, 0xB5, 0x2F, 0xFD};
  for (int i = 0; i < 100; ++i) in.push_back(static_cast<std::uint8_t>(i));
  EXPECT_FALSE(level_zero_stores_raw(in));
  const Bytes frame = compressed(in, 0);
  EXPECT_NE(frame, in);
  ASSERT_TRUE(starts_with_zstd_magic(frame));
  EXPECT_TRUE(has_content_checksum(frame));
  // A level 1 frame, like an explicit close at level 1 would make.
  EXPECT_EQ(frame, compressed(in, 1));
  auto d = decode_one_frame(frame);
  ASSERT_TRUE(d.has_value()) << d.error().to_string();
  EXPECT_EQ(d->content, in);
}

TEST(DecodeOneFrame, IgnoresBytesAfterTheFrameAndReportsItsLength) {
  const Bytes a = sample(5000);
  const Bytes b = random_bytes(300, 2);
  const Bytes fa = compressed(a, 3);
  Bytes joined = fa;
  const Bytes fb = compressed(b, 3);
  joined.insert(joined.end(), fb.begin(), fb.end());
  joined.push_back(0xAA);

  auto d = decode_one_frame(joined);
  ASSERT_TRUE(d.has_value()) << d.error().to_string();
  EXPECT_EQ(d->content, a);
  EXPECT_EQ(d->consumed, fa.size());

  auto second = decode_one_frame(ByteView(joined).subspan(fa.size()));
  ASSERT_TRUE(second.has_value()) << second.error().to_string();
  EXPECT_EQ(second->content, b);
  EXPECT_EQ(second->consumed, fb.size());
}

TEST(DecodeOneFrame, EveryCutOfAFrameIsTruncated) {
  // A stored (incompressible) block and a compressed one, so cuts land in both kinds.
  Bytes in = random_bytes(2000, 3);
  const Bytes more = sample(3000);
  in.insert(in.end(), more.begin(), more.end());
  const Bytes frame = compressed(in, 3);
  for (std::size_t cut = 0; cut < frame.size(); ++cut) {
    SCOPED_TRACE(cut);
    auto d = decode_one_frame(ByteView(frame).first(cut));
    ASSERT_FALSE(d.has_value());
    EXPECT_EQ(d.error().kind(), Error::Kind::Malformed);
    EXPECT_EQ(d.error().message(), "truncated zstd frame");
  }
}

TEST(DecodeOneFrame, FlippedContentByteFailsTheChecksum) {
  // Random bytes are stored verbatim, so a flipped byte changes the content, not the structure.
  const Bytes in = random_bytes(1000, 4);
  Bytes frame = compressed(in, 3);
  ASSERT_GT(frame.size(), in.size());
  frame[frame.size() / 2] ^= 0x01;
  auto d = decode_one_frame(frame);
  ASSERT_FALSE(d.has_value());
  EXPECT_EQ(d.error().kind(), Error::Kind::Compression);
  EXPECT_EQ(d.error().message(), ZSTD_getErrorString(ZSTD_error_checksum_wrong));
}

TEST(DecodeOneFrame, CorruptStructureIsACompressionError) {
  // Reserved descriptor bit set, then enough bytes for the header the descriptor announces.
  Bytes frame = {0x28, 0xB5, 0x2F, 0xFD};
  frame.resize(40, 0xFF);
  auto d = decode_one_frame(frame);
  ASSERT_FALSE(d.has_value());
  EXPECT_EQ(d.error().kind(), Error::Kind::Compression);
  EXPECT_FALSE(d.error().message().empty());
}

// Frames from other writers may omit the content size (decoding must then grow as it goes) or
// the checksum.
TEST(DecodeOneFrame, FramesFromOtherWritersDecode) {
  const Bytes in = sample(1 << 20);
  for (const auto& [size_flag, checksum_flag] : {std::pair{0, 1}, std::pair{1, 0}}) {
    SCOPED_TRACE(size_flag);
    std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> cctx(ZSTD_createCCtx(), ZSTD_freeCCtx);
    ASSERT_FALSE(
        ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_contentSizeFlag, size_flag)));
    ASSERT_FALSE(
        ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, checksum_flag)));
    Bytes frame(ZSTD_compressBound(in.size()));
    const std::size_t n =
        ZSTD_compress2(cctx.get(), frame.data(), frame.size(), in.data(), in.size());
    ASSERT_FALSE(ZSTD_isError(n));
    frame.resize(n);
    ASSERT_EQ(has_content_checksum(frame), checksum_flag == 1);
    auto d = decode_one_frame(frame);
    ASSERT_TRUE(d.has_value()) << d.error().to_string();
    EXPECT_EQ(d->content, in);
    EXPECT_EQ(d->consumed, frame.size());
    test::expect_error(decode_one_frame(ByteView(frame).first(frame.size() - 1)),
                       Error::Kind::Malformed, "truncated zstd frame");
  }
}

TEST(DecodeOneFrame, LyingContentSizeIsRefusedWithoutTrustingIt) {
  // A 4 GiB content size in the header of a tiny frame: the decoder must not allocate it, and
  // the library rejects the frame when the content falls short.
  const Bytes in = sample(100);
  Bytes frame = compressed(in, 3);
  // Header length from its descriptor: magic, descriptor, window byte unless single-segment,
  // dictionary id, content size field.
  const std::uint8_t desc = frame[4];
  const bool single = (desc >> 5) & 1;
  const std::size_t fcs_sizes[] = {single ? 1u : 0u, 2, 4, 8};
  const std::size_t did_sizes[] = {0, 1, 2, 4};
  const std::size_t header_size = 5 + (single ? 0 : 1) + did_sizes[desc & 3] + fcs_sizes[desc >> 6];
  // Rebuild the header with an 8-byte content size field (FCS flag 3, single segment off).
  Bytes forged = {0x28, 0xB5, 0x2F, 0xFD, static_cast<std::uint8_t>(0xC0 | 0x04), 0x50};
  const std::uint64_t claim = kMaxDecodedFrame;
  for (int i = 0; i < 8; ++i) forged.push_back(static_cast<std::uint8_t>(claim >> (8 * i)));
  forged.insert(forged.end(), frame.begin() + static_cast<std::ptrdiff_t>(header_size),
                frame.end());
  ASSERT_EQ(ZSTD_getFrameContentSize(forged.data(), forged.size()), claim);
  auto d = decode_one_frame(forged);
  ASSERT_FALSE(d.has_value());
  EXPECT_EQ(d.error().kind(), Error::Kind::Compression);
}

}  // namespace
}  // namespace drelix
