// What a file's records look like: a named list of typed fields and a record layout, stored in
// the headers _schema, _schema_fields, _schema_hash and _record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/headers.h"

namespace drelix {

struct FieldSpec {
  std::string name;
  std::string ty;  // "u8", "u16", "u32", "u64", "i64", "f64", "uuid"; not checked
  std::uint32_t offset = 0;

  bool operator==(const FieldSpec&) const = default;
};

// Fixed: every record is exactly size() bytes. Prefixed: each record is preceded by a u16
// little-endian length, 0 to 65535 bytes.
class RecordLayout {
 public:
  static RecordLayout fixed(std::uint32_t size) { return RecordLayout(true, size); }
  static RecordLayout prefixed() { return RecordLayout(false, 0); }

  bool is_fixed() const { return fixed_; }
  // The record size of a fixed layout; 0 for prefixed.
  std::uint32_t size() const { return size_; }

  // "prefixed" or "fixed:<decimal>"; Error::Malformed otherwise, worded as the format says.
  static Result<RecordLayout> parse(std::string_view text);
  // The _record value.
  std::string render() const;

  bool operator==(const RecordLayout&) const = default;

 private:
  RecordLayout(bool fixed, std::uint32_t size) : fixed_(fixed), size_(size) {}
  bool fixed_;
  std::uint32_t size_;
};

inline constexpr std::uint32_t kMaxPrefixedRecord = 65535;

struct Schema {
  std::string name;
  std::vector<FieldSpec> fields;
  RecordLayout layout = RecordLayout::prefixed();

  // "name:ty:offset" joined with ";"; empty for no fields.
  std::string fields_value() const;
  // FNV-1a 64 of fields_value(), 16 lower-case hex digits.
  std::string hash_hex() const;

  // Error::Usage naming the first field whose "name:ty:offset" token would not read back as
  // itself: an empty name or type, or one holding ':' or ';'.
  Status check_fields_storable() const;

  // Reads _schema, _record, _schema_fields (in that order of checks). Does not look at
  // _schema_hash.
  static Result<Schema> from_headers(const Headers& headers);

  bool operator==(const Schema&) const = default;
};

struct SplitResult {
  std::vector<ByteView> records;  // views into the input, in order
  std::uint64_t torn = 0;         // trailing bytes that are not a whole record
};

// What bytes hold under a layout: their whole records, the bytes those take (prefixes
// included), and the bytes after them that make no whole record (a record torn by a crash, or
// damage).
struct RecordCount {
  std::uint64_t records = 0;
  std::uint64_t whole_bytes = 0;
  std::uint64_t torn = 0;

  bool operator==(const RecordCount&) const = default;
};

// The count of `data` held whole (RecordStream counts bytes that arrive in pieces).
RecordCount count_records(ByteView data, RecordLayout layout);

// The one verdict on a closed frame's content, which holds whole records only: Error::Malformed
// "{frame}: {n} torn bytes" when `count` has torn bytes (`frame` names the frame).
Status check_no_torn(std::string_view frame, const RecordCount& count);

// Cuts `data` into whole records under `layout`. Copies no record bytes. A fixed size of 0
// yields no records and reports every byte as torn.
SplitResult split_records(ByteView data, RecordLayout layout);

// The one record walker: calls `fn(ByteView record)` for each whole record in order and returns
// the bytes from where the walk ended, which is the torn count unless `fn` stopped it (by
// returning false; a `fn` that returns nothing never does). The allocation-free form of
// split_records for callers that only walk or count.
template <class Fn>
std::uint64_t for_each_record(ByteView data, RecordLayout layout, Fn&& fn) {
  auto visit = [&fn](ByteView record) {
    if constexpr (std::is_void_v<std::invoke_result_t<Fn&, ByteView>>) {
      fn(record);
      return true;
    } else {
      return static_cast<bool>(fn(record));
    }
  };
  std::size_t p = 0;
  if (layout.is_fixed()) {
    const std::size_t n = layout.size();
    if (n == 0) return data.size();
    while (data.size() - p >= n && visit(data.subspan(p, n))) p += n;
    return data.size() - p;
  }
  while (data.size() - p >= 2) {
    const std::size_t len = load_u16le(data.data() + p);
    if (data.size() - p - 2 < len || !visit(data.subspan(p + 2, len))) break;
    p += 2 + len;
  }
  return data.size() - p;
}

}  // namespace drelix
