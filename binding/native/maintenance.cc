// The whole-file maintenance functions: validate, rebuild_headers and repack. Each takes a
// path rather than an open Container, because the engine opens, repairs and closes the file
// itself; the binding converts the options and wraps the engine's report.
#include "core/maintenance.h"

#include <string>

#include "binding/common/args.h"
#include "binding/common/maintenance_args.h"
#include "binding/common/types.h"
#include "binding/native/native.h"

namespace drelix::py {

namespace {

PyObject* validate_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"path"};
  // The binding never passes a per-record check: Python callers inspect records themselves.
  return call_on_path(
      Signature{"validate", kParams, 1}, args, kwargs,
      [](const std::string& path) { return validate(path); }, new_validate_report);
}

PyObject* rebuild_headers_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"path", "fix"};
  PyObject* bound[2];
  if (!bind_args(Signature{"rebuild_headers", kParams, 1}, args, kwargs, bound)) return nullptr;
  std::string path;
  bool fix = false;
  if (!convert_rebuild_args(bound, &path, &fix)) return nullptr;
  return wrap_or_raise(rebuild_headers(path, fix), new_rebuild_report);
}

PyObject* repack_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"path", "level", "header_area"};
  PyObject* bound[3];
  if (!bind_args(Signature{"repack", kParams, 1}, args, kwargs, bound)) return nullptr;
  RepackArgs repack_args;
  if (!repack_args.convert(bound)) return nullptr;
  return wrap_or_raise(repack_args.run(), new_repack_report);
}

}  // namespace

PyMethodDef kValidateDef =
    method<validate_fn>("validate",
                        "validate(path)\n--\n\n"
                        "Reads every frame, checks the counters, the alignment and the checksums.");

PyMethodDef kRebuildHeadersDef = method<rebuild_headers_fn>(
    "rebuild_headers",
    "rebuild_headers(path, fix=False)\n--\n\n"
    "Derives the system headers from the data, and writes them back when asked.");

PyMethodDef kRepackDef = method<repack_fn>("repack",
                                           "repack(path, level=..., header_area=None)\n--\n\n"
                                           "Re-encodes every frame at another level, atomically.");

}  // namespace drelix::py
