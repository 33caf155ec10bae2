// decode_one_frame over arbitrary bytes. Oracles: a decoded frame occupied a non-empty prefix of
// the input, decoding that prefix alone gives the same content, and the content survives a
// compress_frame round trip (level 0 a copy unless it begins with the zstd magic).
#include "core/codec.h"
#include "fuzz/fuzz_util.h"

using namespace drelix;
using fuzz::outcome;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);
  auto decoded = decode_one_frame(in);
  if (!decoded) {
    const Error::Kind k = decoded.error().kind();
    FUZZ_CHECK(k == Error::Kind::Compression || k == Error::Kind::Malformed, outcome(decoded));
    return 0;
  }
  FUZZ_CHECK(decoded->consumed > 0 && decoded->consumed <= size, "consumed out of range");
  FUZZ_CHECK(decoded->content.size() <= kMaxDecodedFrame, "content above the ceiling");
  auto prefix = decode_one_frame(in.first(static_cast<std::size_t>(decoded->consumed)));
  FUZZ_CHECK(prefix && prefix->content == decoded->content && prefix->consumed == decoded->consumed,
             "the consumed prefix alone decodes differently: " + outcome(prefix));
  // Re-compressing is the slow part of a run; large contents get the prefix oracle alone.
  if (decoded->content.size() > (1 << 16)) return 0;
  for (const std::int32_t level : {0, 1}) {
    auto frame = compress_frame(decoded->content, level);
    FUZZ_CHECK(frame.has_value(), outcome(frame));
    if (level == 0 && level_zero_stores_raw(decoded->content)) {
      FUZZ_CHECK(*frame == decoded->content, "level 0 is not a copy");
      continue;
    }
    auto back = decode_one_frame(*frame);
    FUZZ_CHECK(back && back->content == decoded->content && back->consumed == frame->size(),
               "compress/decode round trip: " + outcome(back));
  }
  return 0;
}
