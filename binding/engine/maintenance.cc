// validate, rebuild_headers and repack with progress and cancellation.
//
// The engine's operation runs on a thread of its own. The calling thread, with the interpreter
// lock released, waits for it in slices of 50 ms; between slices it takes the lock back, lets
// the interpreter run signal handlers (so Ctrl-C raises KeyboardInterrupt here) and calls the
// progress callable with the latest count. An exception from either asks the operation to stop
// at its next frame, waits for it to do so, and is then raised; the operation leaves the file
// as it was before it began.
#include "core/maintenance.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "binding/common/maintenance_args.h"
#include "binding/engine/object_file.h"
#include "binding/engine/types.h"
#include "binding/engine/use.h"
#include "core/progress.h"
#include "core/thread_pool.h"

namespace drelix::py {

namespace {

constexpr auto kSlice = std::chrono::milliseconds(50);

// What the worker thread and the waiting thread share.
struct Shared {
  std::mutex mutex;
  std::condition_variable finished_cv;
  bool finished = false;
  std::atomic<std::uint64_t> done{0};
  std::atomic<std::uint64_t> total{0};
  std::atomic<bool> cancel{false};
};

// Runs `op(progress)` on a worker thread while the calling thread serves signals and the
// progress callable. Returns the operation's result, or nullopt with a Python exception set
// (the operation has then finished or stopped).
template <class T, class Op>
std::optional<Result<T>> run_with_progress(Op op, PyObject* callback) {
  Shared shared;
  std::optional<Result<T>> result;
  const Progress progress = [&shared](std::uint64_t done, std::uint64_t total) {
    shared.done.store(done, std::memory_order_relaxed);
    shared.total.store(total, std::memory_order_relaxed);
    return !shared.cancel.load(std::memory_order_relaxed);
  };
  std::thread worker;
  try {
    worker = std::thread([&] {
      Result<T> r = fail(cancelled());
      try {
        r = op(progress);
      } catch (const std::bad_alloc&) {
        r = fail(Error::io(ENOMEM));
      }
      const std::lock_guard lock(shared.mutex);
      result = std::move(r);
      shared.finished = true;
      shared.finished_cv.notify_all();
    });
  } catch (const std::system_error&) {
    PyErr_SetString(PyExc_RuntimeError, "could not start a thread for the operation");
    return std::nullopt;
  }

  bool failed = false;
  std::uint64_t shown_done = UINT64_MAX;
  std::uint64_t shown_total = UINT64_MAX;
  // Calls the callable with the latest count when it changed; before the total is known (the
  // file not yet opened) only at the end.
  auto report = [&](bool last) -> bool {
    const std::uint64_t d = shared.done.load(std::memory_order_relaxed);
    const std::uint64_t t = shared.total.load(std::memory_order_relaxed);
    if (callback == nullptr || (d == shown_done && t == shown_total) || (t == 0 && !last)) {
      return true;
    }
    shown_done = d;
    shown_total = t;
    Ref r = steal(PyObject_CallFunction(callback, "KK", static_cast<unsigned long long>(d),
                                        static_cast<unsigned long long>(t)));
    return r != nullptr;
  };
  for (bool finished = false; !finished;) {
    {
      NoGil unlocked;
      std::unique_lock lock(shared.mutex);
      finished = shared.finished_cv.wait_for(lock, kSlice, [&] { return shared.finished; });
    }
    if (PyErr_CheckSignals() < 0 || !report(false)) {
      failed = true;
      break;
    }
  }
  if (failed) {
    shared.cancel.store(true, std::memory_order_relaxed);
  }
  {
    NoGil unlocked;
    worker.join();
  }
  if (failed) return std::nullopt;
  // The last count, even when the work ended inside one slice.
  if (!report(true)) return std::nullopt;
  return result;
}

// The progress callable: null for None.
bool to_progress(PyObject* obj, PyObject** out) {
  if (obj != Py_None && !PyCallable_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "expected a callable or None");
    return false;
  }
  *out = obj == Py_None ? nullptr : obj;
  return true;
}

// `op` run as run_with_progress runs it; its report built by `build`, or its error raised.
template <class T, class Op, class Build>
PyObject* run_and_report(const std::string& path, PyObject* progress, Op op, Build build) {
  std::optional<Result<T>> result = run_with_progress<T>(op, progress);
  if (!result) return nullptr;
  if (!*result) return raise_engine_error(result->error(), path);
  return build(**result);
}

constexpr const char* kValidateParams[] = {"path", "progress", "length", "fetch", "threads"};
constexpr Signature kValidateSig{"validate", kValidateParams, 1, false, 1};

PyObject* validate_fn(PyObject*, const Args& args) {
  std::string path;
  PyObject* progress = nullptr;
  std::uint64_t length = 0;
  std::uint64_t threads = ThreadPool::default_threads();
  if (!args.get(0, to_path, &path) || !args.get(1, to_progress, &progress) ||
      (args[2] != Py_None && !args.get(2, to_u64, &length)) ||
      (args[4] != Py_None && !args.get(4, to_u64, &threads)) ||
      !check_object_args("validate", args[2], args[3])) {
    return nullptr;
  }
  // An object's frames are fetched by the threads that check them: more of them than cores
  // keeps requests in flight while others decode.
  FilePtr object = args[3] == Py_None ? nullptr : object_file(length, args[3]);
  return run_and_report<ValidateReport>(
      path, progress,
      [&](const Progress& p) {
        const auto n = static_cast<std::size_t>(std::max<std::uint64_t>(threads, 1));
        if (object) return validate_object(std::move(object), path, {}, p, n, true);
        return validate(path, {}, p, n, true);
      },
      [](const ValidateReport& report) -> PyObject* {
        Ref problems = steal(new_str_list(report.problems));
        if (!problems) return nullptr;
        return Py_BuildValue("(OKK)", problems.get(),
                             static_cast<unsigned long long>(report.frames),
                             static_cast<unsigned long long>(report.records));
      });
}

constexpr const char* kRebuildParams[] = {"path", "fix", "progress"};
constexpr Signature kRebuildSig{"rebuild_headers", kRebuildParams, 1, false, 2};

PyObject* rebuild_fn(PyObject*, const Args& args) {
  std::string path;
  bool fix = false;
  PyObject* progress = nullptr;
  if (!convert_rebuild_args(args.bound(), &path, &fix) || !args.get(2, to_progress, &progress)) {
    return nullptr;
  }
  return run_and_report<RebuildReport>(
      path, progress,
      [&](const Progress& p) {
        return rebuild_headers(path, fix, p, ThreadPool::default_threads(), true);
      },
      [](const RebuildReport& report) -> PyObject* {
        Ref differences = steal(new_str_list(report.differences));
        if (!differences) return nullptr;
        return Py_BuildValue("(ON)", differences.get(), PyBool_FromLong(report.fixed));
      });
}

constexpr const char* kRepackParams[] = {"path", "level", "header_area", "progress", "threads"};
constexpr Signature kRepackSig{"repack", kRepackParams, 1, false, 3};

PyObject* repack_fn(PyObject*, const Args& args) {
  RepackArgs repack_args;
  PyObject* progress = nullptr;
  std::size_t threads = ThreadPool::default_threads();
  if (!repack_args.convert(args.bound()) || !args.get(3, to_progress, &progress) ||
      !args.get(4, to_threads, &threads)) {
    return nullptr;
  }
  repack_args.stats = true;
  return run_and_report<RepackReport>(
      repack_args.path, progress, [&](const Progress& p) { return repack_args.run(p, threads); },
      [](const RepackReport& report) {
        return Py_BuildValue("(KKK)", static_cast<unsigned long long>(report.bytes_before),
                             static_cast<unsigned long long>(report.bytes_after),
                             static_cast<unsigned long long>(report.frames));
      });
}

}  // namespace

PyMethodDef kEngineValidateDef = method<kValidateSig, validate_fn>(
    "validate(path, *, progress=None, length=None, fetch=None, threads=None)\n--\n\n"
    "_native.validate with progress and cancellation, and the frame statistics checked; "
    "(problems, frames, records).");

PyMethodDef kEngineRebuildDef = method<kRebuildSig, rebuild_fn>(
    "rebuild_headers(path, fix=False, *, progress=None)\n--\n\n"
    "_native.rebuild_headers with progress and cancellation, the frame statistics derived too; "
    "(differences, fixed).");

PyMethodDef kEngineRepackDef = method<kRepackSig, repack_fn>(
    "repack(path, level=19, header_area=None, *, progress=None, threads=None)\n--\n\n"
    "_native.repack with progress and cancellation, its frames re-encoded on `threads` threads "
    "(None: every processor) and their statistics computed afresh; (bytes_before, bytes_after, "
    "frames).");

}  // namespace drelix::py
