// RecordLayout::parse and Schema::from_headers over arbitrary header values. The input is cut at
// its first two line feeds into the _record value, the _schema_fields value and the _schema
// value (a missing piece leaves its key out). Oracle: a parsed layout and schema render to
// values that parse back to the same thing. (How records split is format_test's property.)
#include <string>
#include <string_view>

#include "core/headers.h"
#include "core/schema.h"
#include "fuzz/fuzz_util.h"

using namespace drelix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
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
    FUZZ_CHECK(layout.error().kind() == Error::Kind::Malformed, layout.error().to_string());
  }

  Headers headers;
  FUZZ_CHECK(headers.set("_record", record) &&
                 (nl1 == std::string_view::npos ||
                  headers.set("_schema_fields", text.substr(nl1 + 1, nl2 - nl1 - 1))) &&
                 (nl2 == std::string_view::npos || headers.set("_schema", text.substr(nl2 + 1))),
             "set");

  auto schema = Schema::from_headers(headers);
  if (!schema) {
    FUZZ_CHECK(schema.error().kind() == Error::Kind::Malformed, schema.error().to_string());
    return 0;
  }
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
  return 0;
}
