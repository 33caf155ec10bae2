// Preamble::decode over arbitrary bytes: a decoded preamble re-encodes to the bytes it was read
// from and decodes again to itself.
#include <algorithm>

#include "core/preamble.h"
#include "fuzz/fuzz_util.h"

using namespace drelix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto p = Preamble::decode(ByteView(data, size));
  if (!p) {
    FUZZ_CHECK(p.error().kind() == Error::Kind::Malformed, p.error().to_string());
    return 0;
  }
  FUZZ_CHECK(size >= 12 && p->version == kFormatVersion, "decoded from fewer than 12 bytes");
  FUZZ_CHECK(p->header_area >= 1 && p->header_area <= kMaxHeaderArea, "zone size out of range");
  const auto block = p->encode();
  FUZZ_CHECK(
      std::equal(block.begin(), block.begin() + 12, data) &&
          std::all_of(block.begin() + 12, block.end(), [](std::uint8_t b) { return b == 0; }),
      "encode differs from the decoded bytes 0..11, or reserved bytes not zero");
  auto again = Preamble::decode(block);
  FUZZ_CHECK(again && *again == *p, "decode(encode(p)) != p");
  return 0;
}
