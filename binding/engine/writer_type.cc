// Writer: a file open for appending, usable from any thread, one call at a time. A busy flag
// (set and cleared under the interpreter lock) refuses a second call while one is running with
// the lock released, so the engine container is never used by two threads at once. A writer
// belongs to the process that made it: in a forked child every call is refused and its
// deallocation writes nothing, since the parent goes on writing the same file.
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/common/args.h"
#include "binding/common/convert.h"
#include "binding/common/value_type.h"
#include "binding/engine/engine.h"
#include "binding/engine/types.h"
#include "core/bulk_write.h"
#include "core/container.h"
#include "core/defaults.h"
#include "core/str_cat.h"
#include "core/thread_pool.h"

namespace drelix::py {

namespace {

struct WriterState {
  std::optional<Container> engine;
  std::string path;
  std::int32_t level = kHotLevel;
  bool busy = false;
  pid_t owner = getpid();
};

PyObject* g_type = nullptr;

bool check_receiver(PyObject* self) {
  if (is_instance(self, writer_type())) return true;
  PyErr_SetString(PyExc_TypeError, "expected a drelix_binary._engine.Writer receiver");
  return false;
}

// Refuses a writer inherited through fork: its buffer and its view of the tail are the
// creator's, which may have closed frames over that tail since.
bool check_owner(const WriterState& state) {
  if (state.owner == getpid()) return true;
  raise_error(Error::usage(str_cat("the writer of ", state.path, " belongs to process ",
                                   state.owner, ", not to this one (", getpid(), ")")));
  return false;
}

// The discipline of every method but close: an open Writer that no other call is using; the
// writer is marked busy until the method returns.
class Use {
 public:
  explicit Use(PyObject* self) {
    if (!check_receiver(self)) return;
    WriterState& state = value_of<WriterState>(self);
    if (!check_owner(state)) return;
    if (state.busy) {
      PyErr_SetString(PyExc_RuntimeError, "writer is busy");
      return;
    }
    if (!state.engine) {
      raise_error(Error::usage("writer is closed"));
      return;
    }
    state.busy = true;
    state_ = &state;
  }
  ~Use() {
    if (state_ != nullptr) state_->busy = false;
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

  explicit operator bool() const { return state_ != nullptr; }
  Container& engine() const { return *state_->engine; }
  WriterState& state() const { return *state_; }
  PyObject* raise(const Error& e) const { return raise_engine_error(e, state_->path); }
  PyObject* none_or_raise(const Status& s) const {
    if (!s) return raise(s.error());
    Py_RETURN_NONE;
  }

 private:
  WriterState* state_ = nullptr;
};

std::uint64_t next_id(const Container& c) {
  return next_frame_id(c.frames());
}

std::uint64_t now_millis() {
  using namespace std::chrono;
  return static_cast<std::uint64_t>(
      duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

bool fail_user(const std::string& text) {
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return false;
}

// None, a mapping (its items() in order) or an iterable of (str, str) pairs.
bool to_user(PyObject* obj, Container::UserHeaders* out) {
  Container::UserHeaders pairs;
  if (obj == Py_None) {
    *out = std::move(pairs);
    return true;
  }
  Ref source;
  if (PyObject_HasAttrString(obj, "items") && !PyUnicode_Check(obj)) {
    source = steal(PyObject_CallMethod(obj, "items", nullptr));
  } else {
    source = borrow(obj);
  }
  if (!source) return false;
  Ref iter = steal(PyObject_GetIter(source.get()));
  if (!iter) return false;
  while (Ref item = steal(PyIter_Next(iter.get()))) {
    Ref pair = steal(PySequence_Tuple(item.get()));
    if (!pair) return false;
    if (PyTuple_Size(pair.get()) != 2) return fail_user("user headers must be (str, str) pairs");
    std::string texts[2];
    for (Py_ssize_t k = 0; k < 2; ++k) {
      if (!to_text(PyTuple_GetItem(pair.get(), k), &texts[k])) return false;
    }
    pairs.emplace_back(std::move(texts[0]), std::move(texts[1]));
  }
  if (PyErr_Occurred()) return false;
  *out = std::move(pairs);
  return true;
}

PyObject* new_writer(Container engine, std::string path, std::int32_t level) {
  return new_value(writer_type(),
                   WriterState{std::move(engine), std::move(path), level, false, getpid()});
}

// ---- construction -------------------------------------------------------------------------

PyObject* create_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {
        "path", "schema", "source", "writer", "created_at_millis", "user", "header_area", "level"};
    static constexpr Signature kSig{"Writer.create", kParams, 2, false, 2};
    PyObject* bound[8];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    std::string path;
    Schema schema;
    std::string source;
    std::string writer;
    std::optional<std::uint64_t> created;
    Container::UserHeaders user;
    std::uint32_t header_area = kApiHeaderArea;
    std::int32_t level = kHotLevel;
    if (!convert_arg("path", bound[0], to_path, &path) ||
        !convert_arg("schema", bound[1], to_native_schema, &schema) ||
        !convert_arg("source", bound[2], to_text, &source) ||
        !convert_arg("writer", bound[3], to_text, &writer) ||
        !convert_arg("created_at_millis", bound[4], to_optional<std::uint64_t, to_u64>, &created) ||
        !convert_arg("user", bound[5], to_user, &user) ||
        !convert_arg("header_area", bound[6], to_u32, &header_area) ||
        !convert_arg("level", bound[7], to_i32, &level)) {
      return nullptr;
    }
    Result<Container> made = fail(Error::io_eof());
    {
      NoGil unlocked;
      made = Container::create(path, schema, source, writer, created.value_or(now_millis()),
                               header_area, user);
    }
    if (!made) return raise_engine_error(made.error(), path);
    return new_writer(std::move(*made), std::move(path), level);
  });
}

PyObject* open_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"path", "level"};
    static constexpr Signature kSig{"Writer.open", kParams, 1, false, 1};
    PyObject* bound[2];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    std::string path;
    std::int32_t level = kHotLevel;
    if (!convert_arg("path", bound[0], to_path, &path) ||
        !convert_arg("level", bound[1], to_i32, &level)) {
      return nullptr;
    }
    Result<Container> opened = fail(Error::io_eof());
    {
      NoGil unlocked;
      opened = Container::open_append(path);
    }
    if (!opened) return raise_engine_error(opened.error(), path);
    return new_writer(std::move(*opened), std::move(path), level);
  });
}

// ---- properties ---------------------------------------------------------------------------

template <PyObject* (*Get)(const Use&)>
PyObject* getter(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    Use use(self);
    if (!use) return nullptr;
    return Get(use);
  });
}

PyObject* get_path(const Use& u) {
  return new_str(u.state().path);
}
PyObject* get_schema(const Use& u) {
  return new_native_schema(u.engine().schema());
}
PyObject* get_record_size(const Use& u) {
  const RecordLayout layout = u.engine().schema().layout;
  if (!layout.is_fixed()) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(layout.size());
}
PyObject* get_level(const Use& u) {
  return PyLong_FromLong(u.state().level);
}
PyObject* get_headers(const Use& u) {
  return new_headers(u.engine().headers());
}
PyObject* get_frames(const Use& u) {
  return new_frame_tuples(u.engine().frames());
}
PyObject* get_records(const Use& u) {
  return PyLong_FromUnsignedLongLong(u.engine().records());
}
PyObject* get_tail_records(const Use& u) {
  return PyLong_FromUnsignedLongLong(u.engine().records() - u.engine().frame_records());
}
PyObject* get_tail_bytes(const Use& u) {
  return PyLong_FromUnsignedLongLong(u.engine().bytes_raw() - u.engine().frame_bytes_raw());
}
PyObject* get_next_frame_id(const Use& u) {
  return PyLong_FromUnsignedLongLong(next_id(u.engine()));
}

int set_level(PyObject* self, PyObject* value, void*) {
  Use use(self);
  if (!use) return -1;
  if (value == nullptr) {
    PyErr_SetString(PyExc_AttributeError, "level cannot be deleted");
    return -1;
  }
  std::int32_t level = 0;
  if (!to_i32(value, &level)) return -1;
  use.state().level = level;
  return 0;
}

PyObject* get_closed(PyObject* self, void*) {
  if (!check_receiver(self)) return nullptr;
  return PyBool_FromLong(!value_of<WriterState>(self).engine.has_value());
}

// ---- appends ------------------------------------------------------------------------------

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

// Whether appending `size` more body bytes makes the container write its buffer, the one case
// worth releasing the interpreter lock for.
bool append_flushes(const Container& c, std::size_t size) {
  const std::size_t prefix = c.schema().layout.is_fixed() ? 0 : 2;
  return c.buffered_bytes() + prefix + size >= kFlushThreshold;
}

PyObject* append_view(const Use& use, ByteView body) {
  Status done;
  if (append_flushes(use.engine(), body.size())) {
    NoGil unlocked;
    done = use.engine().append_record(body);
  } else {
    done = use.engine().append_record(body);
  }
  return use.none_or_raise(done);
}

PyObject* append_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"record"};
    static constexpr Signature kSig{"append", kParams, 1};
    PyObject* bound[1];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    Use use(self);
    if (!use) return nullptr;
    PyObject* record = bound[0];
    if (PyBytes_Check(record)) {
      // Immutable: read in place even with the lock released.
      const char* data = PyBytes_AsString(record);
      if (data == nullptr) return nullptr;
      return append_view(use, ByteView(reinterpret_cast<const std::uint8_t*>(data),
                                       static_cast<std::size_t>(PyBytes_Size(record))));
    }
    if (PyByteArray_Check(record)) {
      // Another thread could resize a bytearray while the lock is released, so the record is
      // copied by the container before the lock is given up: only a flush runs unlocked.
      const char* data = PyByteArray_AsString(record);
      const ByteView body(reinterpret_cast<const std::uint8_t*>(data),
                          static_cast<std::size_t>(PyByteArray_Size(record)));
      Status done = use.engine().append_record(body);
      if (done && use.engine().buffered_bytes() >= kFlushThreshold) {
        NoGil unlocked;
        done = use.engine().flush_data();
      }
      return use.none_or_raise(done);
    }
    PyErr_SetString(
        PyExc_TypeError,
        str_cat("argument 'record': expected bytes or bytearray, got ", type_name(record)).c_str());
    return nullptr;
  });
}

// to_region, read-only.
bool to_view(PyObject* address_obj, PyObject* length_obj, ByteView* out) {
  std::span<std::uint8_t> region;
  if (!to_region(address_obj, length_obj, &region)) return false;
  *out = region;
  return true;
}

PyObject* append_at_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"address", "length"};
    static constexpr Signature kSig{"append_at", kParams, 2};
    PyObject* bound[2];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    Use use(self);
    if (!use) return nullptr;
    ByteView body;
    if (!to_view(bound[0], bound[1], &body)) return nullptr;
    return append_view(use, body);
  });
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

PyObject* append_fixed_at_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"address", "length"};
    static constexpr Signature kSig{"append_fixed_at", kParams, 2};
    PyObject* bound[2];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    Use use(self);
    if (!use) return nullptr;
    ByteView data;
    if (!to_view(bound[0], bound[1], &data)) return nullptr;
    Result<std::uint64_t> count = fail(Error::io_eof());
    {
      NoGil unlocked;
      count = append_fixed(use.engine(), data);
    }
    if (!count) return use.raise(count.error());
    return PyLong_FromUnsignedLongLong(*count);
  });
}

// ---- flush, sync, close_frame, seal, set_user_header --------------------------------------

template <Status (*Op)(Container&)>
PyObject* unlocked_op(PyObject* self, PyObject* args, PyObject* kwargs, const char* name) {
  return guarded([&]() -> PyObject* {
    if (!bind_args(Signature{name, {}, 0}, args, kwargs, {})) return nullptr;
    Use use(self);
    if (!use) return nullptr;
    Status done;
    {
      NoGil unlocked;
      done = Op(use.engine());
    }
    return use.none_or_raise(done);
  });
}

Status do_flush(Container& c) {
  return c.flush_data();
}
Status do_sync(Container& c) {
  return c.sync_data();
}

PyObject* flush_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return unlocked_op<do_flush>(self, args, kwargs, "flush");
}
PyObject* sync_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return unlocked_op<do_sync>(self, args, kwargs, "sync");
}

// close_frame and seal: optional id and level.
template <bool Seal>
PyObject* close_method_impl(PyObject* self, PyObject* args, PyObject* kwargs, const char* name) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"frame_id", "level"};
    const Signature sig{name, kParams, 0};
    PyObject* bound[2];
    if (!bind_args(sig, args, kwargs, bound)) return nullptr;
    Use use(self);
    if (!use) return nullptr;
    std::optional<std::uint64_t> id;
    std::optional<std::int32_t> level;
    if (!convert_arg("frame_id", bound[0], to_optional<std::uint64_t, to_u64>, &id) ||
        !convert_arg("level", bound[1], to_optional<std::int32_t, to_i32>, &level)) {
      return nullptr;
    }
    Container& c = use.engine();
    const std::size_t before = c.frames().size();
    Status done;
    {
      NoGil unlocked;
      const std::uint64_t frame_id = id.value_or(next_id(c));
      const std::int32_t lvl = level.value_or(use.state().level);
      done = Seal ? c.seal(frame_id, lvl) : c.close_frame(frame_id, lvl);
    }
    if (!done) return use.raise(done.error());
    if (Seal || c.frames().size() == before) Py_RETURN_NONE;
    return new_frame_tuple(c.frames().back());
  });
}

PyObject* close_frame_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return close_method_impl<false>(self, args, kwargs, "close_frame");
}
PyObject* seal_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return close_method_impl<true>(self, args, kwargs, "seal");
}

PyObject* set_user_header_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"key", "value"};
    static constexpr Signature kSig{"set_user_header", kParams, 2};
    PyObject* bound[2];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    Use use(self);
    if (!use) return nullptr;
    std::string key;
    std::string value;
    if (!convert_arg("key", bound[0], to_text, &key) ||
        !convert_arg("value", bound[1], to_text, &value)) {
      return nullptr;
    }
    Status done;
    {
      NoGil unlocked;
      done = use.engine().set_user_header(key, value);
    }
    return use.none_or_raise(done);
  });
}

PyObject* check_frame_room_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"frames", "next", "level"};
    static constexpr Signature kSig{"check_frame_room", kParams, 1, false, 1};
    PyObject* bound[3];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    Use use(self);
    if (!use) return nullptr;
    std::uint64_t frames = 0;
    std::optional<std::int32_t> level;
    if (!convert_arg("frames", bound[0], to_u64, &frames) ||
        !convert_arg("level", bound[2], to_optional<std::int32_t, to_i32>, &level)) {
      return nullptr;
    }
    PyObject* next = bound[1] != nullptr ? bound[1] : Py_None;
    ByteView first;
    if (next != Py_None) {
      if (!PyBytes_Check(next)) {
        PyErr_SetString(PyExc_TypeError,
                        str_cat("argument 'next': expected bytes, got ", type_name(next)).c_str());
        return nullptr;
      }
      first = ByteView(reinterpret_cast<const std::uint8_t*>(PyBytes_AsString(next)),
                       static_cast<std::size_t>(PyBytes_Size(next)));
    }
    Status fits;
    {
      NoGil unlocked;
      fits = use.engine().check_frame_room(static_cast<std::size_t>(frames),
                                           level.value_or(use.state().level), first);
    }
    return use.none_or_raise(fits);
  });
}

// ---- bulk writes --------------------------------------------------------------------------

constexpr const char* kBulkOptions[] = {"frame_records", "frame_bytes", "level", "threads"};

// Converts the four bulk options bound at `bound`.
bool to_bulk_options(PyObject* const* bound, const WriterState& state, BulkOptions* out) {
  std::optional<std::uint64_t> records;
  std::optional<std::uint64_t> bytes = kDefaultFrameBytes;
  std::optional<std::int32_t> level;
  std::size_t threads = 0;
  if (!convert_arg(kBulkOptions[0], bound[0], to_optional<std::uint64_t, to_u64>, &records) ||
      !convert_arg(kBulkOptions[1], bound[1], to_optional<std::uint64_t, to_u64>, &bytes) ||
      !convert_arg(kBulkOptions[2], bound[2], to_optional<std::int32_t, to_i32>, &level) ||
      !convert_arg(kBulkOptions[3], bound[3] ? bound[3] : Py_None, to_threads, &threads)) {
    return false;
  }
  out->frame_records = records.value_or(0);
  out->frame_bytes = bytes.value_or(0);
  out->level = level.value_or(state.level);
  out->threads = threads;
  return true;
}

PyObject* write_fixed_at_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"address",     "length", "frame_records",
                                              "frame_bytes", "level",  "threads"};
    static constexpr Signature kSig{"write_fixed_at", kParams, 2, false, 2};
    PyObject* bound[6];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    Use use(self);
    if (!use) return nullptr;
    ByteView data;
    BulkOptions options;
    if (!to_view(bound[0], bound[1], &data) || !to_bulk_options(bound + 2, use.state(), &options)) {
      return nullptr;
    }
    Result<std::vector<Frame>> frames = fail(Error::io_eof());
    {
      NoGil unlocked;
      frames = bulk_write_fixed(use.engine(), data, next_id(use.engine()), options);
    }
    if (!frames) return use.raise(frames.error());
    return new_frame_tuples(*frames);
  });
}

PyObject* write_bodies_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"bodies", "frame_records", "frame_bytes", "level",
                                              "threads"};
    static constexpr Signature kSig{"write_bodies", kParams, 1, false, 1};
    PyObject* bound[5];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    Use use(self);
    if (!use) return nullptr;
    BulkOptions options;
    if (!to_bulk_options(bound + 1, use.state(), &options)) return nullptr;
    // The tuple keeps every bytes body alive (and unchanged) while the lock is released;
    // bytearray bodies, which another thread could resize meanwhile, are copied first.
    Ref items = steal(PySequence_Tuple(bound[0]));
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
                        str_cat("argument 'bodies': item ", i,
                                ": expected bytes or bytearray, got ", type_name(body))
                            .c_str());
        return nullptr;
      }
    }
    Result<std::vector<Frame>> frames = fail(Error::io_eof());
    {
      NoGil unlocked;
      frames = bulk_write_bodies(use.engine(), views, next_id(use.engine()), options);
    }
    if (!frames) return use.raise(frames.error());
    return new_frame_tuples(*frames);
  });
}

// ---- close --------------------------------------------------------------------------------

PyObject* close_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!bind_args(Signature{"close", {}, 0}, args, kwargs, {})) return nullptr;
    if (!check_receiver(self)) return nullptr;
    WriterState& state = value_of<WriterState>(self);
    if (!check_owner(state)) return nullptr;
    if (!state.engine) Py_RETURN_NONE;
    if (state.busy) {
      PyErr_SetString(PyExc_RuntimeError, "writer is busy");
      return nullptr;
    }
    state.busy = true;
    Status flushed;
    {
      NoGil unlocked;
      flushed = state.engine->flush_data();
      // The file is released whether or not the flush worked: a failed write has nothing left
      // to retry it with once the caller is told.
      state.engine.reset();
    }
    state.busy = false;
    if (!flushed) return raise_engine_error(flushed.error(), state.path);
    Py_RETURN_NONE;
  });
}

PyObject* enter_method(PyObject* self, PyObject*) {
  Py_INCREF(self);
  return self;
}

PyObject* exit_method(PyObject* self, PyObject*, PyObject*) {
  Ref none = steal(PyTuple_New(0));
  if (!none) return nullptr;
  return close_method(self, none.get(), nullptr);
}

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
    {"create", as_cfunction(create_fn), kFlags | METH_STATIC,
     "create(path, schema, *, source='', writer='', created_at_millis=None, user=None, "
     "header_area=262144, level=3)\n--\n\nCreates a new file."},
    {"open", as_cfunction(open_fn), kFlags | METH_STATIC,
     "open(path, *, level=3)\n--\n\nOpens a file for appending."},
    {"append", as_cfunction(append_method), kFlags,
     "append($self, record)\n--\n\nAppends one record (bytes or bytearray)."},
    {"append_at", as_cfunction(append_at_method), kFlags,
     "append_at($self, address, length)\n--\n\nAppends one record from memory."},
    {"append_fixed_at", as_cfunction(append_fixed_at_method), kFlags,
     "append_fixed_at($self, address, length)\n--\n\nAppends fixed records from memory."},
    {"flush", as_cfunction(flush_method), kFlags, "flush($self)\n--\n\nWrites the buffer."},
    {"sync", as_cfunction(sync_method), kFlags,
     "sync($self)\n--\n\nWrites the buffer and syncs the data file."},
    {"close_frame", as_cfunction(close_frame_method), kFlags,
     "close_frame($self, frame_id=None, level=None)\n--\n\nCloses the tail into a frame."},
    {"seal", as_cfunction(seal_method), kFlags,
     "seal($self, frame_id=None, level=None)\n--\n\nCloses the tail and marks the file sealed."},
    {"set_user_header", as_cfunction(set_user_header_method), kFlags,
     "set_user_header($self, key, value)\n--\n\nSets a user header."},
    {"check_frame_room", as_cfunction(check_frame_room_method), kFlags,
     "check_frame_room($self, frames, *, next=None, level=None)\n--\n\nRaises "
     "DrelixZoneFullError unless the zone can list that many more frames."},
    {"write_fixed_at", as_cfunction(write_fixed_at_method), kFlags,
     "write_fixed_at($self, address, length, *, frame_records=None, frame_bytes=67108864, "
     "level=None, threads=None)\n--\n\nBulk write of fixed records as frames."},
    {"write_bodies", as_cfunction(write_bodies_method), kFlags,
     "write_bodies($self, bodies, *, frame_records=None, frame_bytes=67108864, level=None, "
     "threads=None)\n--\n\nBulk write of prefixed records as frames."},
    {"close", as_cfunction(close_method), kFlags, "close($self)\n--\n\nFlushes and releases."},
    {"__enter__", as_cfunction(enter_method), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_cfunction(exit_method), kFlags, "__exit__($self, *exc)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"path", getter<get_path>, nullptr, "The path as given.", nullptr},
    {"schema", getter<get_schema>, nullptr, "The file's schema (a _native.Schema).", nullptr},
    {"record_size", getter<get_record_size>, nullptr, "Bytes per fixed record, or None.", nullptr},
    {"level", getter<get_level>, set_level, "Default level of closes and bulk writes.", nullptr},
    {"headers", getter<get_headers>, nullptr, "Every header, in zone order.", nullptr},
    {"frames", getter<get_frames>, nullptr, "(id, offset, length, hash) per frame.", nullptr},
    {"records", getter<get_records>, nullptr, "Every record, buffered ones included.", nullptr},
    {"tail_records", getter<get_tail_records>, nullptr, "Records since the last close.", nullptr},
    {"tail_bytes", getter<get_tail_bytes>, nullptr, "Raw bytes since the last close.", nullptr},
    {"next_frame_id", getter<get_next_frame_id>, nullptr, "Id of the next close.", nullptr},
    {"closed", get_closed, nullptr, "Whether close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("A file open for appending; see Writer.create, Writer.open.")},
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "drelix_binary._engine.Writer", sizeof(ValueObject<WriterState>), 0, kValueTypeFlags, kSlots,
};

}  // namespace

PyTypeObject* writer_type() {
  return cached_type(g_type, kSpec);
}

}  // namespace drelix::py
