#include "core/preamble.h"

#include <algorithm>
#include <string_view>

#include "core/str_cat.h"

namespace drelix {

namespace {

constexpr std::string_view kMagic = "DRELIX";

}  // namespace

Status check_header_area(std::uint32_t header_area) {
  if (header_area != 0 && header_area <= kMaxHeaderArea) return {};
  return fail(Error::usage(
      str_cat("header zone of ", header_area, " bytes is outside 1..=", kMaxHeaderArea)));
}

Result<Preamble> Preamble::decode(ByteView bytes) {
  // The checks run in a fixed order so that the same damaged file always produces the same
  // message: magic first (a foreign file is "not a drelix file" whatever its length), then the
  // version, which is readable as soon as seven bytes are there, and only then the length.
  if (bytes.size() < kMagic.size() ||
      !std::equal(kMagic.begin(), kMagic.end(), bytes.begin(),
                  [](char m, std::uint8_t b) { return static_cast<std::uint8_t>(m) == b; })) {
    return fail(Error::malformed("not a drelix file: bad magic"));
  }
  if (bytes.size() == kMagic.size()) return fail(Error::malformed("preamble too short"));
  if (bytes[6] != kFormatVersion) {
    return fail(Error::malformed(str_cat("unsupported drelix version ", unsigned{bytes[6]})));
  }
  if (bytes.size() < 12) return fail(Error::malformed("preamble too short"));

  Preamble p;
  p.version = kFormatVersion;
  p.flags = bytes[7];
  p.header_area = load_u32le(bytes.data() + 8);
  if (p.header_area == 0) return fail(Error::malformed("header zone size is zero"));
  if (p.header_area > kMaxHeaderArea) {
    return fail(Error::malformed(
        str_cat("header zone claims ", p.header_area, " bytes, the ceiling is ", kMaxHeaderArea)));
  }
  // Bytes 12 to 15 are reserved: written as zeros, never read, so a future writer may use them.
  return p;
}

std::array<std::uint8_t, kPreambleSize> Preamble::encode() const {
  std::array<std::uint8_t, kPreambleSize> out{};
  std::copy(kMagic.begin(), kMagic.end(), out.begin());
  // Only version 1 exists; a Preamble built by a writer always holds it.
  out[6] = kFormatVersion;
  out[7] = flags;
  store_u32le(out.data() + 8, header_area);
  // out[12..15] stay zero.
  return out;
}

Status Preamble::check_file_length(std::uint64_t file_len) const {
  if (file_len < data_start()) {
    return fail(Error::malformed(str_cat("header zone claims ", header_area,
                                         " bytes but the file is ", file_len, " bytes")));
  }
  return {};
}

}  // namespace drelix
