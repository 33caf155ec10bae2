// repack: rewrites a whole file with its frames re-encoded at another level (and optionally a
// zone of another size), replacing the old file atomically.
//
// The new file is built under "<name>.repack" beside the old one and renamed over it only once
// it is complete and synchronised, so the path always names a whole file, old or new. Frames
// are streamed out one at a time behind a zone of zero bytes; the real zone, which needs the
// new frame list, is written over it at the end.

#include <algorithm>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/codec.h"
#include "core/container.h"
#include "core/file.h"
#include "core/frames.h"
#include "core/hash.h"
#include "core/headers.h"
#include "core/journal.h"
#include "core/maintenance.h"
#include "core/numbers.h"
#include "core/preamble.h"
#include "core/str_cat.h"
#include "core/system_headers.h"

namespace drelix {

namespace {

// The zero fill of the zone is written in pieces of at most this size, so a 16 MiB zone does
// not need a 16 MiB buffer of zeros.
constexpr std::size_t kZeroChunk = 65536;

// The temporary path: the old path with ".repack" appended to its file name.
std::string temp_path(const std::string& path) {
  return path + ".repack";
}

// The temporary file while it is being built. Unless committed, it is closed and removed when
// the operation leaves by any path (a failure to remove it is ignored).
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (committed_) return;
    file_.reset();
    (void)env().unlink(path_);
  }

  // Creates or truncates the file (0666 before the umask).
  Status create() {
    DRELIX_ASSIGN_OR_RETURN(file_, env().create_truncate(path_, 0666));
    return {};
  }
  File& file() { return *file_; }
  const std::string& path() const { return path_; }
  // Closes the file; the path stays until commit() or destruction.
  void close() { file_.reset(); }
  // The file now lives under another name: nothing to remove.
  void commit() { committed_ = true; }

 private:
  std::string path_;
  FilePtr file_;
  bool committed_ = false;
};

// Writes the preamble of the new file and `header_area` zero bytes after it.
Status write_preamble_and_blank_zone(File& out, std::uint32_t header_area, std::int32_t level) {
  Preamble preamble;
  preamble.header_area = header_area;
  preamble.flags = level != 0 ? kFlagCompressed : 0;
  DRELIX_TRY(out.write_all_at(0, preamble.encode()));
  const Bytes zeros(std::min<std::size_t>(header_area, kZeroChunk), 0);
  for (std::uint64_t done = 0; done < header_area;) {
    const std::size_t n = static_cast<std::size_t>(
        std::min<std::uint64_t>(zeros.size(), std::uint64_t{header_area} - done));
    DRELIX_TRY(out.write_all_at(kPreambleSize + done, ByteView(zeros.data(), n)));
    done += n;
  }
  return {};
}

// Re-encodes every frame of `old` into `out` from `data_start` on, in list order, and returns
// the new frame list. One frame's content and encoding are held at a time.
Result<std::vector<Frame>> copy_frames(const Container& old, File& out, std::uint64_t data_start,
                                       std::int32_t level, const Progress& progress) {
  std::vector<Frame> frames;
  frames.reserve(old.frames().size());
  std::uint64_t offset = 0;
  FrameCompressor compressor;
  Bytes encoded;
  for (const Frame& f : old.frames()) {
    const std::function<bool()> go_on = [&] {
      return keep_going(progress, frames.size(), old.frames().size());
    };
    if (!go_on()) return fail(cancelled());
    DRELIX_ASSIGN_OR_RETURN(const Bytes content, old.read_frame_body(f));
    // A slow level on a large frame can take minutes: asked between slices, a stop is prompt.
    DRELIX_TRY(compressor.compress(content, level, encoded, progress ? go_on : nullptr));
    DRELIX_TRY(out.write_all_at(sat_add(data_start, offset), encoded));
    frames.push_back(Frame{f.id, offset, encoded.size(), xxh64(encoded)});
    offset = sat_add(offset, encoded.size());
  }
  return frames;
}

// A rename failure is reported without a path.
Error without_path(Error e) {
  if (e.kind() != Error::Kind::Io || !e.path()) return e;
  return e.os_code() != 0 ? Error::io(e.os_code()) : Error::io_text(e.message());
}

// Builds the complete new file in `temp` from `old`; returns the new file's length.
Result<std::uint64_t> build(const Container& old, File& old_file, TempFile& temp,
                            std::int32_t level, std::uint32_t header_area,
                            const Progress& progress) {
  DRELIX_TRY(temp.create());
  File& out = temp.file();
  // The copy must be no more readable than the original, from before any record reaches it.
  DRELIX_ASSIGN_OR_RETURN(const std::uint32_t mode, old_file.permissions());
  DRELIX_TRY(out.set_permissions(mode));

  DRELIX_TRY(write_preamble_and_blank_zone(out, header_area, level));
  const std::uint64_t data_start = std::uint64_t{kPreambleSize} + header_area;
  DRELIX_ASSIGN_OR_RETURN(const std::vector<Frame> frames,
                          copy_frames(old, out, data_start, level, progress));
  std::uint64_t end = data_start;
  if (!frames.empty()) end = sat_add(end, sat_add(frames.back().offset, frames.back().len));

  DRELIX_ASSIGN_OR_RETURN(const Bytes tail, old.read_tail());
  DRELIX_TRY(out.write_all_at(end, tail));

  // The counters stay: the frames hold what they held.
  Headers headers = old.headers();
  DRELIX_TRY(set_frame_headers(headers, frames, std::nullopt, level));
  DRELIX_ASSIGN_OR_RETURN(const Bytes zone, headers.render(header_area));
  DRELIX_TRY(out.write_all_at(kPreambleSize, zone));
  DRELIX_TRY(out.sync());
  return out.length();
}

}  // namespace

void remove_stale_repack(const std::string& path) {
  const Result<std::string> target = env().resolve_links(path);
  if (!target) return;
  const std::string temp = temp_path(*target);
  if (env().open_read(temp)) (void)env().unlink(temp);
}

Result<RepackReport> repack(const std::string& path, std::int32_t level, const Progress& progress) {
  DRELIX_ASSIGN_OR_RETURN(const PeekResult peeked, peek_headers(path));
  return repack_with_header_area(path, level, peeked.preamble.header_area, progress);
}

// 0. follow links; 1. replay the journal, remove a stale temporary file; 2. check the zone size; 3.
// open the old file; 4-12. build the new file under the temporary name; 13. rename it over the old
// one; 14. sync the directory.
Result<RepackReport> repack_with_header_area(const std::string& link, std::int32_t level,
                                             std::uint32_t header_area, const Progress& progress) {
  // The new file is renamed over the path: over a link that would replace the link by a file
  // and leave its target stale, so everything below works on the file the link names.
  DRELIX_ASSIGN_OR_RETURN(const std::string path, env().resolve_links(link));
  // A close through the link journals beside the link, one through the target beside it.
  DRELIX_TRY(replay_journal(link));
  if (path != link) DRELIX_TRY(replay_journal(path));
  remove_stale_repack(path);
  DRELIX_TRY(check_header_area(header_area));
  DRELIX_ASSIGN_OR_RETURN(Container old, Container::open_read(path));

  RepackReport report;
  report.bytes_before = old.data_end();
  report.frames = old.frames().size();

  TempFile temp(temp_path(path));
  DRELIX_ASSIGN_OR_RETURN(report.bytes_after,
                          build(old, old.file(), temp, level, header_area, progress));
  temp.close();
  // The last moment a stop leaves the old file in place (the temporary one goes with `temp`).
  if (!keep_going(progress, report.frames, report.frames)) return fail(cancelled());
  if (Status renamed = env().rename(temp.path(), path); !renamed) {
    // The old file is untouched; the complete copy is removed with the temporary name.
    return fail(without_path(std::move(renamed).error()));
  }
  temp.commit();
  sync_parent_dir(path);
  return report;
}

}  // namespace drelix
