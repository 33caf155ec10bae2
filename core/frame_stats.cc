#include "core/frame_stats.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <system_error>

#include "core/str_cat.h"

namespace drelix {

namespace {

struct TypeOf {
  StatType type;
  std::uint32_t width;
};

std::optional<TypeOf> stat_type(std::string_view ty) {
  if (ty == "u8") return TypeOf{StatType::U8, 1};
  if (ty == "u16") return TypeOf{StatType::U16, 2};
  if (ty == "u32") return TypeOf{StatType::U32, 4};
  if (ty == "u64") return TypeOf{StatType::U64, 8};
  if (ty == "i64") return TypeOf{StatType::I64, 8};
  if (ty == "f64") return TypeOf{StatType::F64, 8};
  return std::nullopt;
}

const FieldSpec* find_field(const Schema& schema, std::string_view name) {
  for (const FieldSpec& f : schema.fields) {
    if (f.name == name) return &f;
  }
  return nullptr;
}

// Shortest decimal (integers) or shortest round-trip text (doubles: "inf", "-inf", "-0").
template <class T>
void put_number(std::string& out, T value) {
  char buf[32];
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, r.ptr);
}

template <class T>
std::string render_range(T lo, T hi) {
  std::string out;
  put_number(out, lo);
  out.push_back(',');
  put_number(out, hi);
  return out;
}

// -0.0 below +0.0, so that min and max do not depend on which of the two came first.
bool below(double a, double b) {
  return a < b || (a == b && std::signbit(a) && !std::signbit(b));
}

template <class T>
Result<T> parse_number(std::string_view text) {
  T value{};
  const char* end = text.data() + text.size();
  const std::from_chars_result r = std::from_chars(text.data(), end, value);
  if (r.ec != std::errc() || r.ptr != end) {
    return fail(Error::malformed(str_cat("not a number: ", quoted(text))));
  }
  if constexpr (std::is_same_v<T, double>) {
    if (std::isnan(value)) return fail(Error::malformed("NaN is never a bound"));
  }
  return value;
}

template <class T>
Result<StatRange> parse_range(std::string_view lo_text, std::string_view hi_text) {
  DRELIX_ASSIGN_OR_RETURN(const T lo, parse_number<T>(lo_text));
  DRELIX_ASSIGN_OR_RETURN(const T hi, parse_number<T>(hi_text));
  bool ordered;
  if constexpr (std::is_same_v<T, double>) {
    ordered = !below(hi, lo);
  } else {
    ordered = lo <= hi;
  }
  if (!ordered) return fail(Error::malformed("the minimum is above the maximum"));
  std::string again = render_range(lo, hi);
  if (again.size() != lo_text.size() + 1 + hi_text.size() ||
      again.compare(0, lo_text.size(), lo_text) != 0 ||
      again.compare(lo_text.size() + 1, std::string::npos, hi_text) != 0) {
    return fail(Error::malformed(str_cat("not in canonical form (", again, ")")));
  }
  return StatRange{lo, hi};
}

std::uint64_t max_of(StatType type) {
  switch (type) {
    case StatType::U8:
      return UINT8_MAX;
    case StatType::U16:
      return UINT16_MAX;
    case StatType::U32:
      return UINT32_MAX;
    default:
      return UINT64_MAX;
  }
}

}  // namespace

Result<IndexedField> indexable_field(const Schema& schema, std::string_view name) {
  if (!schema.layout.is_fixed()) {
    return fail(Error::usage(
        str_cat("cannot index ", quoted(name), ": the records are length-prefixed")));
  }
  const FieldSpec* f = find_field(schema, name);
  if (f == nullptr) {
    return fail(
        Error::usage(str_cat("cannot index ", quoted(name), ": the schema has no such field")));
  }
  const std::optional<TypeOf> t = stat_type(f->ty);
  if (!t) {
    return fail(Error::usage(
        str_cat("cannot index ", quoted(name), ": a ", f->ty, " field is not numeric")));
  }
  if (std::uint64_t{f->offset} + t->width > schema.layout.size()) {
    return fail(Error::usage(
        str_cat("cannot index ", quoted(name), ": the field ends past the record")));
  }
  return IndexedField{f->name, t->type, f->offset};
}

std::size_t widest_entry(StatType type) {
  switch (type) {
    case StatType::U8:
      return 2 * 3 + 1;
    case StatType::U16:
      return 2 * 5 + 1;
    case StatType::U32:
      return 2 * 10 + 1;
    case StatType::U64:
    case StatType::I64:
      return 2 * 20 + 1;
    case StatType::F64:
      break;
  }
  return kMaxStatsEntry;
}

std::vector<IndexedField> indexed_fields(const Headers& headers, const Schema& schema) {
  std::vector<IndexedField> fields;
  if (!schema.layout.is_fixed()) return fields;
  for (const FieldSpec& f : schema.fields) {
    if (!headers.get(std::string(kStatsPrefix) + f.name)) continue;
    // A name listed twice is indexed once.
    if (find_field(schema, f.name) != &f) continue;
    if (Result<IndexedField> field = indexable_field(schema, f.name)) {
      fields.push_back(std::move(*field));
    }
  }
  return fields;
}

void FieldRange::feed(ByteView record) {
  const std::uint8_t* p = record.data() + offset_;
  switch (type_) {
    case StatType::U8:
    case StatType::U16:
    case StatType::U32:
    case StatType::U64: {
      std::uint64_t v;
      if (type_ == StatType::U8) {
        v = *p;
      } else if (type_ == StatType::U16) {
        v = load_u16le(p);
      } else if (type_ == StatType::U32) {
        v = load_u32le(p);
      } else {
        v = load_u64le(p);
      }
      umin_ = any_ ? std::min(umin_, v) : v;
      umax_ = any_ ? std::max(umax_, v) : v;
      break;
    }
    case StatType::I64: {
      const auto v = static_cast<std::int64_t>(load_u64le(p));
      imin_ = any_ ? std::min(imin_, v) : v;
      imax_ = any_ ? std::max(imax_, v) : v;
      break;
    }
    case StatType::F64: {
      const auto v = std::bit_cast<double>(load_u64le(p));
      if (std::isnan(v)) return;  // NaN has no place in a range
      dmin_ = !any_ || below(v, dmin_) ? v : dmin_;
      dmax_ = !any_ || below(dmax_, v) ? v : dmax_;
      break;
    }
  }
  any_ = true;
}

std::string FieldRange::entry() const {
  if (!any_) return {};
  switch (type_) {
    case StatType::I64:
      return render_range(imin_, imax_);
    case StatType::F64:
      return render_range(dmin_, dmax_);
    default:
      return render_range(umin_, umax_);
  }
}

std::string entry_for(ByteView content, const IndexedField& field, std::uint32_t record_size) {
  FieldRange range(field);
  for_each_record(content, RecordLayout::fixed(record_size),
                  [&range](ByteView record) { range.feed(record); });
  return range.entry();
}

FrameEntries entries_for(ByteView content, std::span<const IndexedField> fields,
                         std::uint32_t record_size) {
  FrameEntries entries;
  entries.reserve(fields.size());
  for (const IndexedField& f : fields) entries.push_back(entry_for(content, f, record_size));
  return entries;
}

std::string render_stats(std::span<const std::string> entries) {
  return append_stats("", 0, entries);
}

std::string append_stats(std::string_view value, std::size_t frames,
                         std::span<const std::string> added) {
  std::string out(value);
  for (std::size_t i = 0; i < added.size(); ++i) {
    // The first frame's entry is the whole value: a lone empty entry and no frame look alike,
    // and the frame list tells them apart.
    if (frames + i > 0) out.push_back(';');
    out.append(added[i]);
  }
  return out;
}

Result<std::optional<StatRange>> parse_entry(std::string_view entry, StatType type) {
  if (entry.empty()) return std::optional<StatRange>();
  const std::size_t comma = entry.find(',');
  if (comma == std::string_view::npos) {
    return fail(Error::malformed(str_cat("no comma in ", quoted(entry))));
  }
  const std::string_view lo = entry.substr(0, comma);
  const std::string_view hi = entry.substr(comma + 1);
  Result<StatRange> range = fail(Error::malformed(""));
  switch (type) {
    case StatType::I64:
      range = parse_range<std::int64_t>(lo, hi);
      break;
    case StatType::F64:
      range = parse_range<double>(lo, hi);
      break;
    default:
      range = parse_range<std::uint64_t>(lo, hi);
      if (range && std::get<std::uint64_t>(range->second) > max_of(type)) {
        range = fail(Error::malformed("the maximum is beyond the field's type"));
      }
      break;
  }
  if (!range) {
    return fail(Error::malformed(str_cat("entry ", quoted(entry), ": ", range.error().message())));
  }
  return std::optional<StatRange>(std::move(*range));
}

Result<std::vector<std::string>> parse_stats(std::string_view value, std::size_t frames,
                                             StatType type) {
  std::vector<std::string> entries;
  if (frames == 0) {
    if (!value.empty()) return fail(Error::malformed("holds entries, but no frame is listed"));
    return entries;
  }
  for (std::size_t at = 0;;) {
    const std::size_t end = value.find(';', at);
    entries.emplace_back(value.substr(at, end == std::string_view::npos ? end : end - at));
    DRELIX_TRY(parse_entry(entries.back(), type));
    if (end == std::string_view::npos) break;
    at = end + 1;
  }
  if (entries.size() != frames) {
    return fail(Error::malformed(
        str_cat("holds ", entries.size(), " entries, the file lists ", frames, " frames")));
  }
  return entries;
}

}  // namespace drelix
