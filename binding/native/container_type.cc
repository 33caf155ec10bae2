// Container: one open drelix file, the engine's Container inside a Python object.
//
// The engine container has no lock and keeps a file position between calls, so the Python
// object adds two guards of its own. It is confined to the thread that made it (a call from any
// other thread is refused before anything is touched), and a borrow counter keeps two calls
// from working on it at once, which under the interpreter lock can only happen by re-entry: an
// argument's __index__ hook calling back into the very container whose method is converting it.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "binding/common/args.h"
#include "binding/common/convert.h"
#include "binding/common/types.h"
#include "binding/common/value_type.h"
#include "core/container.h"
#include "core/str_cat.h"

namespace drelix::py {

namespace {

// What the Python object holds besides its header.
struct ContainerState {
  // Always engaged once the object exists; optional only because Container has no default
  // state to build the object's memory with.
  std::optional<Container> engine;
  // The thread that made the object, as PyThread_get_thread_ident reports it.
  unsigned long owner = 0;
  // 0 when idle, the number of shared borrows in progress, or kExclusive.
  long borrows = 0;
};

constexpr long kExclusive = -1;

using ContainerObject = ValueObject<ContainerState>;

PyObject* g_type = nullptr;
PyObject* g_thread_error = nullptr;

// A class deriving from BaseException but not Exception: using a container from the wrong
// thread is a bug in the calling program, and `except Exception` handlers written for I/O or
// format errors must not swallow it and carry on.
PyObject* thread_error_class() {
  if (g_thread_error == nullptr) {
    g_thread_error = PyErr_NewExceptionWithDoc(
        const_cast<char*>("drelix_binary._native.ThreadConfinementError"),
        const_cast<char*>("A Container was used from a thread other than the one that made it."),
        PyExc_BaseException, nullptr);
  }
  return g_thread_error;
}

void raise_foreign_thread() {
  PyObject* cls = thread_error_class();
  if (cls == nullptr) return;
  PyErr_SetString(cls, "drelix_binary._native.Container is unsendable, but sent to another thread");
}

enum class BorrowKind { kShared, kExclusive };

// The calling discipline of every method but __enter__: the receiver is a Container, the
// caller is its owner thread, and the borrow the method needs is free. A failed Access holds
// nothing and leaves an exception set; a successful one releases its borrow when it goes away,
// on every path out of the method.
class Access {
 public:
  Access(PyObject* self, BorrowKind kind) : kind_(kind) {
    if (!is_instance(self, reinterpret_cast<PyTypeObject*>(g_type))) {
      PyErr_SetString(PyExc_TypeError, "expected a drelix_binary._native.Container receiver");
      return;
    }
    ContainerState& state = value_of<ContainerState>(self);
    if (PyThread_get_thread_ident() != state.owner) {
      raise_foreign_thread();
      return;
    }
    if (kind == BorrowKind::kShared) {
      if (state.borrows == kExclusive) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return;
      }
      ++state.borrows;
    } else {
      if (state.borrows != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return;
      }
      state.borrows = kExclusive;
    }
    state_ = &state;
  }

  ~Access() {
    if (state_ == nullptr) return;
    if (kind_ == BorrowKind::kShared) {
      --state_->borrows;
    } else {
      state_->borrows = 0;
    }
  }

  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;

  explicit operator bool() const { return state_ != nullptr; }
  Container& engine() const { return *state_->engine; }

 private:
  ContainerState* state_ = nullptr;
  BorrowKind kind_;
};

// Binds a call to a method without parameters, so surplus arguments get the interpreter's
// wording under the method's name.
bool bind_none(const char* name, PyObject* args, PyObject* kwargs) {
  const Signature sig{name, {}, 0};
  return bind_args(sig, args, kwargs, {});
}

PyObject* none_or_raise(const Status& status) {
  if (!status) return raise_error(status.error());
  Py_RETURN_NONE;
}

PyObject* bytes_or_raise(const Result<Bytes>& bytes) {
  if (!bytes) return raise_error(bytes.error());
  return new_bytes(bytes->data(), bytes->size());
}

// Runs one of the engine's *_into frame reads with the content decoded straight into a new
// bytes object, so that a large frame exists once in memory instead of in an engine buffer and
// then in its copy. The bytes object is allocated uninitialised at the exact size the engine
// asks for, and filled before anyone else can see it.
template <class Read>
PyObject* frame_bytes_or_raise(Read read) {
  Ref result;
  bool python_error = false;
  const Container::ContentAllocator allocate =
      [&](std::size_t size) -> Result<std::span<std::uint8_t>> {
    result = steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    char* data = result ? PyBytes_AsString(result.get()) : nullptr;
    if (data == nullptr) {
      // The interpreter's MemoryError is already set; the engine only needs to stop.
      python_error = true;
      return fail(Error::io_text("out of memory"));
    }
    return std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(data), size);
  };
  const Result<std::size_t> read_size = read(allocate);
  if (!read_size) return python_error ? nullptr : raise_error(read_size.error());
  return release(std::move(result));
}

// A new Container object owning `engine`, tied to the calling thread.
PyObject* new_container(Container engine) {
  return new_value(container_type(),
                   ContainerState{std::move(engine), PyThread_get_thread_ident(), 0});
}

// ---- construction -------------------------------------------------------------------------

bool fail_user(const std::string& text) {
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return false;
}

// The `user` argument of create: None, or a sequence of (str, str) tuples. A str is refused
// although it is a sequence, since a text is never meant as a list of pairs; a dict is refused
// because it fails the sequence check, which keeps its (unordered in spirit) mapping from
// passing as ordered pairs.
bool to_user_headers(PyObject* obj, Container::UserHeaders* out) {
  if (obj == Py_None) {
    out->clear();
    return true;
  }
  if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
    return fail_user(str_cat("expected a sequence of (str, str) tuples, got ", type_name(obj)));
  }
  const Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) return false;
  // No reserve: __len__ is the caller's word, and a lying one must not turn into an
  // allocation; the vector grows with the items that really come.
  Container::UserHeaders pairs;
  for (Py_ssize_t i = 0; i < size; ++i) {
    Ref item = steal(PySequence_GetItem(obj, i));
    if (!item) return false;
    if (!PyTuple_Check(item.get())) {
      return fail_user(str_cat("item ", i, ": expected tuple, got ", type_name(item.get())));
    }
    const Py_ssize_t length = PyTuple_Size(item.get());
    if (length != 2) {
      const std::string text =
          str_cat("expected tuple of length 2, but got tuple of length ", length);
      PyErr_SetString(PyExc_ValueError, text.c_str());
      return false;
    }
    std::string texts[2];
    for (Py_ssize_t k = 0; k < 2; ++k) {
      PyObject* element = PyTuple_GetItem(item.get(), k);
      if (!PyUnicode_Check(element)) {
        return fail_user(str_cat("item ", i, ": expected str, got ", type_name(element)));
      }
      if (!to_text(element, &texts[k])) return false;
    }
    pairs.emplace_back(std::move(texts[0]), std::move(texts[1]));
  }
  *out = std::move(pairs);
  return true;
}

PyObject* create_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {
      "path", "schema", "source", "writer", "created_at_millis", "header_area", "user"};
  static constexpr Signature kSig{"Container.create", kParams, 4};
  PyObject* bound[7];
  if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
  std::string path;
  Schema schema;
  std::string source;
  std::string writer;
  std::uint64_t created_at_millis = 0;
  std::uint32_t header_area = kDefaultHeaderArea;
  Container::UserHeaders user;
  if (!convert_arg("path", bound[0], to_path, &path) ||
      !convert_arg("schema", bound[1], to_schema, &schema) ||
      !convert_arg("source", bound[2], to_text, &source) ||
      !convert_arg("writer", bound[3], to_text, &writer) ||
      !convert_arg("created_at_millis", bound[4], to_u64, &created_at_millis) ||
      !convert_arg("header_area", bound[5], to_u32, &header_area) ||
      !convert_arg("user", bound[6], to_user_headers, &user)) {
    return nullptr;
  }
  Result<Container> made =
      Container::create(path, schema, source, writer, created_at_millis, header_area, user);
  if (!made) return raise_error(made.error());
  return new_container(std::move(*made));
}

// open_read and open_append share their shape: one path, one engine opener.
template <Result<Container> (*Open)(const std::string&)>
PyObject* open_fn(const Signature& sig, PyObject* args, PyObject* kwargs) {
  PyObject* bound[1];
  if (!bind_args(sig, args, kwargs, bound)) return nullptr;
  std::string path;
  if (!convert_arg("path", bound[0], to_path, &path)) return nullptr;
  Result<Container> opened = Open(path);
  if (!opened) return raise_error(opened.error());
  return new_container(std::move(*opened));
}

constexpr const char* kPathParam[] = {"path"};

PyObject* open_read_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Signature kSig{"Container.open_read", kPathParam, 1};
  return open_fn<Container::open_read>(kSig, args, kwargs);
}

PyObject* open_append_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr Signature kSig{"Container.open_append", kPathParam, 1};
  return open_fn<Container::open_append>(kSig, args, kwargs);
}

// ---- shared-borrow methods ----------------------------------------------------------------

PyObject* headers_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!bind_none("Container.headers", args, kwargs)) return nullptr;
  Access access(self, BorrowKind::kShared);
  if (!access) return nullptr;
  return new_header_dict(access.engine().headers());
}

PyObject* schema_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!bind_none("Container.schema", args, kwargs)) return nullptr;
  Access access(self, BorrowKind::kShared);
  if (!access) return nullptr;
  return new_schema(access.engine().schema());
}

PyObject* frames_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!bind_none("Container.frames", args, kwargs)) return nullptr;
  Access access(self, BorrowKind::kShared);
  if (!access) return nullptr;
  return new_frame_list(access.engine().frames());
}

PyObject* records_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!bind_none("Container.records", args, kwargs)) return nullptr;
  Access access(self, BorrowKind::kShared);
  if (!access) return nullptr;
  return PyLong_FromUnsignedLongLong(access.engine().records());
}

PyObject* container_repr(PyObject* self) {
  Access access(self, BorrowKind::kShared);
  if (!access) return nullptr;
  const Container& engine = access.engine();
  return new_str(
      str_cat("Container(records=", engine.records(), ", frames=", engine.frames().size(), ")"));
}

// ---- exclusive-borrow methods -------------------------------------------------------------

PyObject* append_body(PyObject* self, PyObject* body) {
  Access access(self, BorrowKind::kExclusive);
  if (!access) return nullptr;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(body, &data, &size) < 0) return nullptr;
  const ByteView view(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
  const Status status = access.engine().append_record(view);
  if (!status) return raise_error(status.error());
  Py_RETURN_NONE;
}

// The hot path of the module: writers call it once per record. The common call, one positional
// bytes argument, skips the binder's keyword and parameter scans, and nothing is allocated on
// the way: the engine only copies into the buffer it reserved on the first append.
PyObject* append_record_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (kwargs == nullptr && PyTuple_Size(args) == 1) {
    PyObject* body = PyTuple_GetItem(args, 0);
    if (PyBytes_Check(body)) return append_body(self, body);
  }
  static constexpr const char* kParams[] = {"body"};
  static constexpr Signature kSig{"Container.append_record", kParams, 1};
  PyObject* bound[1];
  if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
  Access access(self, BorrowKind::kExclusive);
  if (!access) return nullptr;
  ByteView body;
  if (!convert_arg("body", bound[0], to_bytes, &body)) return nullptr;
  return none_or_raise(access.engine().append_record(body));
}

PyObject* flush_data_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!bind_none("Container.flush_data", args, kwargs)) return nullptr;
  Access access(self, BorrowKind::kExclusive);
  if (!access) return nullptr;
  return none_or_raise(access.engine().flush_data());
}

PyObject* flush_headers_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!bind_none("Container.flush_headers", args, kwargs)) return nullptr;
  Access access(self, BorrowKind::kExclusive);
  if (!access) return nullptr;
  return none_or_raise(access.engine().flush_headers());
}

constexpr const char* kCloseParams[] = {"frame_id", "level"};

// close_frame and seal take the same arguments and differ only in the engine call.
template <Status (Container::*Close)(std::uint64_t, std::int32_t)>
PyObject* close_common(const Signature& sig, PyObject* self, PyObject* args, PyObject* kwargs) {
  PyObject* bound[2];
  if (!bind_args(sig, args, kwargs, bound)) return nullptr;
  Access access(self, BorrowKind::kExclusive);
  if (!access) return nullptr;
  std::uint64_t frame_id = 0;
  std::int32_t level = 0;
  if (!convert_arg("frame_id", bound[0], to_u64, &frame_id) ||
      !convert_arg("level", bound[1], to_i32, &level)) {
    return nullptr;
  }
  return none_or_raise((access.engine().*Close)(frame_id, level));
}

PyObject* close_frame_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr Signature kSig{"Container.close_frame", kCloseParams, 2};
  return close_common<&Container::close_frame>(kSig, self, args, kwargs);
}

PyObject* seal_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr Signature kSig{"Container.seal", kCloseParams, 2};
  return close_common<&Container::seal>(kSig, self, args, kwargs);
}

PyObject* set_user_header_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"key", "value"};
  static constexpr Signature kSig{"Container.set_user_header", kParams, 2};
  PyObject* bound[2];
  if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
  Access access(self, BorrowKind::kExclusive);
  if (!access) return nullptr;
  std::string key;
  std::string value;
  if (!convert_arg("key", bound[0], to_text, &key) ||
      !convert_arg("value", bound[1], to_text, &value)) {
    return nullptr;
  }
  return none_or_raise(access.engine().set_user_header(key, value));
}

PyObject* read_frame_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"frame_id"};
  static constexpr Signature kSig{"Container.read_frame", kParams, 1};
  PyObject* bound[1];
  if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
  Access access(self, BorrowKind::kExclusive);
  if (!access) return nullptr;
  std::uint64_t frame_id = 0;
  if (!convert_arg("frame_id", bound[0], to_u64, &frame_id)) return nullptr;
  return frame_bytes_or_raise([&](const Container::ContentAllocator& allocate) {
    return access.engine().read_frame_into(frame_id, allocate);
  });
}

PyObject* read_frame_at_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"index"};
  static constexpr Signature kSig{"Container.read_frame_at", kParams, 1};
  PyObject* bound[1];
  if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
  Access access(self, BorrowKind::kExclusive);
  if (!access) return nullptr;
  std::uint64_t index = 0;
  if (!convert_arg("index", bound[0], to_u64, &index)) return nullptr;
  return frame_bytes_or_raise([&](const Container::ContentAllocator& allocate) {
    return access.engine().read_frame_at_into(index, allocate);
  });
}

PyObject* read_tail_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!bind_none("Container.read_tail", args, kwargs)) return nullptr;
  Access access(self, BorrowKind::kExclusive);
  if (!access) return nullptr;
  return bytes_or_raise(access.engine().read_tail());
}

// ---- context manager ----------------------------------------------------------------------

// Entering does nothing, so it needs neither the owner thread nor a borrow.
PyObject* enter_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!bind_none("Container.__enter__", args, kwargs)) return nullptr;
  Py_INCREF(self);
  return self;
}

// Leaving writes the buffered records and nothing else: a `with` block delimits a batch of
// appends, not the life of the file, so the object stays usable afterwards. Returns False so
// that an exception of the block propagates.
PyObject* exit_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr Signature kSig{"Container.__exit__", {}, 0, /*var_positional=*/true};
  PyObject* rest = nullptr;
  if (!bind_args(kSig, args, kwargs, {}, &rest)) return nullptr;
  Py_DECREF(rest);  // the exception details are not needed
  Access access(self, BorrowKind::kExclusive);
  if (!access) return nullptr;
  const Status status = access.engine().flush_data();
  if (!status) return raise_error(status.error());
  Py_INCREF(Py_False);
  return Py_False;
}

// ---- reclamation --------------------------------------------------------------------------

// A container dropped on a foreign thread is a misuse worth reporting, but the engine has no
// thread affinity, so its destruction still runs: skipping it would lose the buffered records
// and leak the file handle. The report goes through the unraisable hook, the only channel a
// deallocation has; whatever exception was pending is kept aside and restored.
void report_foreign_drop() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_SetString(PyExc_RuntimeError,
                  "drelix_binary._native.Container is unsendable, but is being dropped on another "
                  "thread");
  // The class, not the dying instance, is named as the culprit: a hook that keeps its
  // argument must not resurrect an object whose memory is about to be freed.
  PyErr_WriteUnraisable(g_type);
  PyErr_Restore(type, value, traceback);
}

void container_dealloc(PyObject* self) {
  if (PyThread_get_thread_ident() != value_of<ContainerState>(self).owner) report_foreign_drop();
  // Destroying the engine container writes its buffer (errors ignored) and closes the file.
  value_dealloc<ContainerState>(self);
}

// ---- the type -----------------------------------------------------------------------------

constexpr int kMethodFlags = METH_VARARGS | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"create", as_cfunction(guard<create_fn>), kMethodFlags | METH_STATIC,
     "create(path, schema, source, writer, created_at_millis=0, header_area=..., user=None)\n"
     "--\n\nCreates a file: preamble and header zone, no data yet."},
    {"open_read", as_cfunction(guard<open_read_fn>), kMethodFlags | METH_STATIC,
     "open_read(path)\n--\n\nOpens a file read-only. Nothing is recovered and nothing is "
     "written."},
    {"open_append", as_cfunction(guard<open_append_fn>), kMethodFlags | METH_STATIC,
     "open_append(path)\n--\n\n"
     "Opens a file for appending, replaying a pending seal journal and\n"
     "cutting a torn record off the tail first.\n"
     "\n"
     "Takes no lock: one writer per file, and enforcing that is the caller's."},
    {"headers", as_cfunction(guard<headers_method>), kMethodFlags,
     "headers($self)\n--\n\nEvery header, system and application alike."},
    {"schema", as_cfunction(guard<schema_method>), kMethodFlags,
     "schema($self)\n--\n\nThe schema the file declares."},
    {"frames", as_cfunction(guard<frames_method>), kMethodFlags,
     "frames($self)\n--\n\nThe closed frames, in file order."},
    {"records", as_cfunction(guard<records_method>), kMethodFlags,
     "records($self)\n--\n\nRecords ever appended, the unflushed buffer included."},
    {"append_record", as_cfunction(guard<append_record_method>), kMethodFlags,
     "append_record($self, body)\n--\n\nAppends one record body."},
    {"flush_data", as_cfunction(guard<flush_data_method>), kMethodFlags,
     "flush_data($self)\n--\n\nWrites whatever is buffered."},
    {"flush_headers", as_cfunction(guard<flush_headers_method>), kMethodFlags,
     "flush_headers($self)\n--\n\nRewrites the header zone in place."},
    {"close_frame", as_cfunction(guard<close_frame_method>), kMethodFlags,
     "close_frame($self, frame_id, level)\n--\n\n"
     "Compresses the raw tail into one frame, crash-safe."},
    {"seal", as_cfunction(guard<seal_method>), kMethodFlags,
     "seal($self, frame_id, level)\n--\n\nCloses the tail and marks the file finished."},
    {"set_user_header", as_cfunction(guard<set_user_header_method>), kMethodFlags,
     "set_user_header($self, key, value)\n--\n\n"
     "Sets an application header. Keys may not start with `_`."},
    {"read_frame", as_cfunction(guard<read_frame_method>), kMethodFlags,
     "read_frame($self, frame_id)\n--\n\n"
     "Decompresses the frame with this id. Ids may repeat; prefer\n"
     "`read_frame_at` when sweeping."},
    {"read_frame_at", as_cfunction(guard<read_frame_at_method>), kMethodFlags,
     "read_frame_at($self, index)\n--\n\nDecompresses the frame at this position in the list."},
    {"read_tail", as_cfunction(guard<read_tail_method>), kMethodFlags,
     "read_tail($self)\n--\n\nThe uncompressed tail, whole records only."},
    {"__enter__", as_cfunction(guard<enter_method>), kMethodFlags, "__enter__($self)\n--\n\n"},
    {"__exit__", as_cfunction(guard<exit_method>), kMethodFlags, "__exit__($self, *_args)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("A container file, open for reading or appending.")},
    {Py_tp_new, reinterpret_cast<void*>(guard<refuse_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(container_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(guard<container_repr>)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "drelix_binary._native.Container", sizeof(ContainerObject), 0, kValueTypeFlags, kSlots,
};

}  // namespace

PyTypeObject* container_type() {
  // The refusal class is built with the type, so that a failure shows at import rather than
  // in the middle of refusing a call.
  if (thread_error_class() == nullptr) return nullptr;
  return cached_type(g_type, kSpec);
}

}  // namespace drelix::py
