#include "core/schema.h"

#include "core/hash.h"
#include "core/numbers.h"
#include "core/str_cat.h"
#include "core/system_headers.h"

namespace drelix {

namespace {

constexpr std::string_view kPrefixed = "prefixed";
constexpr std::string_view kFixedPrefix = "fixed:";

// One "name:ty:offset" token of _schema_fields. The offset is parsed before the name and type
// are checked, so a token with a bad offset reports why the offset is bad.
Result<FieldSpec> parse_field_token(std::string_view token) {
  std::string_view rest = token;
  const std::string_view name = take_until(rest, ':');
  const std::string_view ty = take_until(rest, ':');
  // `rest` is everything after the second colon, further colons included.
  const auto offset = parse_unsigned(rest, UINT32_MAX);
  if (!offset) {
    return fail(Error::malformed(
        str_cat("bad field token ", quoted(token), ": ", reason_text(offset.error()))));
  }
  if (name.empty() || ty.empty()) {
    return fail(Error::malformed(str_cat("bad field token ", quoted(token))));
  }
  return FieldSpec{std::string(name), std::string(ty), static_cast<std::uint32_t>(*offset)};
}

}  // namespace

Result<RecordLayout> RecordLayout::parse(std::string_view text) {
  if (text == kPrefixed) return RecordLayout::prefixed();
  if (!text.starts_with(kFixedPrefix)) {
    return fail(Error::malformed(str_cat("unknown record layout ", quoted(text))));
  }
  const std::string_view rest = text.substr(kFixedPrefix.size());
  const auto size = parse_unsigned(rest, UINT32_MAX);
  if (!size) {
    return fail(Error::malformed(
        str_cat("bad record size ", quoted(rest), ": ", reason_text(size.error()))));
  }
  if (*size == 0) return fail(Error::malformed("record size is zero"));
  return RecordLayout::fixed(static_cast<std::uint32_t>(*size));
}

std::string RecordLayout::render() const {
  if (!fixed_) return std::string(kPrefixed);
  return str_cat(kFixedPrefix, size_);
}

std::string Schema::fields_value() const {
  std::string out;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i != 0) out += ';';
    out += str_cat(fields[i].name, ':', fields[i].ty, ':', fields[i].offset);
  }
  return out;
}

Status Schema::check_fields_storable() const {
  auto storable = [](std::string_view text) {
    return !text.empty() && text.find_first_of(":;") == std::string_view::npos;
  };
  for (const FieldSpec& f : fields) {
    if (!storable(f.name) || !storable(f.ty)) {
      return fail(Error::usage(str_cat("field ", quoted(f.name), " of type ", quoted(f.ty),
                                       " would not read back: names and types must be "
                                       "non-empty and hold no ':' or ';'")));
    }
  }
  return {};
}

std::string Schema::hash_hex() const {
  return to_hex16(fnv1a64(as_bytes(fields_value())));
}

Result<Schema> Schema::from_headers(const Headers& headers) {
  const auto name = headers.get(key::kSchema);
  if (!name) return fail(Error::malformed("missing _schema"));
  const auto record = headers.get(key::kRecord);
  if (!record) return fail(Error::malformed("missing _record"));
  DRELIX_ASSIGN_OR_RETURN(RecordLayout layout, RecordLayout::parse(*record));
  const auto fields_text = headers.get(key::kSchemaFields);
  if (!fields_text) return fail(Error::malformed("missing _schema_fields"));

  Schema schema{std::string(*name), {}, layout};
  std::string_view rest = *fields_text;
  while (!rest.empty()) {
    const std::string_view token = take_until(rest, ';');
    if (token.empty()) continue;  // ";;", a leading or a trailing ";"
    DRELIX_ASSIGN_OR_RETURN(FieldSpec field, parse_field_token(token));
    schema.fields.push_back(std::move(field));
  }
  return schema;
}

SplitResult split_records(ByteView data, RecordLayout layout) {
  SplitResult out;
  if (layout.is_fixed() && layout.size() != 0) out.records.reserve(data.size() / layout.size());
  out.torn = for_each_record(data, layout, [&out](ByteView r) { out.records.push_back(r); });
  return out;
}

Status check_no_torn(std::string_view frame, const RecordCount& count) {
  if (count.torn == 0) return {};
  return fail(Error::malformed(str_cat(frame, ": ", count.torn, " torn bytes")));
}

RecordCount count_records(ByteView data, RecordLayout layout) {
  RecordCount count;
  count.torn = for_each_record(data, layout, [&count](ByteView) { ++count.records; });
  count.whole_bytes = data.size() - count.torn;
  return count;
}

}  // namespace drelix
