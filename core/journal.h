// The seal journal: a redo record written beside the data file ("<path>.seal") that makes a
// frame close atomic. Format (integers u64 little-endian):
//
//   0   6  "DJRNL2"
//   6   8  P, payload length
//   14  8  FNV-1a 64 of the payload
//   22  P  payload: offset (u64) | Z (u64) | zone (Z bytes) | frame bytes (P - 16 - Z, non-empty)
//
// A valid journal is replayed by splicing: frame at `offset`, cut the file there, zone at 16,
// full sync. Splicing twice gives the same file.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/bytes.h"
#include "core/error.h"
#include "core/file.h"

namespace drelix {

std::string journal_path(const std::string& path);

// Builds the image, writes it to journal_path(path) (created afresh in place of whatever held the
// name, with the data file's permission bits when they can be read, else 0666), full sync, then
// directory sync; any failure, the directory sync's included, is returned before the data file
// is touched. The frame part is given in pieces that follow one another (one frame, or several
// spliced in one step), written without first being copied into one image.
Status write_journal(const std::string& path, std::uint64_t offset, ByteView zone,
                     std::span<const ByteView> frame_parts);

// Applies a journal's content to the open data file: the frame part's pieces back to back at
// `offset`, the file cut after them, the zone written in place, a full sync.
Status splice(File& file, std::uint64_t offset, ByteView zone,
              std::span<const ByteView> frame_parts);

// Finishes or discards a pending journal of `path`. A missing journal is nothing to do; an
// invalid one, or one that does not fit the data file (a zone of another size than the file's
// header zone, an offset before its data section or past its end), is deleted; a valid one is made
// durable (it may never have been synced), spliced, then deleted. A journal that exists but cannot
// be read fails with Error::Io naming the journal (it might hold a close that must not be lost).
Status replay_journal(const std::string& path);

// A valid journal's payload as read: the splice it describes, without applying it.
struct JournalImage {
  Bytes payload;
  std::uint64_t offset = 0;
  std::size_t zone_size = 0;

  ByteView zone() const { return ByteView(payload).subspan(16, zone_size); }
  ByteView frame() const { return ByteView(payload).subspan(16 + zone_size); }
};

// The journal of `path` as replay would splice it into the data file open as `data`, read
// without writing anything: nullopt when there is none, or when replay would discard it
// (incomplete, damaged, written for another file). A journal that exists but cannot be read
// fails with Error::Io naming it.
Result<std::optional<JournalImage>> read_journal(const std::string& path, File& data);

// Deletes the journal and syncs its directory. Never fails an operation; returns whether the
// journal is known to be durably gone, so that a caller can guard against a stale journal.
bool remove_journal(const std::string& path);

}  // namespace drelix
