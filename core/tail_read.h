// A file as a reader took it, and reads of its tail that are checked to still be that file or
// that follow the records to where a writer moved them.
//
// Frames listed at open are immutable, so reading them needs no check. The tail is not: a
// writer's close overwrites it with the new frame and cuts the file, so bytes read from the
// tail at the offsets seen at open are trusted only once the file is shown not to have
// changed; when it has, the records are read from the frames the close made of them. A close
// that a writer left unfinished (its journal still beside the file) is read as the journal
// says it ends, in memory: readers take no lock and write nothing.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "core/bytes.h"
#include "core/container.h"
#include "core/error.h"
#include "core/file.h"
#include "core/schema.h"

namespace drelix {

class Snapshot {
 public:
  // Opens `path` read-only and takes the file as it stands (a pending journal applied in
  // memory). A file too short for a preamble is Error::Malformed ("not a drelix file"), and so
  // is a frame list out of file order or listing bytes twice (check_frame_order).
  static Result<Snapshot> open(const std::string& path);
  // Takes the object `file` (read by range from a store, see range_file) as it stands, named
  // `name` in messages. No journal lies beside an object and nothing writes to it in place: a
  // tail read is checked against the zone alone, and refresh() has nothing new to offer (the
  // caller looks the object up again to see a newer one).
  static Result<Snapshot> open_object(std::shared_ptr<File> file, const std::string& name);

  const Container& container() const { return c_; }
  // Bytes from the tail start to the end of the file, as taken.
  std::uint64_t tail_length() const { return c_.tail_length(); }
  // Exactly out.size() bytes at `offset` from the tail start (Error::Usage past the tail as
  // taken), as the snapshot counted them: read from the tail when the file is shown unchanged,
  // else from the frames a writer closed over it. Error::Malformed when the file changed in a
  // way that cannot be followed.
  Status read_tail(std::uint64_t offset, std::span<std::uint8_t> out) const;
  // The tail's whole records (a torn last record left out), read as above.
  Result<Bytes> read_tail_records() const;
  // The tail's records, whole bytes and torn bytes: a fixed layout's from the tail's length
  // alone, a prefixed one's by reading the tail.
  Result<RecordCount> count_tail() const;

  // What writers made visible since the snapshot was taken. nullopt: nothing (the file holds
  // the zone and the length it was taken with). Otherwise the file as it stands now, through
  // the same descriptor when it lists the same frames and more (`reopened` false), or opened
  // afresh from the path when the path names another file now (a repack replaced it) or its
  // frame list no longer begins with this one's (a rebuild rewrote it).
  struct Refreshed;
  Result<std::optional<Refreshed>> refresh() const;

 private:
  Snapshot(std::shared_ptr<File> file, Container c, Bytes zone_head, std::string resolved,
           bool from_journal, bool object)
      : file_(std::move(file)),
        c_(std::move(c)),
        zone_head_(std::move(zone_head)),
        resolved_(std::move(resolved)),
        from_journal_(from_journal),
        object_(object) {}
  // The file open as `file` as it stands now; with its pending journal when `with_journal`.
  // `object`: an object read by range (no journal, no path on this machine).
  static Result<Snapshot> take(std::shared_ptr<File> file, const std::string& path,
                               const std::string& resolved, bool with_journal, bool object);
  // The file as it stands now, through this snapshot's descriptor.
  Result<Snapshot> now() const;
  Status read_tail_as_taken(std::uint64_t offset, std::span<std::uint8_t> out) const;
  // The tail as taken, or as much of it as the file still holds when a torn record at its end
  // was cut since.
  Result<Bytes> read_whole_tail() const;
  Result<std::size_t> read_followed(std::uint64_t offset, std::span<std::uint8_t> out) const;
  Result<std::size_t> read_moved_from(const Snapshot& old, std::uint64_t offset,
                                      std::span<std::uint8_t> out) const;
  Status check_unchanged() const;
  Result<bool> journal_present() const;
  Result<bool> detached() const;
  Error changed() const;

  // The descriptor, shared by the snapshots refresh() takes of the same file.
  std::shared_ptr<File> file_;
  // Reads through a view of `file_` (the pending journal applied when there was one).
  Container c_;
  // The zone's text and the zero byte after it, as the container parsed them.
  Bytes zone_head_;
  // The path with links in its last component followed: a writer may name the file either way.
  std::string resolved_;
  // Taken with a pending journal applied: the file itself may still say otherwise.
  bool from_journal_ = false;
  // An object read by range: `file_` is all there is of it.
  bool object_ = false;
};

struct Snapshot::Refreshed {
  Snapshot snapshot;
  bool reopened = false;
};

}  // namespace drelix
