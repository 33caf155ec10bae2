// The two hashes of the format.
#pragma once

#include <cstdint>

#include "core/bytes.h"

namespace drelix {

inline constexpr std::uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
inline constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;

// FNV-1a 64: the schema fingerprint and the journal checksum.
std::uint64_t fnv1a64(ByteView data);
// Continues an FNV-1a 64 hash `h` over `data`: fnv1a64(a + b) == fnv1a64_update(fnv1a64(a), b).
std::uint64_t fnv1a64_update(std::uint64_t h, ByteView data);

// XXH64 with seed 0 (the xxHash library): the checksum of closed frames.
std::uint64_t xxh64(ByteView data);

}  // namespace drelix
