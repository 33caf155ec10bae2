// repack: rewrites a whole file with its frames re-encoded at another level (and optionally a
// zone of another size), replacing the old file atomically.
//
// The new file is built under "<name>.repack" beside the old one and renamed over it only once
// it is complete and synchronised, so the path always names a whole file, old or new. Frames
// are re-encoded on as many threads as asked and streamed out in order behind a zone of zero
// bytes; the real zone, which needs the new frame list, is written over it at the end.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/codec.h"
#include "core/container.h"
#include "core/defaults.h"
#include "core/file.h"
#include "core/frame_read.h"
#include "core/frame_stats.h"
#include "core/frames.h"
#include "core/hash.h"
#include "core/headers.h"
#include "core/journal.h"
#include "core/maintenance.h"
#include "core/numbers.h"
#include "core/preamble.h"
#include "core/str_cat.h"
#include "core/system_headers.h"
#include "core/thread_pool.h"

namespace drelix {

namespace {

// The zero fill of the zone is written in pieces of at most this size, so a 16 MiB zone does
// not need a 16 MiB buffer of zeros.
constexpr std::size_t kZeroChunk = 65536;

// The temporary path: the old path with ".repack" appended to its file name.
std::string temp_path(const std::string& path) {
  return path + std::string(kRepackSuffix);
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

  // Creates the file (0666 before the umask) in place of whatever a killed repack, or anyone,
  // left at the name: a link there is replaced, never followed.
  Status create() {
    DRELIX_ASSIGN_OR_RETURN(file_, create_replacing(path_, 0666));
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

// Re-encodes the frames of `old` into `out` from `data_start` on, in list order, on up to
// `threads` threads of the shared pool (one: the calling thread alone). Each frame is read,
// checked and compressed by whichever thread takes it; the thread that finishes the frame next
// in line writes it, and any that follow it ready, so the file is written front to back as a
// single thread would write it, byte for byte. A frame may start only while fewer than
// kWindowPerThread * threads frames wait to be written: memory stays a few frames per thread
// whatever their sizes.
class Recoder {
 public:
  Recoder(const Container& old, File& out, std::uint64_t data_start, std::int32_t level,
          std::size_t threads, const Progress& progress, std::span<const IndexedField> fields)
      : old_(old),
        fields_(fields),
        out_(out),
        data_start_(data_start),
        level_(level),
        threads_(std::max<std::size_t>(1, threads)),
        progress_(progress),
        total_(old.frames().size()),
        // One thread writes each frame as soon as it is encoded: one buffer is enough, and
        // a second would only hold the frame before's encoding for nothing.
        window_(threads_ == 1 ? 1 : kWindowPerThread * threads_),
        ring_(std::min(window_, total_)) {}

  Result<std::vector<Frame>> run() {
    frames_.reserve(total_);
    if (!fields_.empty()) entries_.reserve(total_);
    std::vector<FrameCompressor> compressors(threads_);
    (void)run_tasks(total_, threads_, [&](std::size_t k, std::size_t slot) -> Status {
      try {
        return recode(k, compressors[slot]);
      } catch (const std::bad_alloc&) {
        return stop_with(k, Error::io(ENOMEM));
      }
    });
    if (first_error_) return fail(std::move(*first_error_));
    return std::move(frames_);
  }

  // Each frame's statistics, in order, once run() has succeeded (none without fields).
  const std::vector<FrameEntries>& entries() const { return entries_; }

 private:
  static constexpr std::size_t kWindowPerThread = 2;

  // A frame read and encoded, waiting for its turn to be written.
  struct Slot {
    Bytes encoded;
    std::uint64_t hash = 0;
    FrameEntries entries;
    bool ready = false;
  };

  // Reports to the progress callable, one call at a time whatever thread asks, with the count
  // of frames written so far (which only grows, so the counts reported never go back).
  bool go_on() {
    if (!progress_) return true;
    const std::lock_guard lock(progress_mutex_);
    return progress_(written_.load(std::memory_order_acquire), total_);
  }

  // Stops every thread at its next step. Of the failures met, the one of the lowest frame is
  // kept: every frame before it went well, so it is the one a single thread would have met.
  Status stop_with(std::size_t frame, Error e) {
    {
      const std::lock_guard lock(mutex_);
      if (!first_error_ || frame < error_frame_) {
        first_error_ = e;
        error_frame_ = frame;
      }
      stopped_ = true;
    }
    changed_.notify_all();
    return fail(std::move(e));
  }

  Status recode(std::size_t k, FrameCompressor& compressor) {
    {
      std::unique_lock lock(mutex_);
      // The frame next in line is always allowed, so this cannot wait for ever.
      changed_.wait(lock, [&] { return stopped_ || k < written_ + window_; });
      if (stopped_) return {};
    }
    if (!go_on()) return stop_with(k, cancelled());
    // Until this frame is written, no other thread touches its slot: the frame that used it
    // before is written, and the next to use it may not start.
    Slot& slot = ring_[k % ring_.size()];
    if (Status encoded = encode(old_.frames()[k], compressor, slot); !encoded) {
      return stop_with(k, std::move(encoded).error());
    }
    slot.hash = xxh64(slot.encoded);
    {
      const std::lock_guard lock(mutex_);
      slot.ready = true;
      if (writing_ || k != written_ || stopped_) return {};
      writing_ = true;
    }
    return write_ready();
  }

  Status encode(const Frame& frame, FrameCompressor& compressor, Slot& slot) {
    DRELIX_ASSIGN_OR_RETURN(const Bytes content, read_checked(old_, frame));
    slot.entries = entries_for(content, fields_, old_.schema().layout.size());
    // A slow level on a large frame can take minutes: asked between slices, a stop is prompt.
    const std::function<bool()> asked = [this] { return go_on(); };
    return compressor.compress(content, level_, slot.encoded, progress_ ? asked : nullptr);
  }

  // Writes frames from the next in line for as long as they are ready; the one thread that
  // does so at any time holds writing_.
  Status write_ready() {
    for (;;) {
      const std::size_t k = written_.load(std::memory_order_relaxed);
      Slot& slot = ring_[k % ring_.size()];
      {
        const std::lock_guard lock(mutex_);
        if (stopped_ || k == total_ || !slot.ready) {
          writing_ = false;
          return {};
        }
      }
      if (Status w = out_.write_all_at(sat_add(data_start_, offset_), slot.encoded); !w) {
        return stop_with(k, std::move(w).error());
      }
      frames_.push_back(Frame{old_.frames()[k].id, offset_, slot.encoded.size(), slot.hash});
      if (!fields_.empty()) entries_.push_back(std::move(slot.entries));
      offset_ = sat_add(offset_, slot.encoded.size());
      {
        const std::lock_guard lock(mutex_);
        slot.ready = false;
        written_.store(k + 1, std::memory_order_release);
      }
      changed_.notify_all();
    }
  }

  const Container& old_;
  const std::span<const IndexedField> fields_;
  File& out_;
  const std::uint64_t data_start_;
  const std::int32_t level_;
  const std::size_t threads_;
  const Progress& progress_;
  const std::size_t total_;
  const std::size_t window_;
  std::vector<Slot> ring_;

  std::mutex progress_mutex_;
  std::mutex mutex_;
  std::condition_variable changed_;
  // Guarded by mutex_ (written_ is also read without it for the progress count).
  std::atomic<std::size_t> written_{0};
  bool writing_ = false;
  bool stopped_ = false;
  std::optional<Error> first_error_;
  std::size_t error_frame_ = 0;
  // Only the writing thread touches these.
  std::vector<Frame> frames_;
  std::vector<FrameEntries> entries_;
  std::uint64_t offset_ = 0;
};

// A rename failure is reported without a path.
Error without_path(Error e) {
  if (e.kind() != Error::Kind::Io || !e.path()) return e;
  return e.os_code() != 0 ? Error::io(e.os_code()) : Error::io_text(e.message());
}

// Builds the complete new file in `temp` from `old`; returns the new file's length.
Result<std::uint64_t> build(const Container& old, File& old_file, TempFile& temp,
                            std::int32_t level, std::uint32_t header_area, const Progress& progress,
                            std::size_t threads, bool stats) {
  DRELIX_TRY(temp.create());
  File& out = temp.file();
  // The copy must be no more readable than the original, from before any record reaches it.
  DRELIX_ASSIGN_OR_RETURN(const std::uint32_t mode, old_file.permissions());
  DRELIX_TRY(out.set_permissions(mode));

  DRELIX_TRY(write_preamble_and_blank_zone(out, header_area, level));
  const std::uint64_t data_start = std::uint64_t{kPreambleSize} + header_area;
  const std::vector<IndexedField> fields =
      stats ? indexed_fields(old.headers(), old.schema()) : std::vector<IndexedField>();
  Recoder recoder(old, out, data_start, level, threads, progress, fields);
  DRELIX_ASSIGN_OR_RETURN(const std::vector<Frame> frames, recoder.run());
  const std::uint64_t end = sat_add(data_start, listed_end(frames));

  DRELIX_ASSIGN_OR_RETURN(const Bytes tail, old.read_tail());
  DRELIX_TRY(out.write_all_at(end, tail));

  // The counters stay: the frames hold what they held. The statistics are computed afresh,
  // whatever the old keys said.
  std::vector<Headers::Pair> computed;
  std::vector<std::string> column(frames.size());
  for (std::size_t k = 0; k < fields.size(); ++k) {
    for (std::size_t i = 0; i < frames.size(); ++i) column[i] = recoder.entries()[i][k];
    computed.emplace_back(fields[k].key(), render_stats(column));
  }
  DRELIX_ASSIGN_OR_RETURN(
      const Zone zone,
      render_zone(old.headers(), {.frames = &frames, .level = level, .stats = computed},
                  header_area));
  DRELIX_TRY(write_zone(out, zone.image));
  return out.length();
}

}  // namespace

void remove_stale_repack(const std::string& path) {
  const Result<std::string> target = env().resolve_links(path);
  if (!target) return;
  const std::string temp = temp_path(*target);
  if (env().open_read(temp)) (void)env().unlink(temp);
}

Result<RepackReport> repack(const std::string& path, std::int32_t level, const Progress& progress,
                            std::size_t threads, bool stats) {
  DRELIX_ASSIGN_OR_RETURN(const PeekResult peeked, peek_headers(path));
  return repack_with_header_area(path, level, peeked.preamble.header_area, progress, threads,
                                 stats);
}

// 0. follow links; 1. replay the journal, remove a stale temporary file; 2. check the zone size; 3.
// open the old file; 4-12. build the new file under the temporary name; 13. rename it over the old
// one; 14. sync the directory.
Result<RepackReport> repack_with_header_area(const std::string& link, std::int32_t level,
                                             std::uint32_t header_area, const Progress& progress,
                                             std::size_t threads, bool stats) {
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
                          build(old, old.file(), temp, level, header_area, progress, threads,
                                stats));
  temp.close();
  // The last moment a stop leaves the old file in place (the temporary one goes with `temp`).
  if (!keep_going(progress, report.frames, report.frames)) return fail(cancelled());
  if (Status renamed = env().rename(temp.path(), path); !renamed) {
    // The old file is untouched; the complete copy is removed with the temporary name.
    return fail(without_path(std::move(renamed).error()));
  }
  temp.commit();
  // The rename has happened: a failure to make it durable does not undo it.
  (void)sync_dir_of(path);
  return report;
}

}  // namespace drelix
