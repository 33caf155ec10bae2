// The module functions that need no open file: peek_headers, split_records, xxh64 and
// max_frames_for.
#include "binding/common/args.h"
#include "binding/common/convert.h"
#include "binding/common/types.h"
#include "binding/native/native.h"
#include "core/frames.h"
#include "core/hash.h"
#include "core/headers.h"
#include "core/schema.h"

namespace drelix::py {

namespace {

// A new 2-tuple taking ownership of both items (either may be null after a failure, in which
// case the exception stays set and null is returned).
PyObject* new_pair(Ref first, Ref second) {
  if (!first || !second) return nullptr;
  Ref tuple = steal(PyTuple_New(2));
  if (!tuple) return nullptr;
  PyTuple_SetItem(tuple.get(), 0, first.release());  // steals
  PyTuple_SetItem(tuple.get(), 1, second.release());
  return release(std::move(tuple));
}

constexpr const char* kPath[] = {"path"};
constexpr const char* kData[] = {"data"};

PyObject* peek_headers_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  return call_on_path(Signature{"peek_headers", kPath, 1}, args, kwargs, peek_headers,
                      [](const PeekResult& peeked) {
                        return new_pair(steal(new_preamble(peeked.preamble)),
                                        steal(new_header_dict(peeked.headers)));
                      });
}

PyObject* split_records_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"data", "layout"};
  ByteView data;
  RecordLayout layout = RecordLayout::prefixed();
  if (!parse_args(Signature{"split_records", kParams, 2}, args, kwargs, Into{to_bytes, &data},
                  Into{to_record_layout, &layout})) {
    return nullptr;
  }
  const SplitResult split = split_records(data, layout);
  const auto new_record = [](ByteView r) { return new_bytes(r.data(), r.size()); };
  return new_pair(steal(new_list(split.records, new_record)), steal(new_int(split.torn)));
}

PyObject* xxh64_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  ByteView data;
  if (!parse_args(Signature{"xxh64", kData, 1}, args, kwargs, Into{to_bytes, &data})) {
    return nullptr;
  }
  return new_int(xxh64(data));
}

PyObject* max_frames_for_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"header_area"};
  std::uint32_t header_area = 0;
  if (!parse_args(Signature{"max_frames_for", kParams, 1}, args, kwargs,
                  Into{to_u32, &header_area})) {
    return nullptr;
  }
  return new_int(max_frames_for(header_area));
}

}  // namespace

PyMethodDef kPeekHeadersDef = method<peek_headers_fn>(
    "peek_headers",
    "peek_headers(path)\n--\n\nPreamble and headers without touching the data section.");

PyMethodDef kSplitRecordsDef = method<split_records_fn>(
    "split_records",
    "split_records(data, layout)\n--\n\n"
    "Splits raw bytes into records. Returns the records and the torn leftover.");

PyMethodDef kXxh64Def = method<xxh64_fn>(
    "xxh64", "xxh64(data)\n--\n\nXXH64 with seed 0 \xe2\x80\x94 the hash the frame checksums use.");

PyMethodDef kMaxFramesForDef =
    method<max_frames_for_fn>("max_frames_for",
                              "max_frames_for(header_area)\n--\n\n"
                              "Roughly how many frames a header zone of this size can list.");

}  // namespace drelix::py
