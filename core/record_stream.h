// Counting (and, when asked, visiting) the records of bytes that arrive in pieces, so that a
// frame's content or a tail is walked without ever being held whole.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "core/bytes.h"
#include "core/schema.h"

namespace drelix {

class RecordStream {
 public:
  using Visit = std::function<void(ByteView record)>;

  // With a `visit`, each whole record is handed to it once, in order, as one contiguous view;
  // a record cut by a piece boundary is gathered first (so the memory held is at most one
  // record). Without one, no record bytes are held at all.
  explicit RecordStream(RecordLayout layout, Visit visit = {});

  void feed(ByteView piece);

  // What count_records would give over the concatenation of the pieces so far.
  RecordCount count() const;

 private:
  void count(ByteView piece);
  void gather(ByteView piece);
  // Bytes the record being gathered still needs, its prefix included.
  std::uint64_t gather_need() const;

  RecordLayout layout_;
  Visit visit_;
  std::uint64_t seen_ = 0;
  // Prefixed layout only: records and their bytes so far, and the record in progress.
  std::uint64_t records_ = 0;
  std::uint64_t whole_bytes_ = 0;
  std::array<std::uint8_t, 2> prefix_{};
  std::size_t prefix_bytes_ = 0;
  std::uint64_t body_left_ = 0;
  // With a visit: the bytes of a record cut by a piece boundary (its prefix included).
  Bytes carry_;
};

}  // namespace drelix
