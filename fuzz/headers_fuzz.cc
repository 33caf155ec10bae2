// Headers::parse over arbitrary zones. Oracle: whatever parses renders back into a zone of the
// same size (or, when the parsed text ended exactly at the zone's last byte with no empty line,
// into one byte more) and that zone parses to the same pairs and renders to itself.
#include "core/headers.h"
#include "fuzz/fuzz_util.h"

using namespace drelix;
using fuzz::outcome;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto parsed = Headers::parse(ByteView(data, size));
  if (!parsed) {
    const Error::Kind k = parsed.error().kind();
    FUZZ_CHECK(k == Error::Kind::Malformed || k == Error::Kind::Usage, outcome(parsed));
    return 0;
  }
  for (const auto& [key, value] : parsed->pairs()) {
    FUZZ_CHECK(key_is_valid(key) && unescape_value(escape_value(value)) == value, key);
  }
  const std::uint32_t h = static_cast<std::uint32_t>(size);
  auto rendered = parsed->render(h);
  if (!rendered) {
    // Stored values never grow when re-escaped, so the only way not to fit is the missing empty
    // line: the text filled the zone and ended with a line feed at its last byte (or the zone
    // is empty, which no file has but parse accepts as an empty list).
    FUZZ_CHECK(rendered.error() == Error::zone_full(std::uint64_t{h} + 1, h) &&
                   (size == 0 || data[size - 1] == '\n'),
               outcome(rendered));
    rendered = parsed->render(h + 1);
    FUZZ_CHECK(rendered.has_value(), outcome(rendered));
  }
  auto reparsed = Headers::parse(*rendered);
  FUZZ_CHECK(rendered->size() >= size && reparsed && reparsed->pairs() == parsed->pairs(),
             outcome(reparsed));
  auto again = reparsed->render(static_cast<std::uint32_t>(rendered->size()));
  FUZZ_CHECK(again && *again == *rendered, "rendering is not stable");
  return 0;
}
