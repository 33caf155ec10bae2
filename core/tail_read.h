// A file as a reader opened it, and reads of its tail that are checked to still be that file.
//
// Frames listed at open are immutable, so reading them needs no check. The tail is not: a
// writer's close overwrites it with the new frame and cuts the file, so bytes read from the
// tail at the offsets seen at open are only trusted once the file is shown not to have changed.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include "core/bytes.h"
#include "core/container.h"
#include "core/error.h"

namespace drelix {

class Snapshot {
 public:
  // Opens `path` read-only and remembers the header zone it was opened with. A file too short
  // for a preamble is Error::Malformed ("not a drelix file"), and so is a frame list out of
  // file order or listing bytes twice (check_frame_order).
  static Result<Snapshot> open(const std::string& path);

  const Container& container() const { return c_; }
  // Bytes from the tail start to the end of the file, as opened.
  std::uint64_t tail_length() const { return c_.tail_length(); }
  // Exactly out.size() bytes at `offset` from the tail start (Error::Usage past the tail as
  // opened), then checked: Error::Malformed when the file changed since it was opened.
  Status read_tail(std::uint64_t offset, std::span<std::uint8_t> out) const;
  // The tail's whole records (a torn last record left out), read and checked as above.
  Result<Bytes> read_tail_records() const;
  // The tail's records, whole bytes and torn bytes: a fixed layout's from the tail's length
  // alone, a prefixed one's by reading the tail.
  Result<RecordCount> count_tail() const;

 private:
  Snapshot(Container c, Bytes zone_head, std::string resolved)
      : c_(std::move(c)), zone_head_(std::move(zone_head)), resolved_(std::move(resolved)) {}
  Status check_unchanged() const;
  Result<bool> journal_present() const;
  Error changed() const;

  Container c_;
  // The zone's text and the zero byte after it, as the container parsed them.
  Bytes zone_head_;
  // The path with links in its last component followed: a writer may name the file either way.
  std::string resolved_;
};

}  // namespace drelix
