// The two hashes of the format.
#pragma once

#include <cstdint>
#include <memory>

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

// xxh64 over bytes that arrive in pieces: digest() after any sequence of update() calls equals
// xxh64 of their concatenation. Holds no bytes, so a frame is hashed without holding it whole.
class Xxh64Stream {
 public:
  Xxh64Stream();
  ~Xxh64Stream();
  Xxh64Stream(const Xxh64Stream&) = delete;
  Xxh64Stream& operator=(const Xxh64Stream&) = delete;

  void update(ByteView piece);
  std::uint64_t digest() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace drelix
