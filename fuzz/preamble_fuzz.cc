// Preamble::decode over arbitrary bytes: a decoded preamble re-encodes to the bytes it was read
// from, and its length check agrees with its data start.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/preamble.h"
#include "fuzz/fuzz_util.h"

using namespace drelix;
using fuzz::outcome;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);
  auto p = Preamble::decode(in);
  if (!p) {
    FUZZ_CHECK(p.error().kind() == Error::Kind::Malformed, p.error().to_string());
    return 0;
  }
  FUZZ_CHECK(size >= 12, "decoded from fewer than 12 bytes");
  FUZZ_CHECK(p->header_area >= 1 && p->header_area <= kMaxHeaderArea, "zone size out of range");
  FUZZ_CHECK(p->version == kFormatVersion, "version");

  const auto block = p->encode();
  FUZZ_CHECK(std::equal(block.begin(), block.begin() + 12, in.begin()),
             "encode differs from the decoded bytes 0..11");
  FUZZ_CHECK(std::all_of(block.begin() + 12, block.end(), [](std::uint8_t b) { return b == 0; }),
             "reserved bytes not zero");
  auto again = Preamble::decode(block);
  FUZZ_CHECK(again.has_value() && *again == *p, "decode(encode(p)) != p");

  FUZZ_CHECK(p->data_start() == 16 + std::uint64_t{p->header_area}, "data start");
  FUZZ_CHECK(p->check_file_length(p->data_start()).has_value(), "exact length refused");
  FUZZ_CHECK(!p->check_file_length(p->data_start() - 1).has_value(), "short file accepted");
  return 0;
}
