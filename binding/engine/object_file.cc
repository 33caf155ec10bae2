#include "binding/engine/object_file.h"

#include <algorithm>
#include <memory>
#include <span>

#include "binding/common/module.h"
#include "core/range_file.h"
#include "core/str_cat.h"

namespace drelix::py {

namespace {

// A Python callable owned from C++: released with the interpreter lock taken, whichever thread
// lets go of it last.
class Callable {
 public:
  explicit Callable(PyObject* fn) : fn_(new_ref(fn)) {}
  ~Callable() {
    const PyGILState_STATE gil = PyGILState_Ensure();
    Py_DECREF(fn_);
    PyGILState_Release(gil);
  }
  Callable(const Callable&) = delete;
  Callable& operator=(const Callable&) = delete;

  // fetch(offset, size) -> bytes, copied into `buf`; any other outcome is an I/O error (the
  // caller's function keeps its exception to raise in its own place).
  Result<std::size_t> fetch(std::uint64_t offset, std::span<std::uint8_t> buf) const {
    const PyGILState_STATE gil = PyGILState_Ensure();
    Result<std::size_t> got = fetch_locked(offset, buf);
    PyGILState_Release(gil);
    return got;
  }

 private:
  Result<std::size_t> fetch_locked(std::uint64_t offset, std::span<std::uint8_t> buf) const {
    Ref bytes = steal(PyObject_CallFunction(fn_, "KK", static_cast<unsigned long long>(offset),
                                            static_cast<unsigned long long>(buf.size())));
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (!bytes || PyBytes_AsStringAndSize(bytes.get(), &data, &size) < 0) {
      PyErr_Clear();
      return fail(
          Error::io_text(str_cat("fetching bytes ", offset, "..", offset + buf.size(), " failed")));
    }
    const std::size_t n = std::min(buf.size(), static_cast<std::size_t>(size));
    std::copy_n(reinterpret_cast<const std::uint8_t*>(data), n, buf.begin());
    return n;
  }

  PyObject* fn_;
};

}  // namespace

FilePtr object_file(std::uint64_t length, PyObject* fetch) {
  auto fn = std::make_shared<Callable>(fetch);
  return range_file(length, [fn](std::uint64_t offset, std::span<std::uint8_t> buf) {
    return fn->fetch(offset, buf);
  });
}

bool check_object_args(const char* function, PyObject* length, PyObject* fetch) {
  if (fetch == Py_None) return true;
  if (length != Py_None && PyCallable_Check(fetch)) return true;
  PyErr_Format(PyExc_TypeError, "%s: fetch must be callable and given with length", function);
  return false;
}

}  // namespace drelix::py
