// Writer: a file open for appending, usable from any thread, one call at a time. A busy flag
// (set and cleared under the interpreter lock) refuses a second call while one is running with
// the lock released, so the engine container is never used by two threads at once. A writer
// belongs to the process that made it: in a forked child every call is refused and its
// deallocation writes nothing, since the parent goes on writing the same file.
#include <unistd.h>

#include <chrono>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/engine/types.h"
#include "binding/engine/use.h"
#include "core/bulk_write.h"
#include "core/container.h"
#include "core/defaults.h"
#include "core/frame_stats.h"
#include "core/str_cat.h"
#include "core/thread_pool.h"

namespace drelix::py {

namespace {

struct WriterState {
  static constexpr const char* kQualifiedName = "drelix_binary._engine.Writer";
  static PyTypeObject* type() { return writer_type(); }

  std::optional<Container> engine;
  std::string path;
  std::int32_t level = kHotLevel;
  bool busy = false;
  pid_t owner = getpid();

  bool closed() const { return !engine.has_value(); }
  Container& container() { return *engine; }
  bool enter();
  void leave() { busy = false; }
  PyObject* close();
};

using Using = Use<WriterState>;

// Refuses a writer inherited through fork: its buffer and its view of the tail are the
// creator's, which may have closed frames over that tail since.
bool check_owner(const WriterState& state) {
  if (state.owner == getpid()) return true;
  raise_error(Error::usage(str_cat("the writer of ", state.path, " belongs to process ",
                                   state.owner, ", not to this one (", getpid(), ")")),
              IoForm::kErrno);
  return false;
}

bool fail_busy() {
  PyErr_SetString(PyExc_RuntimeError, "writer is busy");
  return false;
}

// An open writer of this process that no other call is using; it is busy until the call ends.
bool WriterState::enter() {
  if (!check_owner(*this)) return false;
  if (busy) return fail_busy();
  if (closed()) {
    raise_error(Error::usage("writer is closed"), IoForm::kErrno);
    return false;
  }
  busy = true;
  return true;
}

PyObject* WriterState::close() {
  if (!check_owner(*this)) return nullptr;
  if (closed()) Py_RETURN_NONE;
  if (busy) {
    fail_busy();
    return nullptr;
  }
  busy = true;
  const Status flushed = unlocked([&] {
    const Status done = engine->flush_data();
    // The file is released whether or not the flush worked: a failed write has nothing left
    // to retry it with once the caller is told.
    engine.reset();
    return done;
  });
  busy = false;
  if (!flushed) return raise_engine_error(flushed.error(), path);
  Py_RETURN_NONE;
}

std::uint64_t next_id(const Container& c) {
  return next_frame_id(c.frames());
}

std::uint64_t now_millis() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

// A new Writer over the container `made` gives, or its error raised.
PyObject* new_writer(Result<Container> made, const std::string& path, std::int32_t level) {
  if (!made) return raise_engine_error(made.error(), path);
  return new_value(writer_type(), WriterState{std::move(*made), path, level, false, getpid()});
}

// ---- construction -------------------------------------------------------------------------

// The fields to index: a sequence of str, or None for none.
bool to_index(PyObject* obj, std::vector<std::string>* out) {
  std::vector<std::string> names;
  const auto take = [&](Py_ssize_t i, PyObject* item) {
    if (!PyUnicode_Check(item)) return fail_item(i, "str", item);
    std::string name;
    if (!to_text(item, &name)) return false;
    names.push_back(std::move(name));
    return true;
  };
  if (obj != Py_None && !for_each_item(obj, "str", take)) return false;
  *out = std::move(names);
  return true;
}

// The writer keeps the statistics of every field the file indexes and of `index`.
Result<Container> keeping_stats(Result<Container> made, const std::vector<std::string>& index) {
  if (made) DRELIX_TRY(made->keep_stats(index));
  return made;
}

constexpr const char* kCreateParams[] = {
    "path", "schema", "source", "writer", "created_at_millis", "user", "header_area", "level",
    "index"};
constexpr Signature kCreateSig{"Writer.create", kCreateParams, 2, false, 2};

PyObject* create_writer(PyObject*, const Args& args) {
  std::string path;
  Schema schema;
  std::string source;
  std::string writer;
  std::optional<std::uint64_t> created;
  Container::UserHeaders user;
  std::uint32_t header_area = kApiHeaderArea;
  std::int32_t level = kHotLevel;
  std::vector<std::string> index;
  if (!args.get(0, to_path, &path) || !args.get(1, to_schema, &schema) ||
      !args.get(2, to_text, &source) || !args.get(3, to_text, &writer) ||
      !args.get(4, to_optional<std::uint64_t, to_u64>, &created) ||
      !args.get(5, to_user_headers, &user) || !args.get(6, to_u32, &header_area) ||
      !args.get(7, to_i32, &level) || !args.get(8, to_index, &index)) {
    return nullptr;
  }
  // The index is checked before the file exists, and its keys are there from the start.
  for (const std::string& name : index) {
    Result<IndexedField> field = indexable_field(schema, name);
    if (!field) return raise_engine_error(field.error(), path);
    user.emplace_back(field->key(), "");
  }
  return new_writer(unlocked([&] {
                      return keeping_stats(
                          Container::create(path, schema, source, writer,
                                            created.value_or(now_millis()), header_area, user),
                          {});
                    }),
                    path, level);
}

constexpr const char* kOpenParams[] = {"path", "index"};
constexpr Signature kOpenSig{"Writer.open", kOpenParams, 1, false, 1};

PyObject* open_writer(PyObject*, const Args& args) {
  std::string path;
  std::vector<std::string> index;
  if (!args.get(0, to_path, &path) || !args.get(1, to_index, &index)) return nullptr;
  return new_writer(
      unlocked([&] { return keeping_stats(Container::open_append(path), index); }), path,
      kHotLevel);
}

// ---- appends ------------------------------------------------------------------------------

// Appends one record body. A buffer the body would fill is written first, without the lock;
// the body is then copied in under it, since a bytearray's memory may move once the lock is
// given up. (The container writes with the lock held only when the record alone, or its length
// prefix, takes the buffer to the threshold.)
PyObject* append_body(const Using& use, ByteView body) {
  Container& c = use.container();
  if (c.buffered_bytes() + body.size() >= kFlushThreshold) {
    const Status flushed = unlocked([&] { return c.flush_data(); });
    if (!flushed) return use.raise(flushed.error());
  }
  return use.none_or_raise(c.append_record(body));
}

constexpr const char* kRecordParam[] = {"record"};
constexpr Signature kAppendSig{"append", kRecordParam, 1};

PyObject* append(PyObject* self, const Args& args) {
  Using use(self);
  if (!use) return nullptr;
  PyObject* record = args[0];
  if (PyBytes_Check(record)) {
    return append_body(use,
                       ByteView(reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(record)),
                                static_cast<std::size_t>(PyBytes_Size(record))));
  }
  if (PyByteArray_Check(record)) {
    return append_body(use,
                       ByteView(reinterpret_cast<const std::uint8_t*>(PyByteArray_AsString(record)),
                                static_cast<std::size_t>(PyByteArray_Size(record))));
  }
  PyErr_SetString(
      PyExc_TypeError,
      str_cat("argument 'record': expected bytes or bytearray, got ", type_name(record)).c_str());
  return nullptr;
}

Result<std::uint64_t> append_fixed(Container& c, ByteView data) {
  const RecordLayout layout = c.schema().layout;
  if (!layout.is_fixed()) {
    return fail(Error::usage("the file's records are length-prefixed, not fixed"));
  }
  if (data.size() % layout.size() != 0) {
    return fail(Error::usage(
        str_cat(data.size(), " bytes are not a whole number of ", layout.size(), "-byte records")));
  }
  const std::uint64_t count = data.size() / layout.size();
  for (std::uint64_t i = 0; i < count; ++i) {
    DRELIX_TRY(c.append_record(data.subspan(i * layout.size(), layout.size())));
  }
  return count;
}

// append_at (one record) and append_fixed_at (whole fixed records) of caller memory.
template <bool Fixed>
PyObject* append_region(PyObject* self, const Args& args) {
  Using use(self);
  if (!use) return nullptr;
  ByteView data;
  if (!args.region(0, &data)) return nullptr;
  if constexpr (!Fixed) return append_body(use, data);
  return use.reply(unlocked([&] { return append_fixed(use.container(), data); }),
                   PyLong_FromUnsignedLongLong);
}

constexpr const char* kRegionParams[] = {"address", "length"};
constexpr Signature kAppendAtSig{"append_at", kRegionParams, 2};
constexpr Signature kAppendFixedAtSig{"append_fixed_at", kRegionParams, 2};

// ---- flush, sync, close_frame, seal, set_user_header, check_frame_room --------------------

template <Status (Container::*Op)()>
PyObject* unlocked_op(PyObject* self, const Args&) {
  Using use(self);
  if (!use) return nullptr;
  return use.none_or_raise(unlocked([&] { return (use.container().*Op)(); }));
}

constexpr Signature kFlushSig{"flush", {}, 0};
constexpr Signature kSyncSig{"sync", {}, 0};

// close_frame and seal: optional id and level.
template <bool Seal>
PyObject* close_tail(PyObject* self, const Args& args) {
  Using use(self);
  if (!use) return nullptr;
  std::optional<std::uint64_t> id;
  std::optional<std::int32_t> level;
  if (!args.get(0, to_optional<std::uint64_t, to_u64>, &id) ||
      !args.get(1, to_optional<std::int32_t, to_i32>, &level)) {
    return nullptr;
  }
  Container& c = use.container();
  const std::size_t before = c.frames().size();
  const Status done = unlocked([&] {
    const std::uint64_t frame_id = id.value_or(next_id(c));
    const std::int32_t lvl = level.value_or(use.state().level);
    return Seal ? c.seal(frame_id, lvl) : c.close_frame(frame_id, lvl);
  });
  if (!done) return use.raise(done.error());
  if (Seal || c.frames().size() == before) Py_RETURN_NONE;
  return new_frame_tuple(c.frames().back());
}

constexpr const char* kCloseParams[] = {"frame_id", "level"};
constexpr Signature kCloseFrameSig{"close_frame", kCloseParams, 0};
constexpr Signature kSealSig{"seal", kCloseParams, 0};

constexpr const char* kHeaderParams[] = {"key", "value"};
constexpr Signature kSetUserHeaderSig{"set_user_header", kHeaderParams, 2};

PyObject* set_user_header(PyObject* self, const Args& args) {
  Using use(self);
  if (!use) return nullptr;
  std::string key;
  std::string value;
  if (!args.get(0, to_text, &key) || !args.get(1, to_text, &value)) return nullptr;
  if (key.starts_with(kStatsPrefix)) {
    // Its value must list every frame's range: only the writer's closes can keep it so.
    return use.raise(Error::usage(str_cat("header ", quoted(key),
                                          " holds frame statistics; index a field with index=")));
  }
  return use.none_or_raise(unlocked([&] { return use.container().set_user_header(key, value); }));
}

constexpr const char* kRoomParams[] = {"frames", "next", "level"};
constexpr Signature kCheckFrameRoomSig{"check_frame_room", kRoomParams, 1, false, 1};

PyObject* check_frame_room(PyObject* self, const Args& args) {
  Using use(self);
  if (!use) return nullptr;
  std::uint64_t frames = 0;
  std::optional<std::int32_t> level;
  ByteView first;
  if (!args.get(0, to_u64, &frames) || (args[1] != Py_None && !args.get(1, to_bytes, &first)) ||
      !args.get(2, to_optional<std::int32_t, to_i32>, &level)) {
    return nullptr;
  }
  return use.none_or_raise(unlocked([&] {
    return use.container().check_frame_room(static_cast<std::size_t>(frames),
                                            level.value_or(use.state().level), first);
  }));
}

// ---- bulk writes --------------------------------------------------------------------------

// A frame limit: None for none (0), else a count.
bool to_limit(PyObject* obj, std::uint64_t* out) {
  if (obj != Py_None) return to_u64(obj, out);
  *out = 0;
  return true;
}

// The four bulk options, bound from argument `first` on.
bool to_bulk_options(const Args& args, std::size_t first, const WriterState& state,
                     BulkOptions* out) {
  BulkOptions options{0, kDefaultFrameBytes, state.level, ThreadPool::default_threads()};
  std::optional<std::int32_t> level;
  if (!args.get(first, to_limit, &options.frame_records) ||
      !args.get(first + 1, to_limit, &options.frame_bytes) ||
      !args.get(first + 2, to_optional<std::int32_t, to_i32>, &level) ||
      !args.get(first + 3, to_threads, &options.threads)) {
    return false;
  }
  options.level = level.value_or(state.level);
  *out = options;
  return true;
}

PyObject* frames_or_raise(const Using& use, const Result<std::vector<Frame>>& frames) {
  return use.reply(frames, new_frame_tuples);
}

constexpr const char* kWriteFixedParams[] = {"address",     "length", "frame_records",
                                             "frame_bytes", "level",  "threads"};
constexpr Signature kWriteFixedAtSig{"write_fixed_at", kWriteFixedParams, 2, false, 2};

PyObject* write_fixed_at(PyObject* self, const Args& args) {
  Using use(self);
  if (!use) return nullptr;
  ByteView data;
  BulkOptions options;
  if (!args.region(0, &data) || !to_bulk_options(args, 2, use.state(), &options)) return nullptr;
  Container& c = use.container();
  return frames_or_raise(use,
                         unlocked([&] { return bulk_write_fixed(c, data, next_id(c), options); }));
}

constexpr const char* kWriteBodiesParams[] = {"bodies", "frame_records", "frame_bytes", "level",
                                              "threads"};
constexpr Signature kWriteBodiesSig{"write_bodies", kWriteBodiesParams, 1, false, 1};

PyObject* write_bodies(PyObject* self, const Args& args) {
  Using use(self);
  if (!use) return nullptr;
  BulkOptions options;
  if (!to_bulk_options(args, 1, use.state(), &options)) return nullptr;
  // The tuple keeps every bytes body alive (and unchanged) while the lock is released;
  // bytearray bodies, which another thread could resize meanwhile, are copied first.
  Ref items = steal(PySequence_Tuple(args[0]));
  if (!items) {
    fail_argument("bodies");
    return nullptr;
  }
  const Py_ssize_t n = PyTuple_Size(items.get());
  std::vector<ByteView> views;
  views.reserve(static_cast<std::size_t>(n));
  std::deque<Bytes> copies;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* body = PyTuple_GetItem(items.get(), i);
    if (PyBytes_Check(body)) {
      views.emplace_back(reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(body)),
                         static_cast<std::size_t>(PyBytes_Size(body)));
    } else if (PyByteArray_Check(body)) {
      const auto* data = reinterpret_cast<const std::uint8_t*>(PyByteArray_AsString(body));
      copies.emplace_back(data, data + PyByteArray_Size(body));
      views.emplace_back(copies.back());
    } else {
      PyErr_SetString(PyExc_TypeError,
                      str_cat("argument 'bodies': item ", i, ": expected bytes or bytearray, got ",
                              type_name(body))
                          .c_str());
      return nullptr;
    }
  }
  Container& c = use.container();
  return frames_or_raise(
      use, unlocked([&] { return bulk_write_bodies(c, views, next_id(c), options); }));
}

// ---- the class ----------------------------------------------------------------------------

PyObject* writer_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError,
                  "cannot create 'drelix_binary._engine.Writer' instances; use Writer.create or "
                  "Writer.open");
  return nullptr;
}

void writer_dealloc(PyObject* self) {
  // Destroying the engine container writes its buffer (errors ignored) and closes the file;
  // in a forked child it only closes the child's descriptor.
  WriterState& state = value_of<WriterState>(self);
  if (state.owner != getpid() && state.engine) state.engine->disown();
  value_dealloc<WriterState>(self);
}

PyMethodDef kMethods[] = {
    {"create", as_cfunction(call<kCreateSig, create_writer>), kCallFlags | METH_STATIC,
     "create(path, schema, *, source='', writer='', created_at_millis=None, user=None, "
     "header_area=262144, level=3, index=None)\n--\n\nCreates a new file."},
    {"open", as_cfunction(call<kOpenSig, open_writer>), kCallFlags | METH_STATIC,
     "open(path, *, index=None)\n--\n\nOpens a file for appending."},
    method<kAppendSig, append>(
        "append($self, record)\n--\n\nAppends one record (bytes or bytearray)."),
    method<kAppendAtSig, append_region<false>>(
        "append_at($self, address, length)\n--\n\nAppends one record from memory."),
    method<kAppendFixedAtSig, append_region<true>>(
        "append_fixed_at($self, address, length)\n--\n\nAppends fixed records from memory."),
    method<kFlushSig, unlocked_op<&Container::flush_data>>(
        "flush($self)\n--\n\nWrites the buffer."),
    method<kSyncSig, unlocked_op<&Container::sync_data>>(
        "sync($self)\n--\n\nWrites the buffer and syncs the data file."),
    method<kCloseFrameSig, close_tail<false>>(
        "close_frame($self, frame_id=None, level=None)\n--\n\nCloses the tail into a frame."),
    method<kSealSig, close_tail<true>>("seal($self, frame_id=None, level=None)\n--\n\n"
                                       "Closes the tail and marks the file sealed."),
    method<kSetUserHeaderSig, set_user_header>(
        "set_user_header($self, key, value)\n--\n\nSets a user header."),
    method<kCheckFrameRoomSig, check_frame_room>(
        "check_frame_room($self, frames, *, next=None, level=None)\n--\n\nRaises "
        "DrelixZoneFullError unless the zone can list that many more frames."),
    method<kWriteFixedAtSig, write_fixed_at>(
        "write_fixed_at($self, address, length, *, frame_records=None, frame_bytes=67108864, "
        "level=None, threads=None)\n--\n\nBulk write of fixed records as frames."),
    method<kWriteBodiesSig, write_bodies>(
        "write_bodies($self, bodies, *, frame_records=None, frame_bytes=67108864, level=None, "
        "threads=None)\n--\n\nBulk write of prefixed records as frames."),
    method<kContentSizesSig, content_sizes<WriterState>>(
        "content_sizes($self)\n--\n\nContent size of each frame from its first bytes."),
    close_method<WriterState>("close($self)\n--\n\nFlushes and releases."),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* tail_records_of(const Container& c) {
  return PyLong_FromUnsignedLongLong(c.records() - c.frame_records());
}
PyObject* tail_bytes_of(const Container& c) {
  return PyLong_FromUnsignedLongLong(c.bytes_raw() - c.frame_bytes_raw());
}

auto kGetSet = with_file_attributes<WriterState>(std::array{
    attribute<WriterState, figure_of<&Container::records>>("records",
                                                           "Every record, buffered ones included."),
    attribute<WriterState, tail_records_of>("tail_records", "Records since the last close."),
    attribute<WriterState, tail_bytes_of>("tail_bytes", "Raw bytes since the last close."),
});

}  // namespace

PyTypeObject* writer_type() {
  return class_type<WriterState>("A file open for appending; see Writer.create, Writer.open.",
                                 writer_new, writer_dealloc, kMethods, kGetSet.data());
}

}  // namespace drelix::py
