// The numbers and names the format and the library choose, in one place. The extension modules
// export them and the Python package reads them from there, so no layer restates one.
#pragma once

#include <cstdint>
#include <string_view>

namespace drelix {

// The two compression levels the format names: a new file records the hot one in its
// `_compression_level` header and frames close at it; repack defaults to the cold one (data
// written once and read rarely).
inline constexpr std::int32_t kHotLevel = 3;
inline constexpr std::int32_t kColdLevel = 19;

// The header zone a file gets from the Python API when its caller names none: room for about
// 4,000 frames. The low-level Container.create keeps the format's own default (kDefaultHeaderArea,
// core/preamble.h).
inline constexpr std::uint32_t kApiHeaderArea = 262144;

// A frame is cut before its raw content would pass this many bytes, unless the caller says
// otherwise; no caller may ask for more than kMaxFrameBytes, well below the 4 GiB of content a
// reader accepts per frame.
inline constexpr std::uint64_t kDefaultFrameBytes = std::uint64_t{64} << 20;
inline constexpr std::uint64_t kMaxFrameBytes = std::uint64_t{1} << 30;

// The files a writer keeps beside `path` while it works: the redo journal of a frame close and
// the temporary file of a repack. Appended to the whole path, never to a stem.
inline constexpr std::string_view kJournalSuffix = ".seal";
inline constexpr std::string_view kRepackSuffix = ".repack";

}  // namespace drelix
