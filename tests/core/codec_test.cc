#include <zstd.h>
#include <zstd_errors.h>

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
