// Reader: a file opened read-only, read by any number of threads at once with the interpreter
// lock released. The reads in progress (listed by thread, changed only under the lock) keep
// close() from pulling the file away from a read that is still running: close refuses new reads,
// then waits for the running ones to end.
#include <algorithm>
#include <chrono>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "binding/engine/object_file.h"
#include "binding/engine/types.h"
#include "binding/engine/use.h"
#include "core/frame_read.h"
#include "core/str_cat.h"
#include "core/tail_read.h"
#include "core/thread_pool.h"

namespace drelix::py {

namespace {

struct ReaderState {
  static constexpr const char* kQualifiedName = "drelix_binary._engine.Reader";
  static PyTypeObject* type() { return reader_type(); }

  // Held by address: a read running without the interpreter lock keeps a reference to the
  // snapshot it began with while refresh() puts a new one here.
  std::unique_ptr<Snapshot> snapshot;
  std::string path;
  // The threads running a read, one entry per read (a thread may appear more than once).
  std::vector<unsigned long> readers;
  // Set by close(): no new read starts.
  bool closing = false;
  std::optional<RecordCount> tail;
  // Snapshots refresh() replaced, kept until no read that may use them runs.
  std::vector<std::unique_ptr<Snapshot>> retired;

  bool closed() const { return !snapshot || closing; }
  const Container& container() const { return snapshot->container(); }
  bool enter() {
    if (closed()) {
      raise_error(Error::usage("reader is closed"), IoForm::kErrno);
      return false;
    }
    readers.push_back(PyThread_get_thread_ident());
    return true;
  }
  void leave() {
    readers.erase(std::ranges::find(readers, PyThread_get_thread_ident()));
    if (readers.empty()) retired.clear();
  }
  PyObject* close();
};

using Using = Use<ReaderState>;

PyObject* ReaderState::close() {
  if (std::ranges::find(readers, PyThread_get_thread_ident()) != readers.end()) {
    // Only Python code run from inside one of our own reads could get here; waiting for that
    // read would wait for ourselves.
    PyErr_SetString(PyExc_RuntimeError, "cannot close a reader from inside one of its reads");
    return nullptr;
  }
  // No read starts from now on; the running ones (other threads, prefetches) finish with the
  // file still open. `readers` changes only under the interpreter lock, which is given up while
  // waiting so that they can end.
  closing = true;
  while (!readers.empty()) {
    NoGil unlocked;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  snapshot.reset();
  Py_RETURN_NONE;
}

// The tail's figures, computed once (without the interpreter lock) and kept.
Result<RecordCount> tail_of(const Using& use) {
  std::optional<RecordCount>& kept = use.state().tail;
  if (kept) return *kept;
  const Snapshot& s = *use.state().snapshot;
  Result<RecordCount> info = unlocked([&] { return s.count_tail(); });
  if (info) kept = *info;
  return info;
}

PyObject* new_bytes_of(const Bytes& bytes) {
  return new_bytes(bytes.data(), bytes.size());
}

// ---- construction -------------------------------------------------------------------------

constexpr const char* kNewParams[] = {"path", "length", "fetch"};
constexpr Signature kNewSig{"Reader", kNewParams, 1, false, 1};

// A file on this machine by path, or (with `fetch`) an object of `length` bytes that
// fetch(offset, size) reads by range, named `path` in messages.
Result<Snapshot> open_snapshot(const std::string& path, std::uint64_t length, PyObject* fetch) {
  if (fetch == Py_None) return unlocked([&] { return Snapshot::open(path); });
  std::shared_ptr<File> object = object_file(length, fetch);
  return unlocked([&] { return Snapshot::open_object(std::move(object), path); });
}

PyObject* reader_new_body(PyObject*, const Args& args) {
  std::string path;
  std::uint64_t length = 0;
  if (!args.get(0, to_path, &path)) return nullptr;
  if (args[1] != Py_None && !args.get(1, to_u64, &length)) return nullptr;
  if (!check_object_args("Reader", args[1], args[2])) return nullptr;
  Result<Snapshot> opened = open_snapshot(path, length, args[2]);
  if (!opened) return raise_engine_error(opened.error(), path);
  return new_value(
      reader_type(),
      ReaderState{
          std::make_unique<Snapshot>(std::move(*opened)), path, {}, false, std::nullopt, {}});
}

PyObject* reader_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  return call<kNewSig, reader_new_body>(nullptr, args, kwargs);
}

// ---- reads of the tail --------------------------------------------------------------------

constexpr Signature kRecordCountSig{"tail_info", {}, 0};

PyObject* tail_info(PyObject* self, const Args&) {
  Using use(self);
  if (!use) return nullptr;
  return use.reply(tail_of(use), [](const RecordCount& t) {
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>(t.records),
                         static_cast<unsigned long long>(t.whole_bytes),
                         static_cast<unsigned long long>(t.torn));
  });
}

constexpr Signature kReadTailSig{"read_tail", {}, 0};

PyObject* read_tail(PyObject* self, const Args&) {
  Using use(self);
  if (!use) return nullptr;
  const Snapshot& s = *use.state().snapshot;
  return use.reply(unlocked([&] { return s.read_tail_records(); }), new_bytes_of);
}

constexpr const char* kTailAtParams[] = {"offset", "length"};
constexpr Signature kReadTailAtSig{"read_tail_at", kTailAtParams, 2};

PyObject* read_tail_at(PyObject* self, const Args& args) {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  if (!args.get(0, to_u64, &offset) || !args.get(1, to_u64, &length)) return nullptr;
  Using use(self);
  if (!use) return nullptr;
  const Snapshot& s = *use.state().snapshot;
  // Checked before the bytes object is made, so a wild length allocates nothing.
  if (length > s.tail_length()) {
    return use.raise(
        Error::usage(str_cat("the tail holds ", s.tail_length(), " bytes, not ", length)));
  }
  Ref result = steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
  if (!result) return nullptr;
  // Nobody else can see the new object yet, so it is filled without the lock.
  const std::span<std::uint8_t> out(reinterpret_cast<std::uint8_t*>(PyBytes_AsString(result.get())),
                                    static_cast<std::size_t>(length));
  const Status read = unlocked([&] { return s.read_tail(offset, out); });
  if (!read) return use.raise(read.error());
  return release(std::move(result));
}

constexpr const char* kTailIntoParams[] = {"offset", "address", "length"};
constexpr Signature kReadTailIntoSig{"read_tail_into", kTailIntoParams, 3};

PyObject* read_tail_into(PyObject* self, const Args& args) {
  std::uint64_t offset = 0;
  std::span<std::uint8_t> out;
  if (!args.get(0, to_u64, &offset) || !args.region(1, &out)) return nullptr;
  Using use(self);
  if (!use) return nullptr;
  const Snapshot& s = *use.state().snapshot;
  return use.none_or_raise(unlocked([&] { return s.read_tail(offset, out); }));
}

// ---- reads of frames ----------------------------------------------------------------------

// The whole of read_into once the arguments are known; runs without the interpreter lock.
Result<std::uint64_t> read_into(const Snapshot& s, const std::vector<std::uint64_t>& indices,
                                std::span<std::uint8_t> out, const std::optional<RecordCount>& tail,
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
  const std::uint64_t total = sat_add(at, tail ? tail->whole_bytes : 0);
  if (total != out.size()) {
    return fail(Error::usage(
        str_cat("the output is ", out.size(), " bytes, the frames and tail hold ", total)));
  }
  DRELIX_TRY(decode_frames_into(c, slots, out.first(static_cast<std::size_t>(at)), threads));
  // The tail's whole records are its first `whole_bytes` bytes; the read checks the file is still
  // the one they were counted in.
  if (tail) DRELIX_TRY(s.read_tail(0, out.subspan(static_cast<std::size_t>(at))));
  return total;
}

constexpr const char* kReadIntoParams[] = {"indices", "address", "length", "tail", "threads"};
constexpr Signature kReadIntoSig{"read_into", kReadIntoParams, 3, false, 3};

PyObject* read_into_method(PyObject* self, const Args& args) {
  std::vector<std::uint64_t> indices;
  std::span<std::uint8_t> out;
  bool with_tail = false;
  std::size_t threads = ThreadPool::default_threads();
  if (!args.get(0, to_indices, &indices) || !args.region(1, &out) ||
      !args.get(3, to_bool, &with_tail) || !args.get(4, to_threads, &threads)) {
    return nullptr;
  }
  Using use(self);
  if (!use) return nullptr;
  for (const std::uint64_t i : indices) {
    if (const Result<const Frame*> f = frame_at(use.container(), i); !f) {
      return use.raise(f.error());
    }
  }
  std::optional<RecordCount> tail;
  if (with_tail) {
    const Result<RecordCount> info = tail_of(use);
    if (!info) return use.raise(info.error());
    tail = *info;
  }
  const Snapshot& s = *use.state().snapshot;
  return use.reply(unlocked([&] { return read_into(s, indices, out, tail, threads); }),
                   PyLong_FromUnsignedLongLong);
}

// A method taking one frame index: `Read(use, index)` once the reader admits the call.
template <PyObject* (*Read)(const Using&, std::uint64_t)>
PyObject* frame_method(PyObject* self, const Args& args) {
  std::uint64_t index = 0;
  if (!args.get(0, to_u64, &index)) return nullptr;
  Using use(self);
  if (!use) return nullptr;
  return Read(use, index);
}

constexpr const char* kIndexParam[] = {"index"};
constexpr Signature kReadFrameSig{"read_frame", kIndexParam, 1};

PyObject* read_frame(const Using& use, std::uint64_t index) {
  // The content is decoded straight into the bytes object the caller gets: the engine asks for
  // it once it knows the size, and it is made then, with the lock taken back for that moment.
  // Nobody else can see it before it is returned, so it is filled without the lock.
  Ref content;
  const auto allocate = [&](std::size_t size) -> Result<std::span<std::uint8_t>> {
    const PyGILState_STATE gil = PyGILState_Ensure();
    content = steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    char* data = content ? PyBytes_AsString(content.get()) : nullptr;
    PyGILState_Release(gil);
    if (data == nullptr) return fail(Error::io(ENOMEM));
    return std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(data), size);
  };
  const Container& c = use.container();
  const Result<std::size_t> read = unlocked([&] { return c.read_frame_at_into(index, allocate); });
  // A failed allocation left its own exception (MemoryError, OverflowError).
  if (!read) return PyErr_Occurred() ? nullptr : use.raise(read.error());
  return release(std::move(content));
}

// (whole records, torn bytes at the end) of frame `index`'s content.
Result<std::pair<std::uint64_t, std::uint64_t>> frame_record_counts(const Container& c,
                                                                    std::uint64_t index) {
  DRELIX_ASSIGN_OR_RETURN(const Bytes content, c.read_frame_at(index));
  const RecordCount count = count_records(content, c.schema().layout);
  return std::pair{count.records, count.torn};
}

constexpr Signature kRecordCountsSig{"record_counts", kIndexParam, 1};

PyObject* record_counts(const Using& use, std::uint64_t index) {
  const Container& c = use.container();
  return use.reply(unlocked([&] { return frame_record_counts(c, index); }), [](const auto& counts) {
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(counts.first),
                         static_cast<unsigned long long>(counts.second));
  });
}

// ---- refresh -------------------------------------------------------------------------------

constexpr Signature kRefreshSig{"refresh", {}, 0};

// What the reader's Python side needs of a refreshed snapshot: the frames from `first` on and
// their content sizes (never every frame again: a follower refreshes many times a second).
PyObject* refresh_reply(const Container& c, std::size_t first, bool reopened,
                        const std::vector<std::optional<std::uint64_t>>& sizes) {
  const std::vector<Frame> added(c.frames().begin() + static_cast<std::ptrdiff_t>(first),
                                 c.frames().end());
  Ref frames = steal(new_frame_tuples(added));
  Ref size_list = steal(new_list(sizes.size(), [&](std::size_t i) {
    return sizes[i] ? PyLong_FromUnsignedLongLong(*sizes[i]) : new_ref(Py_None);
  }));
  Ref headers = steal(new_header_dict(c.headers()));
  if (!frames || !size_list || !headers) return nullptr;
  return Py_BuildValue("(OOOOKK)", reopened ? Py_True : Py_False, frames.get(), size_list.get(),
                       headers.get(), static_cast<unsigned long long>(c.tail_start()),
                       static_cast<unsigned long long>(c.data_end()));
}

PyObject* refresh(PyObject* self, const Args&) {
  Using use(self);
  if (!use) return nullptr;
  ReaderState& state = use.state();
  const Snapshot& s = *state.snapshot;
  auto refreshed = unlocked([&] { return s.refresh(); });
  if (!refreshed) return use.raise(refreshed.error());
  if (!*refreshed) Py_RETURN_NONE;
  const bool reopened = (*refreshed)->reopened;
  auto next = std::make_unique<Snapshot>(std::move((*refreshed)->snapshot));
  const Container& c = next->container();
  const std::size_t first = reopened ? 0 : s.container().frames().size();
  std::vector<std::uint64_t> indices(c.frames().size() - first);
  std::iota(indices.begin(), indices.end(), first);
  const auto sizes = unlocked([&] { return sizes_of(c, indices, false); });
  if (!sizes) return use.raise(sizes.error());
  PyObject* reply = refresh_reply(c, first, reopened, *sizes);
  if (reply == nullptr) return nullptr;
  // Reads running on other threads keep the snapshot they began with until they end.
  state.retired.push_back(std::move(state.snapshot));
  state.snapshot = std::move(next);
  state.tail.reset();
  return reply;
}

// ---- context manager ----------------------------------------------------------------------

PyObject* enter_method(PyObject* self, PyObject*) {
  return new_ref(self);
}

PyObject* exit_method(PyObject* self, PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (!check_receiver<ReaderState>(self)) return nullptr;
    return value_of<ReaderState>(self).close();
  });
}

PyMethodDef kMethods[] = {
    method<kRecordCountSig, tail_info>(
        "tail_info($self)\n--\n\n(records, whole_bytes, torn_bytes) of the tail."),
    method<kReadTailSig, read_tail>(
        "read_tail($self)\n--\n\nThe tail's whole records, on-disk form."),
    method<kContentSizesSig, content_sizes<ReaderState>>(
        "content_sizes($self)\n--\n\nContent size of each frame from its first bytes."),
    method<kReadIntoSig, read_into_method>(
        "read_into($self, indices, address, length, *, tail=False, threads=None)\n--\n\n"
        "Decodes frames in parallel into caller-owned memory."),
    method<kReadFrameSig, frame_method<read_frame>>(
        "read_frame($self, index)\n--\n\nOne frame's content, checked and decoded."),
    method<kReadTailAtSig, read_tail_at>(
        "read_tail_at($self, offset, length)\n--\n\n"
        "Tail bytes from `offset`, checked to be as they were at open."),
    method<kReadTailIntoSig, read_tail_into>(
        "read_tail_into($self, offset, address, length)\n--\n\n"
        "read_tail_at into caller-owned memory."),
    method<kRecordCountsSig, frame_method<record_counts>>(
        "record_counts($self, index)\n--\n\n(whole records, torn bytes) of one frame."),
    method<kRefreshSig, refresh>(
        "refresh($self)\n--\n\nTakes in what writers made visible since: None when nothing, "
        "else (reopened, new frames, their content sizes, headers, tail_start, file_length)."),
    close_method<ReaderState>("close($self)\n--\n\nReleases the file."),
    {"__enter__", as_cfunction(enter_method), METH_NOARGS, "__enter__($self)\n--\n\n"},
    {"__exit__", as_cfunction(exit_method), kCallFlags, "__exit__($self, *exc)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* preamble_of(const Container& c) {
  return new_preamble(c.preamble());
}

PyObject* get_closed(PyObject* self, void*) {
  if (!check_receiver<ReaderState>(self)) return nullptr;
  return PyBool_FromLong(value_of<ReaderState>(self).closed());
}

auto kGetSet = with_file_attributes<ReaderState>(std::array{
    PyGetSetDef{"closed", get_closed, nullptr, "Whether close() was called.", nullptr},
    attribute<ReaderState, preamble_of>("preamble", "(version, flags, header_area)."),
    attribute<ReaderState, figure_of<&Container::data_start>>("data_start",
                                                              "Offset of the data section."),
    attribute<ReaderState, figure_of<&Container::tail_start>>("tail_start",
                                                              "Offset where the tail begins."),
    attribute<ReaderState, figure_of<&Container::data_end>>("file_length", "File length at open."),
});

}  // namespace

PyTypeObject* reader_type() {
  return class_type<ReaderState>(
      "Reader(path, *, length=None, fetch=None)\n--\n\nA file opened read-only, or an object "
      "of `length` bytes read by range through fetch(offset, size) -> bytes.",
      reader_new, value_dealloc<ReaderState>, kMethods, kGetSet.data());
}

}  // namespace drelix::py
