// The small decoders over arbitrary bytes: the first byte of an input picks the decoder (modulo
// five: a preamble, a zone, a _frames value, the three schema values, a zstd frame) and the rest
// is what it decodes, so that each one runs at its own speed. Each seed begins with its decoder's
// number (0 to 4), as its name says.
#include <algorithm>
#include <iterator>
#include <string>
#include <string_view>

#include "core/codec.h"
#include "core/frames.h"
#include "core/headers.h"
#include "core/preamble.h"
#include "core/schema.h"
#include "fuzz/fuzz_util.h"

using namespace drelix;
using fuzz::outcome;

namespace {

// Preamble::decode: a decoded preamble re-encodes to the bytes it was read from and decodes again
// to itself.
void check_preamble(ByteView in) {
  auto p = Preamble::decode(in);
  if (!p) return FUZZ_CHECK(p.error().kind() == Error::Kind::Malformed, outcome(p));
  FUZZ_CHECK(in.size() >= 12 && p->version == kFormatVersion, "decoded from fewer than 12 bytes");
  FUZZ_CHECK(p->header_area >= 1 && p->header_area <= kMaxHeaderArea, "zone size out of range");
  const auto block = p->encode();
  FUZZ_CHECK(
      std::equal(block.begin(), block.begin() + 12, in.begin()) &&
          std::all_of(block.begin() + 12, block.end(), [](std::uint8_t b) { return b == 0; }),
      "encode differs from the decoded bytes 0..11, or reserved bytes not zero");
  auto again = Preamble::decode(block);
  FUZZ_CHECK(again && *again == *p, "decode(encode(p)) != p");
}

// Headers::parse over the input as a zone. Oracle: whatever parses renders back into a zone of
// the same size (or, when the parsed text ended exactly at the zone's last byte with no empty
// line, into one byte more) and that zone parses to the same pairs and renders to itself.
void check_headers(ByteView in) {
  auto parsed = Headers::parse(in);
  if (!parsed) {
    const Error::Kind k = parsed.error().kind();
    return FUZZ_CHECK(k == Error::Kind::Malformed || k == Error::Kind::Usage, outcome(parsed));
  }
  for (const auto& [key, value] : parsed->pairs())
    FUZZ_CHECK(key_is_valid(key) && unescape_value(escape_value(value)) == value, key);
  const std::uint32_t h = static_cast<std::uint32_t>(in.size());
  auto rendered = parsed->render(h);
  if (!rendered) {
    // Stored values never grow when re-escaped, so the only way not to fit is the missing empty
    // line: the text filled the zone and ended with a line feed at its last byte (or the zone
    // is empty, which no file has but parse accepts as an empty list).
    FUZZ_CHECK(rendered.error() == Error::zone_full(std::uint64_t{h} + 1, h) &&
                   (in.empty() || in.back() == '\n'),
               outcome(rendered));
    rendered = parsed->render(h + 1);
    FUZZ_CHECK(rendered.has_value(), outcome(rendered));
  }
  auto reparsed = Headers::parse(*rendered);
  FUZZ_CHECK(rendered->size() >= in.size() && reparsed && reparsed->pairs() == parsed->pairs(),
             outcome(reparsed));
  auto again = reparsed->render(static_cast<std::uint32_t>(rendered->size()));
  FUZZ_CHECK(again && *again == *rendered, "rendering is not stable");
}

// parse_frames. Oracle: render(parse(x)) parses to the same list and is a fixed point of
// render/parse; check_frames_fit agrees with an independent overflow-checked sum.
void check_frames(ByteView in) {
  auto frames = parse_frames(as_text(in));
  if (!frames) {
    return FUZZ_CHECK(frames.error().kind() == Error::Kind::Malformed &&
                          frames.error().message().starts_with("bad frame "),
                      outcome(frames));
  }
  const std::string rendered = render_frames(*frames);
  auto again = parse_frames(rendered);
  FUZZ_CHECK(again && *again == *frames && render_frames(*again) == rendered, rendered);
  if (frames->empty()) return;
  // Positions taken from the input itself, so that the fuzzer reaches the edges.
  const std::uint64_t data_start = frames->front().id, file_len = frames->back().hash;
  bool fits = true;
  for (const Frame& f : *frames) {
    std::uint64_t start, end;
    fits = fits && !__builtin_add_overflow(data_start, f.offset, &start) &&
           !__builtin_add_overflow(start, f.len, &end) && end <= file_len;
  }
  auto checked = check_frames_fit(*frames, data_start, file_len);
  FUZZ_CHECK(checked.has_value() == fits, outcome(checked));
}

// RecordLayout::parse and Schema::from_headers. The text is cut at its first two line feeds into
// the _record value, the _schema_fields value and the _schema value (a missing piece leaves its
// key out). Oracle: a parsed layout and schema render to values that parse back to the same
// thing. (How records split is format_test's property.)
void check_schema(ByteView in) {
  const std::string_view text = as_text(in);
  const std::size_t nl1 = text.find('\n');
  const std::size_t nl2 = nl1 == std::string_view::npos ? nl1 : text.find('\n', nl1 + 1);
  const std::string_view record = text.substr(0, nl1);

  auto layout = RecordLayout::parse(record);
  if (layout) {
    const std::string rendered = layout->render();
    auto again = RecordLayout::parse(rendered);
    FUZZ_CHECK(again && *again == *layout && (!layout->is_fixed() || layout->size() >= 1),
               rendered);
  } else {
    FUZZ_CHECK(layout.error().kind() == Error::Kind::Malformed, outcome(layout));
  }

  Headers headers;
  FUZZ_CHECK(headers.set("_record", record) &&
                 (nl1 == std::string_view::npos ||
                  headers.set("_schema_fields", text.substr(nl1 + 1, nl2 - nl1 - 1))) &&
                 (nl2 == std::string_view::npos || headers.set("_schema", text.substr(nl2 + 1))),
             "set");

  auto schema = Schema::from_headers(headers);
  if (!schema) return FUZZ_CHECK(schema.error().kind() == Error::Kind::Malformed, outcome(schema));
  FUZZ_CHECK(layout && schema->layout == *layout && schema->check_fields_storable(),
             "schema layout differs, or a field would not read back");
  const std::string hash = schema->hash_hex();
  FUZZ_CHECK(hash.size() == 16 && hash.find_first_not_of("0123456789abcdef") == std::string::npos,
             hash);
  // Names stop at the first ':' and types at the second, neither holds a ';': the stored form
  // of a parsed schema always reads back as the same schema.
  Headers rebuilt;
  FUZZ_CHECK(rebuilt.set("_schema", schema->name) &&
                 rebuilt.set("_schema_fields", schema->fields_value()) &&
                 rebuilt.set("_record", schema->layout.render()),
             "set");
  auto again = Schema::from_headers(rebuilt);
  FUZZ_CHECK(again.has_value() && *again == *schema, schema->fields_value());
}

// decode_one_frame. Oracles: a decoded frame occupied a non-empty prefix of the input, decoding
// that prefix alone gives the same content, and the content survives a compress_frame round trip
// (level 0 a copy unless it begins with the zstd magic).
void check_decode(ByteView in) {
  auto decoded = decode_one_frame(in);
  if (!decoded) {
    const Error::Kind k = decoded.error().kind();
    return FUZZ_CHECK(k == Error::Kind::Compression || k == Error::Kind::Malformed,
                      outcome(decoded));
  }
  FUZZ_CHECK(decoded->consumed > 0 && decoded->consumed <= in.size(), "consumed out of range");
  FUZZ_CHECK(decoded->content.size() <= kMaxDecodedFrame, "content above the ceiling");
  auto prefix = decode_one_frame(in.first(static_cast<std::size_t>(decoded->consumed)));
  FUZZ_CHECK(prefix && prefix->content == decoded->content && prefix->consumed == decoded->consumed,
             "the consumed prefix alone decodes differently: " + outcome(prefix));
  // Re-compressing is the slow part of a run; large contents get the prefix oracle alone.
  if (decoded->content.size() > (1 << 16)) return;
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
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr void (*kChecks[])(ByteView) = {check_preamble, check_headers, check_frames,
                                           check_schema, check_decode};
  if (size > 0) kChecks[data[0] % std::size(kChecks)](ByteView(data + 1, size - 1));
  return 0;
}
