// Container: one open drelix file, the engine's Container inside a Python object.
//
// The engine container has no lock and keeps a file position between calls, so the Python
// object adds two guards of its own. It is confined to the thread that made it (a call from any
// other thread is refused before anything is touched), and a borrow counter keeps two calls
// from working on it at once, which under the interpreter lock can only happen by re-entry: an
// argument's __index__ hook calling back into the very container whose method is converting it.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "binding/common/args.h"
#include "binding/common/convert.h"
#include "binding/common/errors.h"
#include "binding/common/types.h"
#include "binding/common/value_type.h"
#include "binding/native/native.h"
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
    if (!is_instance(self, container_type())) {
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

// A method's name as a template argument: no_arg_method<"Container.flush_data", ...>.
template <std::size_t N>
struct MethodName {
  char text[N];
  constexpr MethodName(const char (&name)[N]) { std::copy_n(name, N, text); }
};

// Binds a call to a method without parameters, so surplus arguments get the interpreter's
// wording under the method's name.
bool bind_none(const char* name, PyObject* args, PyObject* kwargs) {
  const Signature sig{name, {}, 0};
  return bind_args(sig, args, kwargs, {});
}

PyObject* bytes_or_raise(Result<Bytes>&& bytes) {
  return wrap_or_raise(std::move(bytes),
                       [](const Bytes& b) { return new_bytes(b.data(), b.size()); });
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
  if (!read_size) return python_error ? nullptr : raise_error(read_size.error(), IoForm::kMessage);
  return release(std::move(result));
}

// A new Container object owning `engine`, tied to the calling thread.
PyObject* new_container(Container engine) {
  return new_value(container_type(),
                   ContainerState{std::move(engine), PyThread_get_thread_ident(), 0});
}

// ---- construction -------------------------------------------------------------------------

PyObject* create_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {
      "path", "schema", "source", "writer", "created_at_millis", "header_area", "user"};
  std::string path;
  Schema schema;
  std::string source;
  std::string writer;
  std::uint64_t created_at_millis = 0;
  std::uint32_t header_area = kDefaultHeaderArea;
  Container::UserHeaders user;
  if (!parse_args(Signature{"Container.create", kParams, 4}, args, kwargs, Into{to_path, &path},
                  Into{to_schema, &schema}, Into{to_text, &source}, Into{to_text, &writer},
                  Into{to_u64, &created_at_millis}, Into{to_u32, &header_area},
                  Into{to_user_headers, &user})) {
    return nullptr;
  }
  return wrap_or_raise(
      Container::create(path, schema, source, writer, created_at_millis, header_area, user),
      new_container);
}

// open_read and open_append: one path, one engine opener.
template <MethodName Name, Result<Container> (*Open)(const std::string&)>
PyObject* open_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"path"};
  return call_on_path(Signature{Name.text, kParams, 1}, args, kwargs, Open, new_container);
}

// ---- methods ------------------------------------------------------------------------------

// A method without parameters: `Wrap` of the engine's `Call` under a borrow of `Kind`.
template <MethodName Name, BorrowKind Kind, auto Call, auto Wrap>
PyObject* no_arg_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!bind_none(Name.text, args, kwargs)) return nullptr;
  Access access(self, Kind);
  if (!access) return nullptr;
  return Wrap((access.engine().*Call)());
}

// A method with parameters, in the order every such method keeps: binds them, takes the
// exclusive borrow, converts them (one Into each), then returns `call(engine)`.
template <class Call, class... T>
PyObject* exclusive_method(PyObject* self, const Signature& sig, PyObject* args, PyObject* kwargs,
                           Call call, Into<T>... into) {
  std::array<PyObject*, sizeof...(T)> bound{};
  if (!bind_args(sig, args, kwargs, bound)) return nullptr;
  Access access(self, BorrowKind::kExclusive);
  if (!access || !convert_args(sig, bound.data(), into...)) return nullptr;
  return call(access.engine());
}

PyObject* container_repr(PyObject* self) {
  Access access(self, BorrowKind::kShared);
  if (!access) return nullptr;
  const Container& engine = access.engine();
  return new_str(
      str_cat("Container(records=", engine.records(), ", frames=", engine.frames().size(), ")"));
}

PyObject* append_body(PyObject* self, PyObject* body) {
  Access access(self, BorrowKind::kExclusive);
  if (!access) return nullptr;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(body, &data, &size) < 0) return nullptr;
  const ByteView view(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
  return none_or_raise(access.engine().append_record(view));
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
  ByteView body;
  return exclusive_method(
      self, Signature{"Container.append_record", kParams, 1}, args, kwargs,
      [&](Container& c) { return none_or_raise(c.append_record(body)); }, Into{to_bytes, &body});
}

// close_frame and seal take the same arguments and differ only in the engine call.
template <MethodName Name, Status (Container::*Close)(std::uint64_t, std::int32_t)>
PyObject* close_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"frame_id", "level"};
  std::uint64_t frame_id = 0;
  std::int32_t level = 0;
  return exclusive_method(
      self, Signature{Name.text, kParams, 2}, args, kwargs,
      [&](Container& c) { return none_or_raise((c.*Close)(frame_id, level)); },
      Into{to_u64, &frame_id}, Into{to_i32, &level});
}

PyObject* set_user_header_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"key", "value"};
  std::string key;
  std::string value;
  return exclusive_method(
      self, Signature{"Container.set_user_header", kParams, 2}, args, kwargs,
      [&](Container& c) { return none_or_raise(c.set_user_header(key, value)); },
      Into{to_text, &key}, Into{to_text, &value});
}

// read_frame and read_frame_at: one 64-bit number (an id or a position), one engine read.
template <MethodName Name, MethodName Param,
          Result<std::size_t> (Container::*Read)(std::uint64_t, const Container::ContentAllocator&)
              const>
PyObject* read_frame_method(PyObject* self, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {Param.text};
  std::uint64_t number = 0;
  return exclusive_method(
      self, Signature{Name.text, kParams, 1}, args, kwargs,
      [&](Container& c) {
        return frame_bytes_or_raise([&](const Container::ContentAllocator& allocate) {
          return (c.*Read)(number, allocate);
        });
      },
      Into{to_u64, &number});
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
  if (!status) return raise_error(status.error(), IoForm::kMessage);
  Py_RETURN_FALSE;
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
  PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(container_type()));
  PyErr_Restore(type, value, traceback);
}

void container_dealloc(PyObject* self) {
  if (PyThread_get_thread_ident() != value_of<ContainerState>(self).owner) report_foreign_drop();
  // Destroying the engine container writes its buffer (errors ignored) and closes the file.
  value_dealloc<ContainerState>(self);
}

// ---- the type -----------------------------------------------------------------------------

template <MethodName Name, auto Call, auto Wrap>
constexpr auto shared = no_arg_method<Name, BorrowKind::kShared, Call, Wrap>;
template <MethodName Name, auto Call, auto Wrap>
constexpr auto exclusive = no_arg_method<Name, BorrowKind::kExclusive, Call, Wrap>;

constexpr int kStatic = METH_VARARGS | METH_KEYWORDS | METH_STATIC;

PyMethodDef kMethods[] = {
    method<create_fn>(
        "create",
        "create(path, schema, source, writer, created_at_millis=0, header_area=..., user=None)\n"
        "--\n\nCreates a file: preamble and header zone, no data yet.",
        kStatic),
    method<open_fn<"Container.open_read", Container::open_read>>(
        "open_read",
        "open_read(path)\n--\n\nOpens a file read-only. Nothing is recovered and nothing is "
        "written.",
        kStatic),
    method<open_fn<"Container.open_append", Container::open_append>>(
        "open_append",
        "open_append(path)\n--\n\n"
        "Opens a file for appending, replaying a pending seal journal and\n"
        "cutting a torn record off the tail first.\n"
        "\n"
        "Takes no lock: one writer per file, and enforcing that is the caller's.",
        kStatic),
    method<shared<"Container.headers", &Container::headers, new_header_dict>>(
        "headers", "headers($self)\n--\n\nEvery header, system and application alike."),
    method<shared<"Container.schema", &Container::schema, new_schema>>(
        "schema", "schema($self)\n--\n\nThe schema the file declares."),
    method<shared<"Container.frames", &Container::frames, new_frame_list>>(
        "frames", "frames($self)\n--\n\nThe closed frames, in file order."),
    method<shared<"Container.records", &Container::records, new_int>>(
        "records", "records($self)\n--\n\nRecords ever appended, the unflushed buffer included."),
    method<append_record_method>("append_record",
                                 "append_record($self, body)\n--\n\nAppends one record body."),
    method<exclusive<"Container.flush_data", &Container::flush_data, none_or_raise>>(
        "flush_data", "flush_data($self)\n--\n\nWrites whatever is buffered."),
    method<exclusive<"Container.flush_headers", &Container::flush_headers, none_or_raise>>(
        "flush_headers", "flush_headers($self)\n--\n\nRewrites the header zone in place."),
    method<close_method<"Container.close_frame", &Container::close_frame>>(
        "close_frame",
        "close_frame($self, frame_id, level)\n--\n\n"
        "Compresses the raw tail into one frame, crash-safe."),
    method<close_method<"Container.seal", &Container::seal>>(
        "seal", "seal($self, frame_id, level)\n--\n\nCloses the tail and marks the file finished."),
    method<set_user_header_method>("set_user_header",
                                   "set_user_header($self, key, value)\n--\n\n"
                                   "Sets an application header. Keys may not start with `_`."),
    method<read_frame_method<"Container.read_frame", "frame_id", &Container::read_frame_into>>(
        "read_frame",
        "read_frame($self, frame_id)\n--\n\n"
        "Decompresses the frame with this id. Ids may repeat; prefer\n"
        "`read_frame_at` when sweeping."),
    method<read_frame_method<"Container.read_frame_at", "index", &Container::read_frame_at_into>>(
        "read_frame_at",
        "read_frame_at($self, index)\n--\n\nDecompresses the frame at this position in the list."),
    method<exclusive<"Container.read_tail", &Container::read_tail, bytes_or_raise>>(
        "read_tail", "read_tail($self)\n--\n\nThe uncompressed tail, whole records only."),
    method<enter_method>("__enter__", "__enter__($self)\n--\n\n"),
    method<exit_method>("__exit__", "__exit__($self, *_args)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* container_type() {
  // The refusal class is built with the type, so that a failure shows at import rather than
  // in the middle of refusing a call.
  if (thread_error_class() == nullptr) return nullptr;
  return value_class<ContainerState>({.name = "drelix_binary._native.Container",
                                      .doc = "A container file, open for reading or appending.",
                                      .methods = kMethods,
                                      .repr = guard<container_repr>,
                                      .dealloc = container_dealloc});
}

}  // namespace drelix::py
