// Files as they stand, for the commands that look at damage (validate, salvage): a frame list
// whose frames run past a cut end of the file, or break the order rule, is described here
// rather than refused, so that what is intact can still be checked and copied.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/file.h"
#include "core/frames.h"
#include "core/headers.h"
#include "core/preamble.h"
#include "core/schema.h"

namespace drelix {

// An open file whose preamble, zone, schema and frame list read; its frames need not fit the
// file nor keep the order rule (place_frames).
struct ListedFile {
  FilePtr file;
  Preamble preamble;
  Headers headers;
  Schema schema;
  std::vector<Frame> frames;
  std::uint64_t data_start = 0;
  std::uint64_t file_len = 0;

  // Where the tail begins: past every listed frame (the furthest end, whatever the list
  // order), and never past the end of the file.
  std::uint64_t tail_start() const;
};

// Opens `path` read-only. Nothing is replayed or written. The errors of a file that cannot be
// read as a drelix file at all (preamble, zone, schema, an unparsable _frames).
Result<ListedFile> open_listed(const std::string& path);
// The same for a file already open (an object read by range), named `path` in messages.
Result<ListedFile> open_listed(FilePtr file, const std::string& path);

// What can be trusted of a listed file before any frame is read.
struct Survey {
  // One per listed frame: empty when its bytes lie inside the file and belong to it alone
  // (out of list order is fine: its bytes are its own), else why it must be left behind (cut
  // off by the end of the file, or overlapping an entry listed before it).
  std::vector<std::string> faults;
  std::uint64_t tail_start = 0;
  std::uint64_t tail_len = 0;
  // The tail begins with a zstd frame the end of the file cuts short (begins_with_cut_frame):
  // those bytes are no records.
  bool tail_cut = false;
};
Result<Survey> survey(ListedFile& listed);

// The text of a tail that begins with a cut frame.
std::string cut_tail_text(std::uint64_t tail_len);

}  // namespace drelix
