// What salvage needs of a damaged file that a Reader refuses to open: the survey of its frame
// list and tail, and checked reads of the frames the survey left standing.
#include <string>
#include <utility>

#include "binding/common/args.h"
#include "binding/common/convert.h"
#include "binding/common/types.h"
#include "binding/engine/engine.h"
#include "binding/engine/types.h"
#include "core/damaged.h"
#include "core/frame_read.h"

namespace drelix::py {

namespace {

PyObject* survey_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"path"};
    static constexpr Signature kSig{"survey", kParams, 1};
    PyObject* bound[1];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    std::string path;
    if (!convert_arg("path", bound[0], to_path, &path)) return nullptr;
    Result<ListedFile> listed = fail(Error::io_eof());
    Result<Survey> found = fail(Error::io_eof());
    {
      NoGil unlocked;
      listed = open_listed(path);
      if (listed) found = survey(*listed);
    }
    if (!listed) return raise_engine_error(listed.error(), path);
    if (!found) return raise_engine_error(found.error(), path);
    Ref schema = steal(new_native_schema(listed->schema));
    Ref headers = steal(new_headers(listed->headers));
    Ref frames = steal(new_frame_tuples(listed->frames));
    Ref faults = steal(new_str_list(found->faults));
    if (!schema || !headers || !frames || !faults) return nullptr;
    return Py_BuildValue("(OOIOOKKKO)", schema.get(), headers.get(),
                         static_cast<unsigned int>(listed->preamble.header_area), frames.get(),
                         faults.get(), static_cast<unsigned long long>(listed->data_start),
                         static_cast<unsigned long long>(found->tail_start),
                         static_cast<unsigned long long>(found->tail_len),
                         found->tail_cut ? Py_True : Py_False);
  });
}

PyObject* read_listed_frame_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"path", "data_start", "frame"};
    static constexpr Signature kSig{"read_listed_frame", kParams, 3};
    PyObject* bound[3];
    if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
    std::string path;
    std::uint64_t data_start = 0;
    if (!convert_arg("path", bound[0], to_path, &path) ||
        !convert_arg("data_start", bound[1], to_u64, &data_start)) {
      return nullptr;
    }
    PyObject* fields[4];
    if (!PyArg_ParseTuple(bound[2], "OOOO;frame: expected (id, offset, length, hash)", &fields[0],
                          &fields[1], &fields[2], &fields[3])) {
      return nullptr;
    }
    Frame frame;
    if (!convert_arg("frame", fields[0], to_u64, &frame.id) ||
        !convert_arg("frame", fields[1], to_u64, &frame.offset) ||
        !convert_arg("frame", fields[2], to_u64, &frame.len) ||
        !convert_arg("frame", fields[3], to_u64, &frame.hash)) {
      return nullptr;
    }
    Result<Bytes> content = fail(Error::io_eof());
    {
      NoGil unlocked;
      Result<FilePtr> file = env().open_read(path);
      content = file ? read_listed_frame(**file, frame, data_start)
                     : Result<Bytes>(fail(std::move(file).error()));
    }
    if (!content) return raise_engine_error(content.error(), path);
    return new_bytes(content->data(), content->size());
  });
}

}  // namespace

PyMethodDef kEngineSurveyDef = {
    "survey", as_cfunction(survey_fn), METH_VARARGS | METH_KEYWORDS,
    "survey(path)\n--\n\n"
    "What a damaged file still offers: (schema, headers, header_area, frames, faults, "
    "data_start, tail_start, tail_length, tail_cut)."};

PyMethodDef kEngineReadListedFrameDef = {
    "read_listed_frame", as_cfunction(read_listed_frame_fn), METH_VARARGS | METH_KEYWORDS,
    "read_listed_frame(path, data_start, frame)\n--\n\n"
    "The checked, decoded content of one listed frame (id, offset, length, hash)."};

}  // namespace drelix::py
