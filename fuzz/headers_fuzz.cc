// Headers::parse over arbitrary zones. Oracle: whatever parses renders back into a zone of the
// same size (or, when the parsed text ended exactly at the zone's last byte with no empty line,
// into one byte more) and that zone parses to the same pairs.
#include <cstddef>
#include <cstdint>

#include "core/headers.h"
#include "fuzz/fuzz_util.h"

using namespace drelix;
using fuzz::outcome;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView zone(data, size);
  auto parsed = Headers::parse(zone);
  if (!parsed) {
    const Error::Kind k = parsed.error().kind();
    FUZZ_CHECK(k == Error::Kind::Malformed || k == Error::Kind::Usage, parsed.error().to_string());
    return 0;
  }
  for (const auto& [key, value] : parsed->pairs()) {
    FUZZ_CHECK(key_is_valid(key), "parsed an invalid key");
    FUZZ_CHECK(unescape_value(escape_value(value)) == value, "escape does not round-trip");
  }

  const std::uint32_t h = static_cast<std::uint32_t>(size);
  auto rendered = parsed->render(h);
  if (!rendered) {
    // Stored values never grow when re-escaped, so the only way not to fit is the missing
    // empty line: the text filled the zone and ended with a line feed at its last byte (or the
    // zone is empty, which no file has but parse accepts as an empty list).
    FUZZ_CHECK(rendered.error().kind() == Error::Kind::ZoneFull, rendered.error().to_string());
    FUZZ_CHECK(
        rendered.error().need() == std::uint64_t{h} + 1 && (size == 0 || data[size - 1] == '\n'),
        rendered.error().to_string());
    rendered = parsed->render(h + 1);
    FUZZ_CHECK(rendered.has_value(), outcome(rendered));
  }
  FUZZ_CHECK(rendered->size() >= size, "rendered zone has the wrong size");
  auto reparsed = Headers::parse(*rendered);
  FUZZ_CHECK(reparsed.has_value(), outcome(reparsed));
  FUZZ_CHECK(reparsed->pairs() == parsed->pairs(), "render/parse changed the pairs");
  // A canonical zone renders to itself.
  auto again = reparsed->render(static_cast<std::uint32_t>(rendered->size()));
  FUZZ_CHECK(again.has_value() && *again == *rendered, "rendering is not stable");
  return 0;
}
