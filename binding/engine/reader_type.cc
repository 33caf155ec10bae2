// Reader: a file opened read-only, read by any number of threads at once with the interpreter
// lock released. The reads in progress (listed by thread, changed only under the lock) keep
// close() from pulling the file away from a read that is still running: close refuses new reads,
// then waits for the running ones to end.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "binding/common/args.h"
#include "binding/common/convert.h"
#include "binding/common/types.h"
#include "binding/common/value_type.h"
#include "binding/engine/engine.h"
#include "binding/engine/types.h"
#include "core/container.h"
#include "core/frame_read.h"
#include "core/str_cat.h"
#include "core/tail_read.h"

namespace drelix::py {

namespace {

struct TailInfo {
  std::uint64_t records = 0;
  std::uint64_t whole = 0;
  std::uint64_t torn = 0;
};

struct ReaderState {
  std::optional<Snapshot> snapshot;
  std::string path;
  // The threads running a read, one entry per read (a thread may appear more than once).
  std::vector<unsigned long> readers;
  // Set by close(): no new read starts.
  bool closing = false;
  std::optional<TailInfo> tail;
};

using ReaderObject = ValueObject<ReaderState>;

PyObject* g_type = nullptr;

// The discipline of every method: a Reader receiver that is still open; counts the read in
// progress until the method returns.
class Use {
 public:
  explicit Use(PyObject* self) {
    if (!is_instance(self, reader_type())) {
      PyErr_SetString(PyExc_TypeError, "expected a drelix_binary._engine.Reader receiver");
      return;
    }
    ReaderState& state = value_of<ReaderState>(self);
    if (!state.snapshot || state.closing) {
      raise_error(Error::usage("reader is closed"), IoForm::kErrno);
      return;
    }
    state.readers.push_back(PyThread_get_thread_ident());
    state_ = &state;
  }
  ~Use() {
    if (state_ == nullptr) return;
    auto& readers = state_->readers;
    readers.erase(std::find(readers.begin(), readers.end(), PyThread_get_thread_ident()));
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

  explicit operator bool() const { return state_ != nullptr; }
  const Container& engine() const { return state_->snapshot->container(); }
  const Snapshot& snapshot() const { return *state_->snapshot; }
  ReaderState& state() const { return *state_; }
  PyObject* raise(const Error& e) const { return raise_error(e, IoForm::kErrno, state_->path); }

 private:
  ReaderState* state_ = nullptr;
};

Result<TailInfo> compute_tail(const Snapshot& s) {
  const RecordLayout layout = s.container().schema().layout;
  const std::uint64_t len = s.tail_length();
  TailInfo info;
  if (layout.is_fixed()) {
    info.records = len / layout.size();
    info.whole = info.records * layout.size();
    info.torn = len - info.whole;
    return info;
  }
  DRELIX_ASSIGN_OR_RETURN(const Bytes tail, s.read_tail_records());
  info.whole = tail.size();
  info.torn = len - info.whole;
  for_each_record(tail, layout, [&](ByteView) { ++info.records; });
  return info;
}

// The tail's figures, computed once (GIL released) and kept.
Result<TailInfo> tail_of(const Use& use) {
  if (use.state().tail) return *use.state().tail;
  Result<TailInfo> info;
  {
    NoGil unlocked;
    info = compute_tail(use.snapshot());
  }
  if (info) use.state().tail = *info;
  return info;
}

Result<const Frame*> frame_at(const Container& c, std::uint64_t index) {
  if (index >= c.frames().size())
    return fail(Error::usage(str_cat("no frame at position ", index)));
  return &c.frames()[static_cast<std::size_t>(index)];
}

// Content sizes of the frames at `indices`; with `exact`, frames that declare none are decoded
// to measure them. Runs without the interpreter lock.
Result<std::vector<std::optional<std::uint64_t>>> sizes_of(
    const Container& c, const std::vector<std::uint64_t>& indices, bool exact) {
  std::vector<std::optional<std::uint64_t>> sizes;
  sizes.reserve(indices.size());
  for (const std::uint64_t i : indices) {
    DRELIX_ASSIGN_OR_RETURN(const Frame* f, frame_at(c, i));
    DRELIX_ASSIGN_OR_RETURN(std::optional<std::uint64_t> size, frame_content_size(c, *f));
    if (!size && exact) {
      DRELIX_ASSIGN_OR_RETURN(const Bytes content, read_checked(c, *f));
      size = content.size();
    }
    sizes.push_back(size);
  }
  return sizes;
}

std::vector<std::uint64_t> all_indices(const Container& c) {
  std::vector<std::uint64_t> indices(c.frames().size());
  for (std::size_t i = 0; i < indices.size(); ++i) indices[i] = i;
  return indices;
}

// ---- construction -------------------------------------------------------------------------

PyObject* reader_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"path"};
    static constexpr Signature kSig{"Reader", kParams, 1};
    PyObject* bound[1];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    std::string path;
    if (!convert_arg("path", bound[0], to_path, &path)) return nullptr;
    Result<Snapshot> opened = fail(Error::io_eof());
    {
      NoGil unlocked;
      opened = Snapshot::open(path);
    }
    if (!opened) return raise_error(opened.error(), IoForm::kErrno, path);
    return new_value(reader_type(), ReaderState{std::move(*opened), path, {}, false, std::nullopt});
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
PyObject* get_headers(const Use& u) {
  return new_headers(u.engine().headers());
}
PyObject* get_preamble(const Use& u) {
  return new_preamble(u.engine().preamble());
}
PyObject* get_frames(const Use& u) {
  return new_frame_tuples(u.engine().frames());
}
PyObject* get_data_start(const Use& u) {
  return PyLong_FromUnsignedLongLong(u.engine().data_start());
}
PyObject* get_tail_start(const Use& u) {
  return PyLong_FromUnsignedLongLong(u.engine().tail_start());
}
PyObject* get_file_length(const Use& u) {
  return PyLong_FromUnsignedLongLong(u.engine().data_end());
}

PyObject* get_closed(PyObject* self, void*) {
  if (!is_instance(self, reader_type())) {
    PyErr_SetString(PyExc_TypeError, "expected a drelix_binary._engine.Reader receiver");
    return nullptr;
  }
  const ReaderState& state = value_of<ReaderState>(self);
  return PyBool_FromLong(!state.snapshot || state.closing);
}

// ---- methods ------------------------------------------------------------------------------

constexpr int kFlags = METH_VARARGS | METH_KEYWORDS;

PyObject* tail_info_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!bind_args(Signature{"tail_info", {}, 0}, args, kwargs, {})) return nullptr;
    Use use(self);
    if (!use) return nullptr;
    const Result<TailInfo> info = tail_of(use);
    if (!info) return use.raise(info.error());
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>(info->records),
                         static_cast<unsigned long long>(info->whole),
                         static_cast<unsigned long long>(info->torn));
  });
}

PyObject* read_tail_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!bind_args(Signature{"read_tail", {}, 0}, args, kwargs, {})) return nullptr;
    Use use(self);
    if (!use) return nullptr;
    Result<Bytes> tail = fail(Error::io_eof());
    {
      NoGil unlocked;
      tail = use.snapshot().read_tail_records();
    }
    if (!tail) return use.raise(tail.error());
    return new_bytes(tail->data(), tail->size());
  });
}

PyObject* read_tail_at_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"offset", "length"};
    static constexpr Signature kSig{"read_tail_at", kParams, 2};
    PyObject* bound[2];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    if (!convert_arg("offset", bound[0], to_u64, &offset) ||
        !convert_arg("length", bound[1], to_u64, &length)) {
      return nullptr;
    }
    Use use(self);
    if (!use) return nullptr;
    if (length > use.snapshot().tail_length()) {
      return use.raise(Error::usage(
          str_cat("the tail holds ", use.snapshot().tail_length(), " bytes, not ", length)));
    }
    Ref result = steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
    if (!result) return nullptr;
    // Nobody else can see the new object yet, so it is filled without the lock.
    const std::span<std::uint8_t> out(
        reinterpret_cast<std::uint8_t*>(PyBytes_AsString(result.get())),
        static_cast<std::size_t>(length));
    Status read;
    {
      NoGil unlocked;
      read = use.snapshot().read_tail(offset, out);
    }
    if (!read) return use.raise(read.error());
    return release(std::move(result));
  });
}

PyObject* read_tail_into_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"offset", "address", "length"};
    static constexpr Signature kSig{"read_tail_into", kParams, 3};
    PyObject* bound[3];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    std::uint64_t offset = 0;
    std::span<std::uint8_t> out;
    if (!convert_arg("offset", bound[0], to_u64, &offset) || !to_region(bound[1], bound[2], &out)) {
      return nullptr;
    }
    Use use(self);
    if (!use) return nullptr;
    Status read;
    {
      NoGil unlocked;
      read = use.snapshot().read_tail(offset, out);
    }
    if (!read) return use.raise(read.error());
    Py_RETURN_NONE;
  });
}

PyObject* content_sizes_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"indices", "exact"};
    static constexpr Signature kSig{"content_sizes", kParams, 0, false, 1};
    PyObject* bound[2];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    // Arguments are converted before the read starts: converting may run Python code, which
    // must not find the reader in the middle of a read of its own thread.
    std::vector<std::uint64_t> indices;
    bool exact = false;
    const bool all = bound[0] == nullptr || bound[0] == Py_None;
    if (!all && !convert_arg("indices", bound[0], to_indices, &indices)) return nullptr;
    if (!convert_arg("exact", bound[1], to_bool, &exact)) return nullptr;
    Use use(self);
    if (!use) return nullptr;
    if (all) indices = all_indices(use.engine());
    Result<std::vector<std::optional<std::uint64_t>>> sizes = fail(Error::io_eof());
    {
      NoGil unlocked;
      sizes = sizes_of(use.engine(), indices, exact);
    }
    if (!sizes) return use.raise(sizes.error());
    Ref list = steal(PyList_New(static_cast<Py_ssize_t>(sizes->size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < sizes->size(); ++i) {
      PyObject* item;
      if ((*sizes)[i]) {
        item = PyLong_FromUnsignedLongLong(*(*sizes)[i]);
        if (item == nullptr) return nullptr;
      } else {
        item = Py_None;
        Py_INCREF(item);
      }
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return release(std::move(list));
  });
}

// The whole of read_into once the arguments are known; runs without the interpreter lock.
Result<std::uint64_t> read_into(const Snapshot& s, const std::vector<std::uint64_t>& indices,
                                std::span<std::uint8_t> out, const std::optional<TailInfo>& tail,
                                std::size_t threads) {
  const Container& c = s.container();
  DRELIX_ASSIGN_OR_RETURN(const auto sizes, sizes_of(c, indices, true));
  std::vector<FrameSlot> slots;
  slots.reserve(indices.size());
  std::uint64_t at = 0;
  for (std::size_t k = 0; k < indices.size(); ++k) {
    slots.push_back(FrameSlot{&c.frames()[static_cast<std::size_t>(indices[k])], at, *sizes[k]});
    at = sat_add(at, *sizes[k]);
  }
  const std::uint64_t total = sat_add(at, tail ? tail->whole : 0);
  if (total != out.size()) {
    return fail(Error::usage(
        str_cat("the output is ", out.size(), " bytes, the frames and tail hold ", total)));
  }
  DRELIX_TRY(decode_frames_into(c, slots, out.first(static_cast<std::size_t>(at)), threads));
  if (tail && tail->whole > 0) {
    const std::span<std::uint8_t> dest = out.subspan(static_cast<std::size_t>(at));
    if (c.schema().layout.is_fixed()) {
      DRELIX_TRY(s.read_tail(0, dest));
    } else {
      DRELIX_ASSIGN_OR_RETURN(const Bytes bytes, s.read_tail_records());
      if (bytes.size() != dest.size()) return fail(Error::malformed("the tail changed"));
      std::memcpy(dest.data(), bytes.data(), bytes.size());
    }
  }
  return total;
}

PyObject* read_into_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"indices", "address", "length", "tail", "threads"};
    static constexpr Signature kSig{"read_into", kParams, 3, false, 3};
    PyObject* bound[5];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    std::vector<std::uint64_t> indices;
    std::span<std::uint8_t> out;
    bool with_tail = false;
    std::size_t threads = 0;
    if (!convert_arg("indices", bound[0], to_indices, &indices) ||
        !to_region(bound[1], bound[2], &out) ||
        !convert_arg("tail", bound[3], to_bool, &with_tail) ||
        !convert_arg("threads", bound[4] ? bound[4] : Py_None, to_threads, &threads)) {
      return nullptr;
    }
    Use use(self);
    if (!use) return nullptr;
    for (const std::uint64_t i : indices) {
      if (const Result<const Frame*> f = frame_at(use.engine(), i); !f) return use.raise(f.error());
    }
    std::optional<TailInfo> tail;
    if (with_tail) {
      const Result<TailInfo> info = tail_of(use);
      if (!info) return use.raise(info.error());
      tail = *info;
    }
    Result<std::uint64_t> written = fail(Error::io_eof());
    {
      NoGil unlocked;
      written = read_into(use.snapshot(), indices, out, tail, threads);
    }
    if (!written) return use.raise(written.error());
    return PyLong_FromUnsignedLongLong(*written);
  });
}

// read_frame in two steps without the interpreter lock around a bytes object allocated with it
// in between, so that the content is decoded straight into the object the caller gets.
PyObject* read_frame_into_bytes(const Use& use, std::uint64_t index) {
  const Container& c = use.engine();
  const Result<const Frame*> frame = frame_at(c, index);
  if (!frame) return use.raise(frame.error());
  Bytes stored;
  Status read;
  std::optional<std::uint64_t> size;
  {
    NoGil unlocked;
    read = read_stored_checked(c, **frame, stored);
    if (read) size = content_size_of(stored);
  }
  if (!read) return use.raise(read.error());
  if (!size) {
    // No declared size: the decoder grows its own buffer, and the content is copied once.
    Result<Bytes> content = fail(Error::io_eof());
    {
      NoGil unlocked;
      content = read_checked(c, **frame);
    }
    if (!content) return use.raise(content.error());
    return new_bytes(content->data(), content->size());
  }
  Ref result = steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(*size)));
  if (!result) return nullptr;
  // Nobody else can see the new object yet, so it is filled without the lock.
  const std::span<std::uint8_t> out(reinterpret_cast<std::uint8_t*>(PyBytes_AsString(result.get())),
                                    static_cast<std::size_t>(*size));
  Status decoded;
  {
    NoGil unlocked;
    decoded = decode_into(**frame, stored, out);
  }
  if (!decoded) return use.raise(decoded.error());
  return release(std::move(result));
}

PyObject* read_frame_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"index"};
    static constexpr Signature kSig{"read_frame", kParams, 1};
    PyObject* bound[1];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    std::uint64_t index = 0;
    if (!convert_arg("index", bound[0], to_u64, &index)) return nullptr;
    Use use(self);
    if (!use) return nullptr;
    return read_frame_into_bytes(use, index);
  });
}

Result<std::uint64_t> count_frame_records(const Container& c, std::uint64_t index) {
  DRELIX_ASSIGN_OR_RETURN(const Frame* f, frame_at(c, index));
  DRELIX_ASSIGN_OR_RETURN(const Bytes content, read_checked(c, *f));
  std::uint64_t records = 0;
  const std::uint64_t torn =
      for_each_record(content, c.schema().layout, [&](ByteView) { ++records; });
  if (torn != 0) return fail(Error::malformed(str_cat("frame ", f->id, ": ", torn, " torn bytes")));
  return records;
}

// (whole records, torn bytes at the end) of frame `index`'s content.
Result<std::pair<std::uint64_t, std::uint64_t>> frame_record_counts(const Container& c,
                                                                    std::uint64_t index) {
  DRELIX_ASSIGN_OR_RETURN(const Frame* f, frame_at(c, index));
  DRELIX_ASSIGN_OR_RETURN(const Bytes content, read_checked(c, *f));
  std::uint64_t records = 0;
  const std::uint64_t torn =
      for_each_record(content, c.schema().layout, [&](ByteView) { ++records; });
  return std::pair{records, torn};
}

PyObject* record_counts_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"index"};
    static constexpr Signature kSig{"record_counts", kParams, 1};
    PyObject* bound[1];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    std::uint64_t index = 0;
    if (!convert_arg("index", bound[0], to_u64, &index)) return nullptr;
    Use use(self);
    if (!use) return nullptr;
    Result<std::pair<std::uint64_t, std::uint64_t>> counts = fail(Error::io_eof());
    {
      NoGil unlocked;
      counts = frame_record_counts(use.engine(), index);
    }
    if (!counts) return use.raise(counts.error());
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(counts->first),
                         static_cast<unsigned long long>(counts->second));
  });
}

PyObject* count_records_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"index"};
    static constexpr Signature kSig{"count_records", kParams, 1};
    PyObject* bound[1];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    std::uint64_t index = 0;
    if (!convert_arg("index", bound[0], to_u64, &index)) return nullptr;
    Use use(self);
    if (!use) return nullptr;
    Result<std::uint64_t> count = fail(Error::io_eof());
    {
      NoGil unlocked;
      count = count_frame_records(use.engine(), index);
    }
    if (!count) return use.raise(count.error());
    return PyLong_FromUnsignedLongLong(*count);
  });
}

PyObject* close_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    if (!bind_args(Signature{"close", {}, 0}, args, kwargs, {})) return nullptr;
    if (!is_instance(self, reader_type())) {
      PyErr_SetString(PyExc_TypeError, "expected a drelix_binary._engine.Reader receiver");
      return nullptr;
    }
    ReaderState& state = value_of<ReaderState>(self);
    const unsigned long me = PyThread_get_thread_ident();
    if (std::ranges::find(state.readers, me) != state.readers.end()) {
      // Only Python code run from inside one of our own reads could get here; waiting for
      // that read would wait for ourselves.
      PyErr_SetString(PyExc_RuntimeError, "cannot close a reader from inside one of its reads");
      return nullptr;
    }
    // No read starts from now on; the running ones (other threads, prefetches) finish with the
    // file still open. `readers` changes only under the interpreter lock, which is given up
    // while waiting so that they can end.
    state.closing = true;
    while (!state.readers.empty()) {
      NoGil unlocked;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    state.snapshot.reset();
    Py_RETURN_NONE;
  });
}

PyObject* enter_method(PyObject* self, PyObject*) {
  Py_INCREF(self);
  return self;
}

PyObject* exit_method(PyObject* self, PyObject* args, PyObject*) {
  (void)args;
  Ref none = steal(PyTuple_New(0));
  if (!none) return nullptr;
  return close_method(self, none.get(), nullptr);
}

PyMethodDef kMethods[] = {
    {"tail_info", as_cfunction(tail_info_method), kFlags,
     "tail_info($self)\n--\n\n(records, whole_bytes, torn_bytes) of the tail."},
    {"read_tail", as_cfunction(read_tail_method), kFlags,
     "read_tail($self)\n--\n\nThe tail's whole records, on-disk form."},
    {"content_sizes", as_cfunction(content_sizes_method), kFlags,
     "content_sizes($self, indices=None, *, exact=False)\n--\n\n"
     "Content size of each frame from its first bytes."},
    {"read_into", as_cfunction(read_into_method), kFlags,
     "read_into($self, indices, address, length, *, tail=False, threads=None)\n--\n\n"
     "Decodes frames in parallel into caller-owned memory."},
    {"read_frame", as_cfunction(read_frame_method), kFlags,
     "read_frame($self, index)\n--\n\nOne frame's content, checked and decoded."},
    {"read_tail_at", as_cfunction(read_tail_at_method), kFlags,
     "read_tail_at($self, offset, length)\n--\n\n"
     "Tail bytes from `offset`, checked to be as they were at open."},
    {"read_tail_into", as_cfunction(read_tail_into_method), kFlags,
     "read_tail_into($self, offset, address, length)\n--\n\n"
     "read_tail_at into caller-owned memory."},
    {"record_counts", as_cfunction(record_counts_method), kFlags,
     "record_counts($self, index)\n--\n\n(whole records, torn bytes) of one frame."},
    {"count_records", as_cfunction(count_records_method), kFlags,
     "count_records($self, index)\n--\n\nWhole records in one frame."},
    {"close", as_cfunction(close_method), kFlags, "close($self)\n--\n\nReleases the file."},
    {"__enter__", as_cfunction(enter_method), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_cfunction(exit_method), kFlags, "__exit__($self, *exc)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"path", getter<get_path>, nullptr, "The path as opened.", nullptr},
    {"schema", getter<get_schema>, nullptr, "The file's schema (a _native.Schema).", nullptr},
    {"record_size", getter<get_record_size>, nullptr, "Bytes per fixed record, or None.", nullptr},
    {"headers", getter<get_headers>, nullptr, "Every header, in zone order.", nullptr},
    {"preamble", getter<get_preamble>, nullptr, "(version, flags, header_area).", nullptr},
    {"frames", getter<get_frames>, nullptr, "(id, offset, length, hash) per frame.", nullptr},
    {"data_start", getter<get_data_start>, nullptr, "Offset of the data section.", nullptr},
    {"tail_start", getter<get_tail_start>, nullptr, "Offset past the last frame.", nullptr},
    {"file_length", getter<get_file_length>, nullptr, "File length at open.", nullptr},
    {"closed", get_closed, nullptr, "Whether close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Reader(path)\n--\n\nA file opened read-only.")},
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(value_dealloc<ReaderState>)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "drelix_binary._engine.Reader", sizeof(ReaderObject), 0, kValueTypeFlags, kSlots,
};

}  // namespace

PyTypeObject* reader_type() {
  return cached_type(g_type, kSpec);
}

}  // namespace drelix::py
