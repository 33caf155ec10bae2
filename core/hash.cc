#include "core/hash.h"

#include <xxhash.h>

namespace drelix {

std::uint64_t fnv1a64(ByteView data) {
  return fnv1a64_update(kFnvOffsetBasis, data);
}

std::uint64_t fnv1a64_update(std::uint64_t h, ByteView data) {
  for (const std::uint8_t b : data) {
    h ^= b;
    h *= kFnvPrime;  // unsigned: wraps modulo 2^64, as the hash requires
  }
  return h;
}

std::uint64_t xxh64(ByteView data) {
  // An empty span may carry a null pointer; give the library a valid one so that nothing
  // depends on how it treats null with a zero length.
  static constexpr std::uint8_t kEmpty = 0;
  const void* p = data.empty() ? &kEmpty : data.data();
  return XXH64(p, data.size(), 0);
}

}  // namespace drelix
