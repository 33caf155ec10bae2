// A read-only file whose bytes come from elsewhere by range: an object in a store, fetched by
// the caller's function. Objects are written whole and never changed in place, so nothing here
// writes, and the length is the one the object had when it was looked up.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "core/error.h"
#include "core/file.h"

namespace drelix {

// Fills `buf` from `offset` as far as the object reaches; returns the count filled (fewer than
// buf.size() only at the object's end).
using RangeFetch =
    std::function<Result<std::size_t>(std::uint64_t offset, std::span<std::uint8_t> buf)>;

FilePtr range_file(std::uint64_t length, RangeFetch fetch);

}  // namespace drelix
