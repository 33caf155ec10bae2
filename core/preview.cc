#include "core/preview.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/numbers.h"

namespace drelix {

namespace {

// The shortest decimal that reads back as `v`, in positional notation: 1.0 is "1", 1e300 is a
// 1 followed by 300 zeros. std::to_chars in fixed notation is not enough: for large integral
// values the exact expansion is as short in characters as the zero-padded shortest digits, and
// the standard's tie-break then picks the exact expansion. So the shortest significant digits
// come from the scientific form and are laid out here.
void append_f64(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "NaN";
    return;
  }
  if (std::isinf(v)) {
    out += v < 0 ? "-inf" : "inf";
    return;
  }
  char buf[64];  // "-d.dddddddddddddddde-308" at most
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
  const std::size_t e_pos = sci.find('e');
  std::string_view mantissa = sci.substr(0, e_pos);
  if (!mantissa.empty() && mantissa[0] == '-') {
    out += '-';
    mantissa.remove_prefix(1);
  }
  std::string digits;  // the significant digits, without the point
  for (char c : mantissa) {
    if (c != '.') digits += c;
  }
  int exp = 0;  // the power of ten of the first digit
  std::string_view exp_text = sci.substr(e_pos + 1);
  const bool exp_negative = exp_text[0] == '-';
  if (exp_text[0] == '-' || exp_text[0] == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp);
  if (exp_negative) exp = -exp;

  if (exp < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exp - 1), '0');
    out += digits;
    return;
  }
  const std::size_t int_digits = static_cast<std::size_t>(exp) + 1;
  if (digits.size() <= int_digits) {
    out += digits;
    out.append(int_digits - digits.size(), '0');
    return;
  }
  out.append(digits, 0, int_digits);
  out += '.';
  out.append(digits, int_digits, std::string::npos);
}

void append_uuid(std::string& out, const std::uint8_t* p) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    out.push_back(kHex[p[i] >> 4]);
    out.push_back(kHex[p[i] & 0xF]);
  }
}

enum class Kind { U8, U16, U32, U64, I64, F64, Uuid, Unknown };

struct TypeInfo {
  Kind kind;
  std::size_t width;
};

TypeInfo type_info(std::string_view ty) {
  if (ty == "u8") return {Kind::U8, 1};
  if (ty == "u16") return {Kind::U16, 2};
  if (ty == "u32") return {Kind::U32, 4};
  if (ty == "u64") return {Kind::U64, 8};
  if (ty == "i64") return {Kind::I64, 8};
  if (ty == "f64") return {Kind::F64, 8};
  if (ty == "uuid") return {Kind::Uuid, 16};
  return {Kind::Unknown, 0};
}

void append_value(std::string& out, const FieldSpec& field, ByteView record) {
  const TypeInfo info = type_info(field.ty);
  if (info.kind == Kind::Unknown || std::uint64_t{field.offset} + info.width > record.size()) {
    out += '?';
    return;
  }
  const std::uint8_t* p = record.data() + field.offset;
  switch (info.kind) {
    case Kind::U8:
      out += to_decimal(p[0]);
      break;
    case Kind::U16:
      out += to_decimal(load_u16le(p));
      break;
    case Kind::U32:
      out += to_decimal(load_u32le(p));
      break;
    case Kind::U64:
      out += to_decimal(load_u64le(p));
      break;
    case Kind::I64:
      out += to_decimal_signed(static_cast<std::int64_t>(load_u64le(p)));
      break;
    case Kind::F64: {
      const std::uint64_t bits = load_u64le(p);
      double v;
      std::memcpy(&v, &bits, sizeof v);
      append_f64(out, v);
      break;
    }
    case Kind::Uuid:
      append_uuid(out, p);
      break;
    case Kind::Unknown:
      break;
  }
}

void append_row(std::string& out, const Schema& schema, ByteView record) {
  for (std::size_t i = 0; i < schema.fields.size(); ++i) {
    if (i > 0) out += ',';
    append_value(out, schema.fields[i], record);
  }
}

}  // namespace

std::string render_preview(ByteView tail, const Schema& schema) {
  std::string out;
  std::size_t first_row_end = 0;
  std::size_t rows = 0;
  // The tail can be large: the walk stops after the rows it needs.
  for_each_record(tail, schema.layout, [&](ByteView record) {
    if (rows > 0) out += ';';
    append_row(out, schema, record);
    if (rows == 0) first_row_end = out.size();
    return ++rows < kPreviewRecords;
  });
  if (out.size() > kPreviewMaxBytes) out.resize(first_row_end);
  // A first row past the cap would take zone room no later close can give back (with 120 uuid
  // fields it alone is 4 KB, so every close of such a file would fail for want of room).
  if (out.size() > kPreviewMaxBytes) out.clear();
  return out;
}

}  // namespace drelix
