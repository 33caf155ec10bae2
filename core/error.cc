#include "core/error.h"

#include <utf8proc.h>

#include <charconv>
#include <cstring>

#include "core/str_cat.h"

namespace drelix {

namespace {

std::string os_text(int errnum) {
  // strerror_r's GNU form may return a static string instead of filling the buffer.
  char buf[256];
  const char* text = strerror_r(errnum, buf, sizeof buf);
  return str_cat(text, " (os error ", errnum, ")");
}

// Non-ASCII characters shown as \u{X}: the "Other" categories (controls, format characters,
// surrogates, private use, unassigned), the separators other than the ASCII space (line,
// paragraph, and every non-ASCII space), and the non-spacing and enclosing combining marks.
bool needs_unicode_escape(utf8proc_int32_t cp) {
  switch (utf8proc_category(cp)) {
    case UTF8PROC_CATEGORY_CC:
    case UTF8PROC_CATEGORY_CF:
    case UTF8PROC_CATEGORY_CS:
    case UTF8PROC_CATEGORY_CO:
    case UTF8PROC_CATEGORY_CN:
    case UTF8PROC_CATEGORY_ZS:
    case UTF8PROC_CATEGORY_ZL:
    case UTF8PROC_CATEGORY_ZP:
    case UTF8PROC_CATEGORY_MN:
    case UTF8PROC_CATEGORY_ME:
      return true;
    default:
      return false;
  }
}

void append_unicode_escape(std::string& out, std::uint32_t cp) {
  char hex[8];
  auto r = std::to_chars(hex, hex + sizeof hex, cp, 16);
  out += "\\u{";
  out.append(hex, r.ptr);
  out += '}';
}

}  // namespace

Error Error::io(int errnum) {
  Error e(Kind::Io, os_text(errnum));
  e.os_code_ = errnum;
  return e;
}

Error Error::io_at(std::string_view path, int errnum) {
  return io(errnum).with_path(path);
}

Error Error::io_eof() {
  return io_text("failed to fill whole buffer");
}

Error Error::io_text(std::string text) {
  return Error(Kind::Io, std::move(text));
}

Error Error::malformed(std::string message) {
  return Error(Kind::Malformed, std::move(message));
}

Error Error::usage(std::string message) {
  return Error(Kind::Usage, std::move(message));
}

Error Error::zone_full(std::uint64_t need, std::uint64_t have) {
  Error e(Kind::ZoneFull, std::string());
  e.need_ = need;
  e.have_ = have;
  return e;
}

Error Error::zone_full(std::uint64_t need, std::uint64_t have, std::string note) {
  Error e = zone_full(need, have);
  e.message_ = std::move(note);
  return e;
}

Error Error::compression(std::string message) {
  return Error(Kind::Compression, std::move(message));
}

Error Error::with_path(std::string_view path) && {
  if (kind_ == Kind::Io) path_ = std::string(path);
  return std::move(*this);
}

std::string Error::to_string() const {
  switch (kind_) {
    case Kind::Io:
      return path_ ? str_cat(*path_, ": ", message_) : message_;
    case Kind::ZoneFull:
      if (!message_.empty()) {
        return str_cat("headers need ", need_, " bytes, the zone holds ", have_, " (", message_,
                       ")");
      }
      return str_cat("headers need ", need_, " bytes, the zone holds ", have_);
    case Kind::Malformed:
    case Kind::Usage:
    case Kind::Compression:
      break;
  }
  return message_;
}

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  const auto* p = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  utf8proc_ssize_t left = static_cast<utf8proc_ssize_t>(text.size());
  while (left > 0) {
    const unsigned char c = *p;
    if (c < 0x80) {
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\0':
          out += "\\0";
          break;
        default:
          if (c < 0x20 || c == 0x7f) {
            append_unicode_escape(out, c);
          } else {
            out += static_cast<char>(c);
          }
      }
      ++p;
      --left;
      continue;
    }
    utf8proc_int32_t cp = 0;
    const utf8proc_ssize_t n = utf8proc_iterate(p, left, &cp);
    if (n <= 0) {
      append_unicode_escape(out, 0xfffd);
      ++p;
      --left;
      continue;
    }
    if (needs_unicode_escape(cp)) {
      append_unicode_escape(out, static_cast<std::uint32_t>(cp));
    } else {
      out.append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
    }
    p += n;
    left -= n;
  }
  out += '"';
  return out;
}

}  // namespace drelix
