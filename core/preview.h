// The _preview header value: a short text rendering of the first records of a file, written by
// the first frame close so that a reader can see what a file holds from its headers alone.
#pragma once

#include <cstddef>
#include <string>

#include "core/bytes.h"
#include "core/schema.h"

namespace drelix {

// Records the preview shows, and the length above which only the first row is kept.
inline constexpr std::size_t kPreviewRecords = 3;
inline constexpr std::size_t kPreviewMaxBytes = 1024;

// Renders the first three whole records of `tail` (split under the schema's layout): one row
// per record, the schema's fields in declaration order as value texts joined by ",", the rows
// joined by ";". When that is longer than 1024 bytes, the first row alone, and when that too is
// longer, the empty text. Value texts: u8, u16,
// u32, u64 unsigned decimal; i64 signed decimal; f64 the shortest round-trip decimal, never in
// exponent form ("NaN", "inf", "-inf"); uuid 32 lower-case hex digits in storage order; "?" for
// any other type or a field that does not fit inside the record.
std::string render_preview(ByteView tail, const Schema& schema);

}  // namespace drelix
