// Bulk writes. The records are cut into frames by a plan made up front; frames are then
// compressed on the shared thread pool while a committer thread writes them in batches of
// kBulkBatchBytes / 4 to kBulkBatchBytes of compressed frames, each one journaled splice
// (Container::splice_frames). The bytes written are the frames twice (journal, file) and a
// zone per batch, never the raw records.

#include "core/bulk_write.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "core/codec.h"
#include "core/frame_policy.h"
#include "core/frame_stats.h"
#include "core/hash.h"
#include "core/preview.h"
#include "core/str_cat.h"
#include "core/system_headers.h"
#include "core/thread_pool.h"

namespace drelix {

namespace {

// The raw content of frame k; `scratch` is the calling thread's own buffer for content that has
// to be assembled.
using ContentOf = std::function<ByteView(std::size_t frame, Bytes& scratch)>;

FrameLimits limits_of(const BulkOptions& o) {
  return FrameLimits{o.frame_records, o.frame_bytes};
}

// The on-disk form (u16 prefix, body) of bodies [first, last) into `out`.
ByteView assemble(std::span<const ByteView> bodies, std::size_t first, std::size_t last,
                  Bytes& out) {
  std::size_t size = 0;
  for (std::size_t i = first; i < last; ++i) size += 2 + bodies[i].size();
  out.resize(size);
  std::uint8_t* p = out.data();
  for (std::size_t i = first; i < last; ++i) {
    store_u16le(p, static_cast<std::uint16_t>(bodies[i].size()));
    if (!bodies[i].empty()) std::memcpy(p + 2, bodies[i].data(), bodies[i].size());
    p += 2 + bodies[i].size();
  }
  return ByteView(out.data(), size);
}

// Closes a non-empty raw tail into a frame of its own; returns whether it did.
Result<bool> close_raw_tail(Container& c, std::uint64_t id, std::int32_t level) {
  DRELIX_TRY(c.flush_data());
  if (c.tail_length() == 0) return false;
  DRELIX_TRY(c.close_frame(id, level));
  return true;
}

// What the compressing threads and the committing thread share. Frames are compressed in
// index order on the pool while one committer thread journals and splices every compressed
// prefix it finds ready, so that the journal's writes, hashing and syncs overlap compression
// instead of following it.
class Pipeline {
 public:
  Pipeline(Container& c, const FramePlan& plan, const ContentOf& content, std::uint64_t first_id,
           const BulkOptions& o)
      : c_(c),
        plan_(plan),
        content_(content),
        o_(o),
        next_id_(first_id),
        encoded_(plan.frames()),
        hashes_(plan.frames()),
        entries_(c.keeps_stats() ? plan.frames() : 0),
        ready_(plan.frames(), false) {}

  Result<std::vector<Frame>> run() {
    const std::size_t threads = std::max<std::size_t>(1, o_.threads);
    std::vector<Bytes> scratch(threads);
    std::vector<FrameCompressor> compressors(threads);
    std::thread committer;
    try {
      committer = std::thread([this] { commit_loop(); });
    } catch (const std::system_error&) {
      return fail(Error::io(EAGAIN));
    }
    const Status compressed =
        run_tasks(plan_.frames(), threads, [&](std::size_t k, std::size_t slot) -> Status {
          return compress_one(k, scratch[slot], compressors[slot]);
        });
    if (!compressed) stop();
    committer.join();
    // A failed commit stops the compression (which then reports nothing), so the commit's
    // error comes first; otherwise the compression's.
    if (!commit_status_) return fail(std::move(commit_status_).error());
    if (!compressed) return fail(compressed.error());
    return std::move(added_);
  }

 private:
  // Compressed bytes that may wait for the committer before compression pauses: twice the
  // batch size, so that one batch can be written while the next is being made.
  static constexpr std::uint64_t kMaxPending = 2 * kBulkBatchBytes;
  // The committer waits for at least this much compressed data (or the end) before writing a
  // batch, so that the zone written twice per batch stays small beside the frames.
  static constexpr std::uint64_t kMinBatch = kBulkBatchBytes / 4;

  Status compress_one(std::size_t k, Bytes& scratch, FrameCompressor& compressor) {
    {
      std::unique_lock lock(mutex_);
      // Frame k may start once the memory held for frames not yet written allows it; the
      // frame the committer waits for next is always allowed, so this cannot deadlock.
      changed_.wait(lock, [&] { return stopped_ || k == committed_ || pending_ < kMaxPending; });
      if (stopped_) return {};
      pending_ += plan_.raw[k];  // an upper bound until the frame is compressed
      if (!spare_.empty()) {
        encoded_[k] = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    // The caller's memory may change meanwhile (another thread writing to the array): a frame
    // compressed from bytes that change under the compressor would not decode to what its
    // content checksum covers, so the compressor works from its own copy, a block at a time.
    const ByteView content = content_(k, scratch);
    // The statistics come from the records as the call hands them over, before compression.
    if (!entries_.empty()) {
      entries_[k] = entries_for(content, c_.stats_fields(), c_.schema().layout.size());
    }
    const Status compressed = compressor.compress_copying(content, o_.level, encoded_[k]);
    const std::uint64_t hash = compressed ? xxh64(encoded_[k]) : 0;
    {
      const std::lock_guard lock(mutex_);
      pending_ -= plan_.raw[k];
      if (compressed) {
        pending_ += encoded_[k].size();
        hashes_[k] = hash;
        ready_[k] = true;
      }
    }
    changed_.notify_all();
    return compressed;
  }

  void stop() {
    {
      const std::lock_guard lock(mutex_);
      stopped_ = true;
    }
    changed_.notify_all();
  }

  // The end of the next batch: the ready frames from committed_ on, once they hold kMinBatch
  // compressed bytes or reach the last frame; 0 when stopped. The ready prefix is extended
  // incrementally (scan_), so a write of many small frames costs no rescans.
  std::size_t wait_for_batch() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] {
      if (stopped_) return true;
      while (scan_ < ready_.size() && ready_[scan_] && scan_bytes_ < kBulkBatchBytes) {
        scan_bytes_ += encoded_[scan_++].size();
      }
      return scan_ == ready_.size() || scan_bytes_ >= kMinBatch;
    });
    return stopped_ ? 0 : scan_;
  }

  void commit_loop() {
    try {
      while (committed_ < plan_.frames()) {
        const std::size_t end = wait_for_batch();
        if (end == 0) return;
        commit_status_ = commit(committed_, end);
        if (!commit_status_) {
          stop();
          return;
        }
      }
    } catch (const std::bad_alloc&) {
      commit_status_ = fail(Error::io(ENOMEM));
      stop();
    }
  }

  // The _preview that closing frames first..end one by one would leave, as each close renders
  // its own frame while the file's preview is missing or empty ("" when the file has one).
  std::string preview_of(std::size_t first, std::size_t end) const {
    std::string preview;
    if (!lacks_preview(c_.headers())) return preview;
    Bytes scratch;
    for (std::size_t k = first; k < end && preview.empty(); ++k) {
      preview = render_preview(content_(k, scratch), c_.schema());
    }
    return preview;
  }

  // Journals and splices frames [first, end), then frees them. Only this thread reads or
  // writes frames below committed_ and the container, so no lock is held while writing.
  Status commit(std::size_t first, std::size_t end) {
    std::vector<Frame> batch;
    std::vector<ByteView> parts;
    std::uint64_t records = 0;
    std::uint64_t bytes_raw = 0;
    std::uint64_t stored = 0;
    for (std::size_t k = first; k < end; ++k) {
      batch.push_back(Frame{next_id_++, 0, encoded_[k].size(), hashes_[k]});
      parts.emplace_back(encoded_[k]);
      records += plan_.cuts[k + 1] - plan_.cuts[k];
      bytes_raw += plan_.raw[k];
      stored += encoded_[k].size();
    }
    DRELIX_ASSIGN_OR_RETURN(
        const std::vector<Frame> listed,
        c_.splice_frames(batch, parts, records, bytes_raw, o_.level, preview_of(first, end),
                         entries_.empty() ? std::span<const FrameEntries>()
                                          : std::span(entries_).subspan(first, end - first)));
    added_.insert(added_.end(), listed.begin(), listed.end());
    {
      const std::lock_guard lock(mutex_);
      // Written buffers go back to the compressors: their pages are already mapped.
      for (std::size_t k = first; k < end; ++k) spare_.push_back(std::move(encoded_[k]));
      pending_ -= stored;
      scan_bytes_ -= stored;
      committed_ = end;
    }
    changed_.notify_all();
    return {};
  }

  Container& c_;
  const FramePlan& plan_;
  const ContentOf& content_;
  const BulkOptions& o_;
  std::uint64_t next_id_;
  std::vector<Frame> added_;
  Status commit_status_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Bytes> encoded_;
  std::vector<Bytes> spare_;
  std::vector<std::uint64_t> hashes_;
  std::vector<FrameEntries> entries_;  // one per frame while the container keeps statistics
  std::vector<bool> ready_;
  std::size_t committed_ = 0;
  std::size_t scan_ = 0;
  std::uint64_t scan_bytes_ = 0;
  std::uint64_t pending_ = 0;
  bool stopped_ = false;
};

// `first` holds the first records of the call in on-disk form (at least the preview's).
Result<std::vector<Frame>> bulk_write(Container& c, const FramePlan& plan, const ContentOf& content,
                                      ByteView first, std::uint64_t first_id,
                                      const BulkOptions& o) {
  if (!c.writable()) return fail(Error::usage("file is open read-only"));
  // Every frame of the call must fit in the zone before the first is written: a call that
  // fails for want of room has then taken none of its records.
  const bool tail = c.buffered_bytes() > 0 || c.tail_length() > 0;
  const std::size_t closes = plan.frames() + (tail ? 1 : 0);
  if (closes > 0) DRELIX_TRY(c.check_frame_room(closes, o.level, first));
  std::vector<Frame> added;
  std::uint64_t id = first_id;
  DRELIX_ASSIGN_OR_RETURN(const bool closed, close_raw_tail(c, id, o.level));
  if (closed) {
    added.push_back(c.frames().back());
    ++id;
  }
  if (plan.frames() == 0) return added;
  Pipeline pipeline(c, plan, content, id, o);
  DRELIX_ASSIGN_OR_RETURN(const std::vector<Frame> frames, pipeline.run());
  added.insert(added.end(), frames.begin(), frames.end());
  return added;
}

}  // namespace

Result<std::vector<Frame>> bulk_write_fixed(Container& c, ByteView data, std::uint64_t first_id,
                                            const BulkOptions& options) {
  DRELIX_TRY(check_frame_limits(limits_of(options)));
  const RecordLayout layout = c.schema().layout;
  if (!layout.is_fixed()) {
    return fail(Error::usage("the file's records are length-prefixed, not fixed"));
  }
  const std::uint32_t size = layout.size();
  if (data.size() % size != 0) {
    return fail(Error::usage(
        str_cat(data.size(), " bytes are not a whole number of ", size, "-byte records")));
  }
  const FramePlan plan = plan_fixed(data.size() / size, size, limits_of(options));
  // Straight from the caller's memory: the compressor copies each block in before reading it.
  const ContentOf content = [&](std::size_t k, Bytes&) {
    return data.subspan(plan.cuts[k] * size, static_cast<std::size_t>(plan.raw[k]));
  };
  return bulk_write(c, plan, content, data, first_id, options);
}

Result<std::vector<Frame>> bulk_write_bodies(Container& c, std::span<const ByteView> bodies,
                                             std::uint64_t first_id, const BulkOptions& options) {
  DRELIX_TRY(check_frame_limits(limits_of(options)));
  if (c.schema().layout.is_fixed()) {
    return fail(Error::usage("the file's records are fixed, not length-prefixed"));
  }
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    if (bodies[i].size() > kMaxPrefixedRecord) {
      return fail(Error::usage(
          str_cat("record ", i, " of ", bodies[i].size(), " bytes overflows the u16 prefix")));
    }
  }
  const FramePlan plan = plan_bodies(bodies, limits_of(options));
  const ContentOf content = [&](std::size_t k, Bytes& scratch) {
    return assemble(bodies, plan.cuts[k], plan.cuts[k + 1], scratch);
  };
  Bytes first;
  assemble(bodies, 0, std::min(bodies.size(), kPreviewRecords), first);
  return bulk_write(c, plan, content, first, first_id, options);
}

}  // namespace drelix
