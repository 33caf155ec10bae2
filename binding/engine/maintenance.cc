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

#include "binding/common/args.h"
#include "binding/common/convert.h"
#include "binding/common/maintenance_args.h"
#include "binding/common/types.h"
#include "binding/engine/engine.h"
#include "binding/engine/types.h"
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

PyObject* optional_callable(PyObject* obj) {
  return obj == nullptr || obj == Py_None ? nullptr : obj;
}

bool check_callable(PyObject* obj) {
  if (obj == nullptr || PyCallable_Check(obj)) return true;
  PyErr_SetString(PyExc_TypeError, "argument 'progress': expected a callable or None");
  return false;
}

PyObject* validate_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"path", "progress"};
    static constexpr Signature kSig{"validate", kParams, 1, false, 1};
    PyObject* bound[2];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    std::string path;
    if (!convert_arg("path", bound[0], to_path, &path)) return nullptr;
    PyObject* callback = optional_callable(bound[1]);
    if (!check_callable(callback)) return nullptr;
    auto result = run_with_progress<ValidateReport>(
        [&](const Progress& p) { return validate(path, {}, p, ThreadPool::default_threads()); },
        callback);
    if (!result) return nullptr;
    if (!*result) return raise_error(result->error(), IoForm::kErrno, path);
    const ValidateReport& report = **result;
    Ref problems = steal(new_str_list(report.problems));
    if (!problems) return nullptr;
    return Py_BuildValue("(OKK)", problems.get(), static_cast<unsigned long long>(report.frames),
                         static_cast<unsigned long long>(report.records));
  });
}

PyObject* rebuild_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"path", "fix", "progress"};
    static constexpr Signature kSig{"rebuild_headers", kParams, 1, false, 2};
    PyObject* bound[3];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    std::string path;
    bool fix = false;
    if (!convert_rebuild_args(bound, &path, &fix)) return nullptr;
    PyObject* callback = optional_callable(bound[2]);
    if (!check_callable(callback)) return nullptr;
    auto result = run_with_progress<RebuildReport>(
        [&](const Progress& p) {
          return rebuild_headers(path, fix, p, ThreadPool::default_threads());
        },
        callback);
    if (!result) return nullptr;
    if (!*result) return raise_error(result->error(), IoForm::kErrno, path);
    Ref differences = steal(new_str_list((*result)->differences));
    if (!differences) return nullptr;
    return Py_BuildValue("(ON)", differences.get(), PyBool_FromLong((*result)->fixed));
  });
}

PyObject* repack_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"path", "level", "header_area", "progress",
                                              "threads"};
    static constexpr Signature kSig{"repack", kParams, 1, false, 3};
    PyObject* bound[5];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    RepackArgs repack_args;
    if (!repack_args.convert(bound)) return nullptr;
    PyObject* callback = optional_callable(bound[3]);
    if (!check_callable(callback)) return nullptr;
    std::size_t threads = 0;
    if (!convert_arg("threads", bound[4] ? bound[4] : Py_None, to_threads, &threads)) {
      return nullptr;
    }
    const std::string& path = repack_args.path;
    auto result = run_with_progress<RepackReport>(
        [&](const Progress& p) { return repack_args.run(p, threads); }, callback);
    if (!result) return nullptr;
    if (!*result) return raise_error(result->error(), IoForm::kErrno, path);
    return Py_BuildValue("(KKK)", static_cast<unsigned long long>((*result)->bytes_before),
                         static_cast<unsigned long long>((*result)->bytes_after),
                         static_cast<unsigned long long>((*result)->frames));
  });
}

}  // namespace

PyMethodDef kEngineValidateDef = {
    "validate", as_cfunction(validate_fn), METH_VARARGS | METH_KEYWORDS,
    "validate(path, *, progress=None)\n--\n\n"
    "_native.validate with progress and cancellation; (problems, frames, records)."};

PyMethodDef kEngineRebuildDef = {
    "rebuild_headers", as_cfunction(rebuild_fn), METH_VARARGS | METH_KEYWORDS,
    "rebuild_headers(path, fix=False, *, progress=None)\n--\n\n"
    "_native.rebuild_headers with progress and cancellation; (differences, fixed)."};

PyMethodDef kEngineRepackDef = {
    "repack", as_cfunction(repack_fn), METH_VARARGS | METH_KEYWORDS,
    "repack(path, level=19, header_area=None, *, progress=None, threads=None)\n--\n\n"
    "_native.repack with progress and cancellation, its frames re-encoded on `threads` threads "
    "(None: every processor); (bytes_before, bytes_after, frames)."};

}  // namespace drelix::py
