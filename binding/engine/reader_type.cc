// Reader: a file opened read-only, read by any number of threads at once with the interpreter
// lock released. A count of reads in progress (changed only under the lock) keeps close() from
// pulling the file away from a read that is still running.
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/args.h"
#include "binding/convert.h"
#include "binding/engine/engine.h"
#include "binding/engine/types.h"
#include "binding/value_type.h"
#include "core/container.h"
#include "core/frame_read.h"
#include "core/str_cat.h"

namespace drelix::py {

namespace {

struct TailInfo {
  std::uint64_t records = 0;
  std::uint64_t whole = 0;
  std::uint64_t torn = 0;
};

struct ReaderState {
  std::optional<Container> engine;
  std::string path;
  long active = 0;
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
    if (!state.engine) {
      raise_error(Error::usage("reader is closed"));
      return;
    }
    ++state.active;
    state_ = &state;
  }
  ~Use() {
    if (state_ != nullptr) --state_->active;
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

  explicit operator bool() const { return state_ != nullptr; }
  Container& engine() const { return *state_->engine; }
  ReaderState& state() const { return *state_; }
  PyObject* raise(const Error& e) const { return raise_engine_error(e, state_->path); }

 private:
  ReaderState* state_ = nullptr;
};

Result<TailInfo> compute_tail(const Container& c) {
  const RecordLayout layout = c.schema().layout;
  const std::uint64_t start = c.tail_start();
  const std::uint64_t len = c.data_end() > start ? c.data_end() - start : 0;
  TailInfo info;
  if (layout.is_fixed()) {
    info.records = len / layout.size();
    info.whole = info.records * layout.size();
    info.torn = len - info.whole;
    return info;
  }
  DRELIX_ASSIGN_OR_RETURN(const Bytes tail, c.read_tail());
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
    info = compute_tail(use.engine());
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

// The frame list must keep the order rule: out of file order, or listing bytes twice, it would
// have reads return one frame's bytes as another's records or as the tail's.
Result<Container> checked_frame_order(Result<Container> opened) {
  if (opened) {
    if (Status order = check_frame_order(opened->frames()); !order) {
      return fail(Error::malformed(str_cat(order.error().message(),
                                           "; run rebuild_headers to derive the frame list")));
    }
  }
  return opened;
}

PyObject* reader_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"path"};
    static constexpr Signature kSig{"Reader", kParams, 1};
    PyObject* bound[1];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    std::string path;
    if (!convert_arg("path", bound[0], to_path, &path)) return nullptr;
    Result<Container> opened = fail(Error::io_eof());
    {
      NoGil unlocked;
      opened = checked_frame_order(Container::open_read(path));
    }
    if (!opened) return raise_engine_error(opened.error(), path);
    return new_value(reader_type(), ReaderState{std::move(*opened), path, 0, std::nullopt});
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
  const Preamble& p = u.engine().preamble();
  return Py_BuildValue("(iik)", int{p.version}, int{p.flags},
                       static_cast<unsigned long>(p.header_area));
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
  return PyBool_FromLong(!value_of<ReaderState>(self).engine.has_value());
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
      tail = use.engine().read_tail();
    }
    if (!tail) return use.raise(tail.error());
    return new_bytes(tail->data(), tail->size());
  });
}

PyObject* content_sizes_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"indices", "exact"};
    static constexpr Signature kSig{"content_sizes", kParams, 0, false, 1};
    PyObject* bound[2];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    Use use(self);
    if (!use) return nullptr;
    std::vector<std::uint64_t> indices;
    bool exact = false;
    if (bound[0] != nullptr && bound[0] != Py_None) {
      if (!convert_arg("indices", bound[0], to_indices, &indices)) return nullptr;
    } else {
      indices = all_indices(use.engine());
    }
    if (!convert_arg("exact", bound[1], to_bool, &exact)) return nullptr;
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
Result<std::uint64_t> read_into(const Container& c, const std::vector<std::uint64_t>& indices,
                                std::span<std::uint8_t> out, const std::optional<TailInfo>& tail,
                                std::size_t threads) {
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
      DRELIX_TRY(c.read_exact_at(c.tail_start(), dest));
    } else {
      DRELIX_ASSIGN_OR_RETURN(const Bytes bytes, c.read_tail());
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
    Use use(self);
    if (!use) return nullptr;
    std::vector<std::uint64_t> indices;
    std::uint64_t address = 0;
    std::uint64_t length = 0;
    bool with_tail = false;
    std::size_t threads = 0;
    if (!convert_arg("indices", bound[0], to_indices, &indices) ||
        !convert_arg("address", bound[1], to_u64, &address) ||
        !convert_arg("length", bound[2], to_u64, &length) ||
        !convert_arg("tail", bound[3], to_bool, &with_tail) ||
        !convert_arg("threads", bound[4] ? bound[4] : Py_None, to_threads, &threads)) {
      return nullptr;
    }
    if (length > 0 && address == 0) {
      PyErr_SetString(PyExc_ValueError, "address is 0");
      return nullptr;
    }
    for (const std::uint64_t i : indices) {
      if (const Result<const Frame*> f = frame_at(use.engine(), i); !f) return use.raise(f.error());
    }
    std::optional<TailInfo> tail;
    if (with_tail) {
      const Result<TailInfo> info = tail_of(use);
      if (!info) return use.raise(info.error());
      tail = *info;
    }
    const std::span<std::uint8_t> out(reinterpret_cast<std::uint8_t*>(address),
                                      static_cast<std::size_t>(length));
    Result<std::uint64_t> written = fail(Error::io_eof());
    {
      NoGil unlocked;
      written = read_into(use.engine(), indices, out, tail, threads);
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
    Use use(self);
    if (!use) return nullptr;
    std::uint64_t index = 0;
    if (!convert_arg("index", bound[0], to_u64, &index)) return nullptr;
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

PyObject* count_records_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"index"};
    static constexpr Signature kSig{"count_records", kParams, 1};
    PyObject* bound[1];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    Use use(self);
    if (!use) return nullptr;
    std::uint64_t index = 0;
    if (!convert_arg("index", bound[0], to_u64, &index)) return nullptr;
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
    if (state.active > 0) {
      PyErr_SetString(PyExc_RuntimeError, "cannot close a reader while a read is running");
      return nullptr;
    }
    state.engine.reset();
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
