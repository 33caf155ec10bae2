// The 16-byte block that opens every file:
//
//   offset 0  size 6  magic "DRELIX"
//   offset 6  size 1  version, always 1
//   offset 7  size 1  flags; bit 0 = data section compressed (never branched on when reading)
//   offset 8  size 4  header_area H, little-endian, 1 ..= 16 MiB
//   offset 12 size 4  reserved, written as zeros, never read
//
// The header zone follows at byte 16, the data section at 16 + H.
#pragma once

#include <array>
#include <cstdint>

#include "core/bytes.h"
#include "core/error.h"

namespace drelix {

inline constexpr std::uint32_t kPreambleSize = 16;
inline constexpr std::uint8_t kFormatVersion = 1;
inline constexpr std::uint32_t kMaxHeaderArea = 16777216;
inline constexpr std::uint32_t kDefaultHeaderArea = 4096;
inline constexpr std::uint8_t kFlagCompressed = 1;

// A writer's choice of zone size (create, repack): Error::Usage "header zone of {} bytes is
// outside 1..=16777216" unless 1 ..= kMaxHeaderArea.
Status check_header_area(std::uint32_t header_area);

struct Preamble {
  std::uint32_t header_area = 0;
  std::uint8_t version = kFormatVersion;
  std::uint8_t flags = 0;

  // Decodes the first bytes of a file (only bytes 0 to 11 are read). Error::Malformed with the
  // message of the first failing check, in the order: bad magic, "preamble too short" (exactly 6
  // bytes), unsupported version, "preamble too short", zone size zero, zone above the ceiling.
  static Result<Preamble> decode(ByteView bytes);

  // The 16-byte on-disk block.
  std::array<std::uint8_t, kPreambleSize> encode() const;

  // Offset of the data section.
  std::uint64_t data_start() const { return std::uint64_t{kPreambleSize} + header_area; }

  // The opening rule's length check: the file must hold the preamble and the whole zone.
  // Error::Malformed "header zone claims {} bytes but the file is {} bytes".
  Status check_file_length(std::uint64_t file_len) const;

  bool operator==(const Preamble&) const = default;
};

}  // namespace drelix
