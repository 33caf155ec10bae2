#include "core/codec.h"

#include <gtest/gtest.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "core/str_cat.h"
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

// A frame as another writer might make it, with or without the content size and checksum.
Bytes foreign_frame(ByteView in, int size_flag, int checksum_flag) {
  std::unique_ptr<ZSTD_CCtx, decltype(&ZSTD_freeCCtx)> cctx(ZSTD_createCCtx(), ZSTD_freeCCtx);
  EXPECT_FALSE(ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_contentSizeFlag, size_flag)));
  EXPECT_FALSE(
      ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, checksum_flag)));
  Bytes frame(ZSTD_compressBound(in.size()));
  const std::size_t n =
      ZSTD_compress2(cctx.get(), frame.data(), frame.size(), in.data(), in.size());
  EXPECT_FALSE(ZSTD_isError(n));
  frame.resize(ZSTD_isError(n) ? 0 : n);
  return frame;
}

// `frame` (with no dictionary id, content of at most 1 MiB) with its header rebuilt to declare
// `size` in an 8-byte content size field, behind a 1 MiB window descriptor.
Bytes with_declared_size(const Bytes& frame, std::uint64_t size) {
  const std::uint8_t desc = frame[4];
  const bool single = (desc >> 5) & 1;
  const std::size_t fcs_sizes[] = {single ? 1u : 0u, 2, 4, 8};
  EXPECT_EQ(desc & 3, 0) << "no dictionary id expected";
  const std::size_t header_size = 5 + (single ? 0 : 1) + fcs_sizes[desc >> 6];
  Bytes forged = {0x28, 0xB5, 0x2F, 0xFD, static_cast<std::uint8_t>(0xC0 | (desc & 0x04)), 0x50};
  forged.resize(forged.size() + 8);
  store_u64le(forged.data() + 6, size);
  forged.insert(forged.end(), frame.begin() + static_cast<std::ptrdiff_t>(header_size),
                frame.end());
  EXPECT_EQ(ZSTD_getFrameContentSize(forged.data(), forged.size()), size);
  return forged;
}

// decode_one_frame_into with a buffer of `size` bytes, which it must fill exactly; returns the
// content on success.
Result<Bytes> decode_into(ByteView frame, std::size_t size, std::uint64_t* consumed = nullptr) {
  Bytes out(size, 0xEE);
  DRELIX_ASSIGN_OR_RETURN(const std::uint64_t used, decode_one_frame_into(frame, out));
  if (consumed != nullptr) *consumed = used;
  return out;
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

// The output buffer starts at the compression bound; a frame held for a journal and a splice
// must not keep that much memory.
TEST(CompressFrame, FrameKeepsNoSpareCapacity) {
  const Bytes in = sample(1 << 20);
  const auto frame = compress_frame(in, 3);  // not copied: a copy is always tight
  ASSERT_TRUE(frame.has_value());
  EXPECT_LT(frame->size(), in.size() / 10);
  EXPECT_EQ(frame->capacity(), frame->size());
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
    const Bytes frame = foreign_frame(in, size_flag, checksum_flag);
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
  const Bytes forged = with_declared_size(compressed(sample(100), 3), kMaxDecodedFrame);
  auto d = decode_one_frame(forged);
  ASSERT_FALSE(d.has_value());
  EXPECT_EQ(d.error().kind(), Error::Kind::Compression);
}

TEST(DeclaredContentSize, OnlyBelievableSizesAreReported) {
  const Bytes in = sample(300000);
  const Bytes frame = compressed(in, 3);
  const Bytes tiny = compressed(sample(100), 3);
  const struct {
    const char* name;
    Bytes bytes;
    std::optional<std::uint64_t> want;
  } cases[] = {
      {"own frame", frame, in.size()},
      {"own frame with bytes after it", test::concat({frame, tiny}), in.size()},
      {"empty content", compressed({}, 3), 0},
      {"no size in the header", foreign_frame(in, 0, 1), std::nullopt},
      // 100 bytes of frame cannot expand to 4 GiB, whatever the header says.
      {"size beyond what the frame can hold", with_declared_size(tiny, kMaxDecodedFrame),
       std::nullopt},
      {"size beyond the ceiling", with_declared_size(frame, kMaxDecodedFrame + 1), std::nullopt},
      {"header cut short", test::slice(frame, 0, 5), std::nullopt},
      {"not a zstd frame", text_bytes("plain record bytes"), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(declared_content_size(c.bytes), c.want);
  }
}

TEST(DecodeOneFrameInto, FillsExactlyTheDeclaredSize) {
  const Bytes inputs[] = {Bytes{}, text_bytes("x"), sample(1000), sample(300000),
                          random_bytes(5000, 1)};
  const Bytes after = compressed(sample(50), 3);
  for (int level : {1, 3, 19}) {
    for (const Bytes& in : inputs) {
      SCOPED_TRACE(testing::Message() << "level " << level << " size " << in.size());
      const Bytes frame = compressed(in, level);
      ASSERT_EQ(declared_content_size(frame), in.size());
      std::uint64_t consumed = 0;
      // Bytes after the frame are not read, as with decode_one_frame.
      EXPECT_EQ(decode_into(test::concat({frame, after}), in.size(), &consumed), in);
      EXPECT_EQ(consumed, frame.size());
    }
  }
}

// A buffer of another size than the content is an error whichever way it is off, and whether
// or not the frame declares its size.
TEST(DecodeOneFrameInto, ContentOfAnotherSizeIsMalformed) {
  const Bytes in = sample(5000);
  for (const Bytes& frame : {compressed(in, 3), foreign_frame(in, 0, 1), foreign_frame(in, 0, 0)}) {
    for (std::size_t size :
         {std::size_t{0}, std::size_t{1}, in.size() - 1, in.size() + 1, in.size() * 2}) {
      SCOPED_TRACE(testing::Message()
                   << "declared " << declared_content_size(frame).has_value() << " size " << size);
      test::expect_error(
          decode_into(frame, size), Error::Kind::Malformed,
          str_cat("frame content does not match the declared size of ", size, " bytes"));
    }
    EXPECT_EQ(decode_into(frame, in.size()), in);
  }
}

// A header whose size disagrees with the content is caught by the library on either path, and
// with the same error, so reading into caller memory reports what a plain read reports.
TEST(DecodeOneFrameInto, LyingHeaderFailsAsDecodeOneFrameDoes) {
  const Bytes in = sample(5000);
  for (std::uint64_t claim : {in.size() - 1, in.size() + 1, in.size() + 4096}) {
    SCOPED_TRACE(claim);
    const Bytes forged = with_declared_size(compressed(in, 3), claim);
    ASSERT_EQ(declared_content_size(forged), claim);
    const auto plain = decode_one_frame(forged);
    ASSERT_FALSE(plain.has_value());
    EXPECT_EQ(plain.error().kind(), Error::Kind::Compression);
    const auto into = decode_into(forged, claim);
    ASSERT_FALSE(into.has_value());
    EXPECT_EQ(into.error(), plain.error());
  }
}

TEST(DecodeOneFrameInto, DamageIsReportedAsByDecodeOneFrame) {
  Bytes in = random_bytes(2000, 3);
  const Bytes more = sample(3000);
  in.insert(in.end(), more.begin(), more.end());
  const Bytes frame = compressed(in, 3);
  // Every cut past the header (which is what tells the size) is a truncated frame, including
  // cuts inside the checksum, after the whole content is out.
  for (std::size_t cut = 6; cut < frame.size(); ++cut) {
    SCOPED_TRACE(cut);
    test::expect_error(decode_into(ByteView(frame).first(cut), in.size()), Error::Kind::Malformed,
                       "truncated zstd frame");
  }
  Bytes flipped = frame;
  flipped[frame.size() / 3] ^= 0x01;
  const auto into = decode_into(flipped, in.size());
  ASSERT_FALSE(into.has_value());
  EXPECT_EQ(into.error().kind(), Error::Kind::Compression);
}

}  // namespace
}  // namespace drelix
