// Bulk writes. The records are cut into frames by a plan made up front; frames are then
// compressed in batches of about kBulkBatchBytes of input on the shared thread pool, and each
// batch goes to disk as one journaled splice (Container::splice_frames), so the bytes written
// are the batch twice (journal, file) and a zone per batch, never the raw records.

#include "core/bulk_write.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "core/codec.h"
#include "core/hash.h"
#include "core/preview.h"
#include "core/str_cat.h"
#include "core/thread_pool.h"

namespace drelix {

namespace {

// Frame k holds records [cuts[k], cuts[k + 1]) and raw[k] bytes of content.
struct Plan {
  std::vector<std::size_t> cuts{0};
  std::vector<std::uint64_t> raw;
  std::size_t frames() const { return raw.size(); }
  void cut(std::size_t at, std::uint64_t bytes) {
    cuts.push_back(at);
    raw.push_back(bytes);
  }
};

// The raw content of frame k; `scratch` is the calling thread's own buffer for content that has
// to be assembled.
using ContentOf = std::function<ByteView(std::size_t frame, Bytes& scratch)>;

Status check_options(const BulkOptions& o) {
  if (o.frame_records == 0 && o.frame_bytes == 0) {
    return fail(Error::usage("a bulk write needs frame_records or frame_bytes"));
  }
  return {};
}

std::uint64_t or_unlimited(std::uint64_t limit) {
  return limit == 0 ? UINT64_MAX : limit;
}

Plan plan_fixed(std::size_t records, std::uint32_t size, const BulkOptions& o) {
  const std::uint64_t by_bytes = std::max<std::uint64_t>(1, or_unlimited(o.frame_bytes) / size);
  const std::uint64_t per_frame = std::min(or_unlimited(o.frame_records), by_bytes);
  Plan plan;
  for (std::size_t at = 0; at < records;) {
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(per_frame, records - at));
    at += n;
    plan.cut(at, std::uint64_t{n} * size);
  }
  return plan;
}

Plan plan_bodies(std::span<const ByteView> bodies, const BulkOptions& o) {
  const std::uint64_t max_records = or_unlimited(o.frame_records);
  const std::uint64_t max_bytes = or_unlimited(o.frame_bytes);
  Plan plan;
  std::uint64_t records = 0;
  std::uint64_t bytes = 0;
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    const std::uint64_t size = 2 + bodies[i].size();
    if (records > 0 && (records == max_records || bytes + size > max_bytes)) {
      plan.cut(i, bytes);
      records = 0;
      bytes = 0;
    }
    ++records;
    bytes += size;
  }
  if (!bodies.empty()) plan.cut(bodies.size(), bytes);
  return plan;
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

// The _preview a first close would write, from the first records of the first frame, or "" when
// the file has one already (splice_frames then keeps it).
std::string preview_for(const Container& c, const ContentOf& content, std::size_t frames) {
  const std::optional<std::string_view> existing = c.headers().get("_preview");
  if (frames == 0 || (existing.has_value() && !existing->empty())) return {};
  Bytes scratch;
  return render_preview(content(0, scratch), c.schema());
}

// Closes a non-empty raw tail into a frame of its own; returns whether it did.
Result<bool> close_raw_tail(Container& c, std::uint64_t id, std::int32_t level) {
  DRELIX_TRY(c.flush_data());
  if (c.data_end() <= c.tail_start()) return false;
  DRELIX_TRY(c.close_frame(id, level));
  return true;
}

Result<std::vector<Frame>> bulk_write(Container& c, const Plan& plan, const ContentOf& content,
                                      std::uint64_t first_id, const BulkOptions& o) {
  if (!c.writable()) return fail(Error::usage("file is open read-only"));
  std::vector<Frame> added;
  std::uint64_t id = first_id;
  DRELIX_ASSIGN_OR_RETURN(const bool closed, close_raw_tail(c, id, o.level));
  if (closed) {
    added.push_back(c.frames().back());
    ++id;
  }

  const std::size_t frames = plan.frames();
  std::string preview = preview_for(c, content, frames);
  const std::size_t threads = std::max<std::size_t>(1, o.threads);
  std::vector<Bytes> scratch(threads);

  for (std::size_t first = 0; first < frames;) {
    // A batch: at least one frame per thread, then frames until the input passes the batch
    // size, so that the compressed bytes held at once stay near kBulkBatchBytes or below.
    std::size_t last = first;
    std::uint64_t input = 0;
    while (last < frames && (last - first < threads || input < kBulkBatchBytes)) {
      input += plan.raw[last++];
    }
    std::vector<Bytes> encoded(last - first);
    DRELIX_TRY(run_tasks(last - first, threads, [&](std::size_t k, std::size_t slot) -> Status {
      const ByteView bytes = content(first + k, scratch[slot]);
      DRELIX_ASSIGN_OR_RETURN(encoded[k], compress_frame(bytes, o.level));
      return {};
    }));

    std::vector<Frame> batch;
    std::vector<ByteView> parts;
    std::uint64_t records = 0;
    std::uint64_t bytes_raw = 0;
    for (std::size_t k = 0; k < encoded.size(); ++k) {
      batch.push_back(Frame{id++, 0, encoded[k].size(), xxh64(encoded[k])});
      parts.emplace_back(encoded[k]);
      records += plan.cuts[first + k + 1] - plan.cuts[first + k];
      bytes_raw += plan.raw[first + k];
    }
    DRELIX_ASSIGN_OR_RETURN(const std::vector<Frame> listed,
                            c.splice_frames(batch, parts, records, bytes_raw, o.level, preview));
    added.insert(added.end(), listed.begin(), listed.end());
    preview.clear();
    first = last;
  }
  return added;
}

}  // namespace

Result<std::vector<Frame>> bulk_write_fixed(Container& c, ByteView data, std::uint64_t first_id,
                                            const BulkOptions& options) {
  DRELIX_TRY(check_options(options));
  const RecordLayout layout = c.schema().layout;
  if (!layout.is_fixed()) {
    return fail(Error::usage("the file's records are length-prefixed, not fixed"));
  }
  const std::uint32_t size = layout.size();
  if (data.size() % size != 0) {
    return fail(Error::usage(
        str_cat(data.size(), " bytes are not a whole number of ", size, "-byte records")));
  }
  const Plan plan = plan_fixed(data.size() / size, size, options);
  const ContentOf content = [&](std::size_t k, Bytes&) {
    return data.subspan(plan.cuts[k] * size, static_cast<std::size_t>(plan.raw[k]));
  };
  return bulk_write(c, plan, content, first_id, options);
}

Result<std::vector<Frame>> bulk_write_bodies(Container& c, std::span<const ByteView> bodies,
                                             std::uint64_t first_id, const BulkOptions& options) {
  DRELIX_TRY(check_options(options));
  if (c.schema().layout.is_fixed()) {
    return fail(Error::usage("the file's records are fixed, not length-prefixed"));
  }
  for (std::size_t i = 0; i < bodies.size(); ++i) {
    if (bodies[i].size() > kMaxPrefixedRecord) {
      return fail(Error::usage(
          str_cat("record ", i, " of ", bodies[i].size(), " bytes overflows the u16 prefix")));
    }
  }
  const Plan plan = plan_bodies(bodies, options);
  const ContentOf content = [&](std::size_t k, Bytes& scratch) {
    return assemble(bodies, plan.cuts[k], plan.cuts[k + 1], scratch);
  };
  return bulk_write(c, plan, content, first_id, options);
}

}  // namespace drelix
