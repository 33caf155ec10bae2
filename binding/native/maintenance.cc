// The whole-file maintenance functions: validate, rebuild_headers and repack. Each takes a
// path rather than an open Container, because the engine opens, repairs and closes the file
// itself; the binding converts the options and wraps the engine's report.
#include "core/maintenance.h"

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "binding/common/args.h"
#include "binding/common/convert.h"
#include "binding/common/types.h"

namespace drelix::py {

namespace {

PyObject* validate_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"path"};
  static constexpr Signature kSig{"validate", kParams, 1};
  PyObject* bound[1];
  if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
  std::string path;
  if (!convert_arg("path", bound[0], to_path, &path)) return nullptr;
  // The binding never passes a per-record check: Python callers inspect records themselves.
  Result<ValidateReport> report = validate(path);
  if (!report) return raise_error(report.error());
  return new_validate_report(std::move(*report));
}

PyObject* rebuild_headers_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"path", "fix"};
  static constexpr Signature kSig{"rebuild_headers", kParams, 1};
  PyObject* bound[2];
  if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
  std::string path;
  bool fix = false;
  if (!convert_rebuild_args(bound, &path, &fix)) return nullptr;
  Result<RebuildReport> report = rebuild_headers(path, fix);
  if (!report) return raise_error(report.error());
  return new_rebuild_report(std::move(*report));
}

PyObject* repack_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"path", "level", "header_area"};
  static constexpr Signature kSig{"repack", kParams, 1};
  PyObject* bound[3];
  if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
  RepackArgs repack_args;
  if (!repack_args.convert(bound)) return nullptr;
  Result<RepackReport> report = repack_args.run();
  if (!report) return raise_error(report.error());
  return new_repack_report(*report);
}

}  // namespace

bool convert_rebuild_args(PyObject* const* bound, std::string* path, bool* fix) {
  return convert_arg("path", bound[0], to_path, path) && convert_arg("fix", bound[1], to_bool, fix);
}

bool RepackArgs::convert(PyObject* const* bound) {
  return convert_arg("path", bound[0], to_path, &path) &&
         convert_arg("level", bound[1], to_i32, &level) &&
         convert_arg("header_area", bound[2], to_optional<std::uint32_t, to_u32>, &header_area);
}

Result<RepackReport> RepackArgs::run(const Progress& progress, std::size_t threads) const {
  return header_area ? repack_with_header_area(path, level, *header_area, progress, threads)
                     : repack(path, level, progress, threads);
}

PyMethodDef kValidateDef = {
    "validate", as_cfunction(guard<validate_fn>), METH_VARARGS | METH_KEYWORDS,
    "validate(path)\n--\n\n"
    "Reads every frame, checks the counters, the alignment and the checksums."};

PyMethodDef kRebuildHeadersDef = {
    "rebuild_headers", as_cfunction(guard<rebuild_headers_fn>), METH_VARARGS | METH_KEYWORDS,
    "rebuild_headers(path, fix=False)\n--\n\n"
    "Derives the system headers from the data, and writes them back when asked."};

PyMethodDef kRepackDef = {"repack", as_cfunction(guard<repack_fn>), METH_VARARGS | METH_KEYWORDS,
                          "repack(path, level=..., header_area=None)\n--\n\n"
                          "Re-encodes every frame at another level, atomically."};

}  // namespace drelix::py
