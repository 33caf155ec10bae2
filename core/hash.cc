#include "core/hash.h"

// The state's layout, so that it can live inside our object instead of the library's heap.
#define XXH_STATIC_LINKING_ONLY
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

struct Xxh64Stream::State {
  XXH64_state_t s;
};

Xxh64Stream::Xxh64Stream() : state_(std::make_unique<State>()) {
  XXH64_reset(&state_->s, 0);
}

Xxh64Stream::~Xxh64Stream() = default;

void Xxh64Stream::update(ByteView piece) {
  if (!piece.empty()) XXH64_update(&state_->s, piece.data(), piece.size());
}

std::uint64_t Xxh64Stream::digest() const {
  return XXH64_digest(&state_->s);
}

}  // namespace drelix
