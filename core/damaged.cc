#include "core/damaged.h"

#include <algorithm>
#include <utility>

#include "core/codec.h"
#include "core/container.h"
#include "core/frame_stream.h"
#include "core/str_cat.h"
#include "core/system_headers.h"

namespace drelix {

std::uint64_t ListedFile::tail_start() const {
  return std::min(sat_add(data_start, furthest_end(frames)), std::max(file_len, data_start));
}

Result<ListedFile> open_listed(const std::string& path) {
  DRELIX_ASSIGN_OR_RETURN(FilePtr file, env().open_read(path));
  return open_listed(std::move(file), path);
}

Result<ListedFile> open_listed(FilePtr file, const std::string& path) {
  DRELIX_ASSIGN_OR_RETURN(PeekResult head, read_preamble_and_zone(*file, path));
  DRELIX_ASSIGN_OR_RETURN(Schema schema, Schema::from_headers(head.headers));
  DRELIX_ASSIGN_OR_RETURN(std::vector<Frame> frames,
                          parse_frames(head.headers.get(key::kFrames).value_or("")));
  ListedFile listed;
  listed.file = std::move(file);
  listed.preamble = head.preamble;
  listed.headers = std::move(head.headers);
  listed.schema = std::move(schema);
  listed.frames = std::move(frames);
  listed.data_start = head.preamble.data_start();
  listed.file_len = head.file_len;
  return listed;
}

Result<Survey> survey(ListedFile& listed) {
  Survey s;
  s.faults.resize(listed.frames.size());
  const std::vector<FramePlace> places = place_frames(listed.frames);
  for (std::size_t i = 0; i < listed.frames.size(); ++i) {
    const Result<std::uint64_t> start =
        stored_start(listed.frames[i], listed.data_start, listed.file_len);
    if (!start) {
      s.faults[i] = start.error().to_string();
    } else if (places[i].placement == Placement::kOverlap) {
      s.faults[i] = places[i].fault;
    }
  }
  s.tail_start = listed.tail_start();
  s.tail_len = listed.file_len > s.tail_start ? listed.file_len - s.tail_start : 0;
  DRELIX_ASSIGN_OR_RETURN(s.tail_cut,
                          begins_with_cut_frame(*listed.file, s.tail_start, s.tail_len));
  return s;
}

std::string cut_tail_text(std::uint64_t tail_len) {
  return str_cat("tail: its ", tail_len,
                 " bytes begin a zstd frame that the end of the file cuts short, not records");
}

}  // namespace drelix
