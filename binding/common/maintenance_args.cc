#include "binding/common/maintenance_args.h"

#include "binding/common/convert.h"

namespace drelix::py {

bool convert_rebuild_args(PyObject* const* bound, std::string* path, bool* fix) {
  return convert_arg("path", bound[0], to_path, path) && convert_arg("fix", bound[1], to_bool, fix);
}

bool RepackArgs::convert(PyObject* const* bound) {
  return convert_arg("path", bound[0], to_path, &path) &&
         convert_arg("level", bound[1], to_i32, &level) &&
         convert_arg("header_area", bound[2], to_optional<std::uint32_t, to_u32>, &header_area);
}

Result<RepackReport> RepackArgs::run(const Progress& progress, std::size_t threads) const {
  return header_area
             ? repack_with_header_area(path, level, *header_area, progress, threads, stats)
             : repack(path, level, progress, threads, stats);
}

}  // namespace drelix::py
