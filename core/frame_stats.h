// Frame statistics: each frame's minimum and maximum of the indexed fields, kept in the zone
// under the application key drelix_stats_<field>, so that a reader can tell from the zone alone
// which frames cannot hold a value it looks for.
//
// The value lists one entry per frame of _frames, in that order, joined by ';'. An entry is
// "min,max", or empty when the frame has no usable value (no records; f64 values all NaN).
// Integers are written in decimal, f64 in the shortest text that reads back as the same double
// ("inf", "-inf"; NaN is skipped, never stored). The text is canonical: parsing refuses any
// entry that would not render back to itself, so two entries hold the same range exactly when
// their texts are equal.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/headers.h"
#include "core/schema.h"

namespace drelix {

inline constexpr std::string_view kStatsPrefix = "drelix_stats_";
// The longest entry of any type: two f64 such as -2.2250738585072014e-308 and a comma.
inline constexpr std::size_t kMaxStatsEntry = 2 * 24 + 1;

enum class StatType { U8, U16, U32, U64, I64, F64 };

struct IndexedField {
  std::string name;
  StatType type = StatType::U64;
  std::uint32_t offset = 0;

  std::string key() const { return std::string(kStatsPrefix) + name; }
  bool operator==(const IndexedField&) const = default;
};

// `name` checked as a field to index: Error::Usage when the layout is length-prefixed, the
// schema has no such field, or the field is not numeric (or does not lie within the record).
Result<IndexedField> indexable_field(const Schema& schema, std::string_view name);

// The longest entry of a field of `type` ("0,255" is at most 7 bytes for a u8), so that the
// zone's room checks count what a frame can really add.
std::size_t widest_entry(StatType type);

// The fields `headers` index: the indexable fields of `schema` that have a drelix_stats_ key,
// in schema order. A key naming anything else is an ordinary application header.
std::vector<IndexedField> indexed_fields(const Headers& headers, const Schema& schema);

// One frame's entries, one per indexed field, in the order of the fields.
using FrameEntries = std::vector<std::string>;

// The range of one field over records fed one at a time. -0.0 counts as below 0.0, so the
// entry does not depend on the order of the records.
class FieldRange {
 public:
  explicit FieldRange(const IndexedField& field) : type_(field.type), offset_(field.offset) {}

  void feed(ByteView record);
  // "min,max", or "" when no usable value was fed.
  std::string entry() const;

 private:
  StatType type_;
  std::uint32_t offset_;
  bool any_ = false;
  std::uint64_t umin_ = 0, umax_ = 0;
  std::int64_t imin_ = 0, imax_ = 0;
  double dmin_ = 0, dmax_ = 0;
};

// The entry of one frame's content (whole records of `record_size` bytes).
std::string entry_for(ByteView content, const IndexedField& field, std::uint32_t record_size);
// The entries of every field for one frame's content.
FrameEntries entries_for(ByteView content, std::span<const IndexedField> fields,
                         std::uint32_t record_size);

// The key's value for these entries (one per frame).
std::string render_stats(std::span<const std::string> entries);
// `value` with `added` entries appended, for a file that lists `frames` frames before them.
std::string append_stats(std::string_view value, std::size_t frames,
                         std::span<const std::string> added);

using StatNumber = std::variant<std::uint64_t, std::int64_t, double>;
using StatRange = std::pair<StatNumber, StatNumber>;

// One entry read back: nothing for an empty entry; Error::Malformed for any text that is not
// the canonical "min,max" of `type` with min <= max.
Result<std::optional<StatRange>> parse_entry(std::string_view entry, StatType type);
// A whole value for a file of `frames` frames: its entries, each checked by parse_entry.
// Error::Malformed naming the first bad entry, or the count when it is not `frames`.
Result<std::vector<std::string>> parse_stats(std::string_view value, std::size_t frames,
                                             StatType type);

}  // namespace drelix
