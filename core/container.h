// An open drelix file: the object through which records are written and read.
//
// Writable containers come from create and open_append, read-only ones from open_read. The
// container owns the file handle, the in-memory header list, the schema, the frame list and a
// write buffer of appended records (written at data_end once it reaches 64 KiB, on flush_data,
// on a close, and on destruction).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/file.h"
#include "core/frame_stats.h"
#include "core/frames.h"
#include "core/headers.h"
#include "core/maintenance.h"
#include "core/preamble.h"
#include "core/schema.h"
#include "core/system_headers.h"

namespace drelix {

inline constexpr std::size_t kFlushThreshold = 65536;

class Container {
 public:
  using UserHeaders = std::vector<std::pair<std::string, std::string>>;

  // Writes preamble and header zone (no data yet) to a new file and syncs it. Refuses a zone
  // outside 1..=16 MiB and a fixed record size of 0 before touching the disk; removes the
  // partial file if writing fails.
  static Result<Container> create(const std::string& path, const Schema& schema,
                                  std::string_view source, std::string_view writer,
                                  std::uint64_t created_at_millis, std::uint32_t header_area,
                                  const UserHeaders& user);
  // Nothing is recovered and nothing is written.
  static Result<Container> open_read(const std::string& path);
  // open_read over `file`, already open: a reader's view of the file (see tail_read.h). `path`
  // only names it in messages.
  static Result<Container> open_view(const std::string& path, FilePtr file);
  // A read-only container over `file` with this one's zone as parsed and the data ending at
  // `data_end`: a reader's view of the file once only its tail has grown.
  Container view_to(FilePtr file, std::uint64_t data_end) const;
  // Replays a pending seal journal and cuts a torn record off the tail first. Refuses a frame
  // list whose frames overlap or end after its last one (check_frames_disjoint).
  static Result<Container> open_append(const std::string& path);

  // A container that goes, or is moved over, writes its buffer first (errors ignored) and then
  // closes its file; a moved-from one holds neither.
  Container(Container&&) noexcept = default;
  Container& operator=(Container&&) noexcept = default;

  Status append_record(ByteView body);
  Status flush_data();
  Status flush_headers();
  Status set_user_header(std::string_view key, std::string_view value);
  // The whole records of the on-disk tail (the buffer is not included).
  Result<Bytes> read_tail() const;

  // Compresses the raw tail into one frame, crash-safely through the seal journal.
  Status close_frame(std::uint64_t frame_id, std::int32_t level);
  // close_frame, then _sealed = "true" and a zone rewrite.
  Status seal(std::uint64_t frame_id, std::int32_t level);

  // Splices frames encoded elsewhere (see bulk_write.h) at the tail start through the seal
  // journal, as one crash-safe step. `frames` give each frame's id, len and hash (offsets are
  // assigned here, back to back), `parts` their bytes in the same order, `records` and
  // `bytes_raw` what they hold in all, `level` the level they were made at. The tail must be
  // empty: Error::Usage otherwise (close it first). `preview` becomes _preview when the file
  // has none yet. While the container keeps statistics, `entries` holds each frame's entries
  // (entries_for of its content over stats_fields()); otherwise it is empty. Returns the
  // frames as listed.
  Result<std::vector<Frame>> splice_frames(std::span<const Frame> frames,
                                           std::span<const ByteView> parts, std::uint64_t records,
                                           std::uint64_t bytes_raw, std::int32_t level,
                                           const std::string& preview,
                                           std::span<const FrameEntries> entries = {});
  // flush_data, then a full sync of the data file: every appended record is then durable as
  // part of the raw tail.
  Status sync_data();
  // Whether the zone can list `k` more frames, closed at `level`, whatever their ids, offsets,
  // lengths and hashes: it renders the zone with k entries and the counters at their widest
  // (and, while the file has no _preview, the one the next close would make of the tail, the
  // buffer and then `next`, whole records in on-disk form). Error::zone_full when it cannot,
  // so a caller can refuse records before taking any. While the container keeps statistics,
  // each frame counts with the widest entry for every indexed field.
  Status check_frame_room(std::size_t k, std::int32_t level, ByteView next) const;
  // Keeps frame statistics (core/frame_stats.h) from now on: every close, seal and splice adds
  // its frames' entries in the same zone rewrite that lists them. The indexed fields are those
  // the file has keys for plus `add` (Error::Usage for a field that cannot be indexed; nothing
  // changes then). A key whose value is not usable (a field just added; entries missing for
  // frames a writer that keeps no statistics closed) is computed afresh from every frame,
  // decoded, and the zone written, before this returns.
  Status keep_stats(std::span<const std::string> add);
  bool keeps_stats() const { return keeps_stats_; }
  const std::vector<IndexedField>& stats_fields() const { return stats_fields_; }
  // Makes this container write nothing more, its buffer on destruction included: for the copy
  // of a writer that a forked process inherits, whose buffer the creator writes itself.
  void disown() {
    io_.buffer.clear();
    io_.writable = false;
  }

  // A frame's content: the stored bytes, checked against the listed checksum (check_frame_hash)
  // before anything is decoded, then decoded when they begin with the zstd magic.
  Result<Bytes> read_frame(std::uint64_t frame_id) const;
  Result<Bytes> read_frame_at(std::uint64_t index) const;

  // Hands out the memory a frame's content is decoded into: called with the content's exact
  // size, it returns a span of that many bytes that stays valid until the read returns, or an
  // error that the read then returns.
  using ContentAllocator = std::function<Result<std::span<std::uint8_t>>(std::size_t)>;
  // read_frame and read_frame_at, with the content written into memory from `allocate` (called
  // once, unless the read fails before the size is known) instead of a Bytes of their own, so
  // that a caller that owns the final buffer holds one copy of the content, not two. Return the
  // content size. A zstd frame that does not declare its size is decoded as by read_frame and
  // then copied.
  Result<std::size_t> read_frame_into(std::uint64_t frame_id,
                                      const ContentAllocator& allocate) const;
  Result<std::size_t> read_frame_at_into(std::uint64_t index,
                                         const ContentAllocator& allocate) const;

  const std::string& path() const { return path_; }
  const Headers& headers() const { return headers_; }
  const Schema& schema() const { return schema_; }
  const std::vector<Frame>& frames() const { return frames_; }
  const Preamble& preamble() const { return preamble_; }
  std::uint64_t records() const { return records_; }
  std::uint64_t bytes_raw() const { return bytes_raw_; }
  std::uint64_t frame_records() const { return frame_records_; }
  std::uint64_t frame_bytes_raw() const { return frame_bytes_raw_; }
  std::uint64_t data_start() const { return data_start_; }
  std::uint64_t data_end() const { return io_.data_end; }
  std::size_t buffered_bytes() const { return io_.buffer.size(); }
  bool writable() const { return io_.writable; }
  // data_start plus the end of the last listed frame (saturating).
  std::uint64_t tail_start() const;
  // Bytes from the tail start to data_end (the buffer not included).
  std::uint64_t tail_length() const {
    return io_.data_end > tail_start() ? io_.data_end - tail_start() : 0;
  }
  // Reads exactly out.size() bytes of the file at `offset` (io_eof() when it ends first).
  Status read_exact_at(std::uint64_t offset, std::span<std::uint8_t> out) const {
    return io_.file->read_exact_at(offset, out);
  }

 private:
  // The maintenance operations open files without the recovery of open_append and stream
  // their bytes through the file handle.
  friend Result<RebuildReport> rebuild_headers(const std::string&, bool, const Progress&,
                                               std::size_t, bool);
  friend Result<RepackReport> repack_with_header_area(const std::string&, std::int32_t,
                                                      std::uint32_t, const Progress&, std::size_t,
                                                      bool);
  // The one read of a frame's stored bytes goes through the file handle too.
  friend Status read_stored_checked(const Container&, const Frame&, Bytes&);

  // The open file and the records appended but not yet written to it. Its destruction, or a
  // move over it, writes them first (errors ignored), so that a dropped container loses
  // nothing; the zone and durability are left to explicit calls, since a destructor cannot
  // report failure.
  struct OpenFile {
    FilePtr file;
    Bytes buffer;
    std::uint64_t data_end = 0;
    bool writable = false;
    // Set when a splice failed or a journal could not be removed: memory and disk may
    // disagree, so every further write (the destruction's too) is refused until the file is
    // reopened with open_append.
    bool broken = false;

    OpenFile() = default;
    OpenFile(OpenFile&& other) noexcept;
    OpenFile& operator=(OpenFile&& other) noexcept;
    ~OpenFile();
    // Writes the buffer at data_end and moves data_end past it.
    Status write_buffer();
  };

  // An open file, its zone as parsed (the counters read from it) and its data end.
  Container(std::string path, FilePtr file, bool writable, const Preamble& preamble,
            Headers headers, Schema schema, std::vector<Frame> frames, std::uint64_t data_end);
  // The shared opening path.
  static Result<Container> open_inner(const std::string& path, bool writable);
  static Result<Container> open_file(const std::string& path, FilePtr file, bool writable);
  File& file() const { return *io_.file; }
  Status check_writable() const;
  // The crash-safe end of a close or splice (close_frame.cc): the new zone (the headers with
  // `frames`, `counters`, `level` and, when the file has none, `preview`) and `parts` go into
  // the seal journal, then into the file at `tail_at`; only then does memory take the new state.
  // `added` holds the new frames' entries while statistics are kept.
  Status commit_frames(std::uint64_t tail_at, std::span<const ByteView> parts,
                       std::vector<Frame> frames, Counters counters, std::int32_t level,
                       const std::optional<std::string>& preview,
                       std::span<const FrameEntries> added);
  // The statistics keys with `added` appended to their values (empty when none are kept).
  std::vector<Headers::Pair> stats_after(std::span<const FrameEntries> added) const;
  // The zone `change` gives, with a ZoneFull that names the room the statistics take.
  Result<Zone> render_with_stats(const ZoneChange& change) const;
  // file->sync(), remembering a failure (see sync_failed_).
  Status sync_file();

  std::string path_;
  Headers headers_;
  Schema schema_;
  std::vector<Frame> frames_;
  Preamble preamble_;
  std::uint64_t data_start_ = 0;
  std::uint64_t records_ = 0;
  std::uint64_t bytes_raw_ = 0;
  std::uint64_t frame_records_ = 0;
  std::uint64_t frame_bytes_raw_ = 0;
  OpenFile io_;
  // Frame statistics: kept only once keep_stats asked for them (never for the low-level
  // contract's containers, whose closes are specified without them).
  bool keeps_stats_ = false;
  std::vector<IndexedField> stats_fields_;
  // Set when a full sync of the data file failed: the kernel may have dropped the dirty pages
  // it covered and a later sync would report success regardless, so nothing more is written
  // as if the file were sound; open_append recounts what really is on disk.
  bool sync_failed_ = false;
};

// Reads up to `length` bytes at `offset`; shorter at end of file, never an error for that.
Result<Bytes> read_at(File& file, std::uint64_t offset, std::uint64_t length);

}  // namespace drelix
