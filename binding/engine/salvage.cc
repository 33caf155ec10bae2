// What salvage needs of a damaged file that a Reader refuses to open: the survey of its frame
// list and tail, and checked reads of the frames the survey left standing.
#include <string>
#include <utility>

#include "binding/engine/types.h"
#include "binding/engine/use.h"
#include "core/damaged.h"
#include "core/frame_read.h"

namespace drelix::py {

namespace {

constexpr const char* kSurveyParams[] = {"path"};
constexpr Signature kSurveySig{"survey", kSurveyParams, 1};

PyObject* survey_fn(PyObject*, const Args& args) {
  std::string path;
  if (!args.get(0, to_path, &path)) return nullptr;
  Result<ListedFile> listed = fail(Error::io_eof());
  const Result<Survey> found = unlocked([&]() -> Result<Survey> {
    listed = open_listed(path);
    if (!listed) return fail(listed.error());
    return survey(*listed);
  });
  if (!found) return raise_engine_error(found.error(), path);
  Ref schema = steal(new_schema(listed->schema));
  Ref headers = steal(new_header_dict(listed->headers));
  Ref frames = steal(new_frame_tuples(listed->frames));
  Ref faults = steal(new_str_list(found->faults));
  if (!schema || !headers || !frames || !faults) return nullptr;
  return Py_BuildValue("(OOIOOKKKO)", schema.get(), headers.get(),
                       static_cast<unsigned int>(listed->preamble.header_area), frames.get(),
                       faults.get(), static_cast<unsigned long long>(listed->data_start),
                       static_cast<unsigned long long>(found->tail_start),
                       static_cast<unsigned long long>(found->tail_len),
                       found->tail_cut ? Py_True : Py_False);
}

// A frame tuple (id, offset, length, hash).
bool to_frame(PyObject* obj, Frame* out) {
  PyObject* fields[4];
  if (!PyArg_ParseTuple(obj, "OOOO;expected (id, offset, length, hash)", &fields[0], &fields[1],
                        &fields[2], &fields[3])) {
    return false;
  }
  return to_u64(fields[0], &out->id) && to_u64(fields[1], &out->offset) &&
         to_u64(fields[2], &out->len) && to_u64(fields[3], &out->hash);
}

constexpr const char* kReadListedParams[] = {"path", "data_start", "frame"};
constexpr Signature kReadListedSig{"read_listed_frame", kReadListedParams, 3};

PyObject* read_listed_frame_fn(PyObject*, const Args& args) {
  std::string path;
  std::uint64_t data_start = 0;
  Frame frame;
  if (!args.get(0, to_path, &path) || !args.get(1, to_u64, &data_start) ||
      !args.get(2, to_frame, &frame)) {
    return nullptr;
  }
  const Result<Bytes> content = unlocked([&]() -> Result<Bytes> {
    DRELIX_ASSIGN_OR_RETURN(const FilePtr file, env().open_read(path));
    return read_listed_frame(*file, frame, data_start);
  });
  if (!content) return raise_engine_error(content.error(), path);
  return new_bytes(content->data(), content->size());
}

}  // namespace

PyMethodDef kEngineSurveyDef = method<kSurveySig, survey_fn>(
    "survey(path)\n--\n\n"
    "What a damaged file still offers: (schema, headers, header_area, frames, faults, "
    "data_start, tail_start, tail_length, tail_cut).");

PyMethodDef kEngineReadListedFrameDef = method<kReadListedSig, read_listed_frame_fn>(
    "read_listed_frame(path, data_start, frame)\n--\n\n"
    "The checked, decoded content of one listed frame (id, offset, length, hash).");

}  // namespace drelix::py
