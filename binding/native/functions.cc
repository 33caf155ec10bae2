// The module functions that need no open file: peek_headers, split_records, xxh64 and
// max_frames_for.
#include "binding/common/args.h"
#include "binding/common/convert.h"
#include "binding/common/types.h"
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

PyObject* peek_headers_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"path"};
  static constexpr Signature kSig{"peek_headers", kParams, 1};
  PyObject* bound[1];
  if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
  std::string path;
  if (!convert_arg("path", bound[0], to_path, &path)) return nullptr;
  Result<PeekResult> peeked = peek_headers(path);
  if (!peeked) return raise_error(peeked.error());
  return new_pair(steal(new_preamble(peeked->preamble)), steal(new_header_dict(peeked->headers)));
}

PyObject* split_records_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"data", "layout"};
  static constexpr Signature kSig{"split_records", kParams, 2};
  PyObject* bound[2];
  if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
  ByteView data;
  RecordLayout layout = RecordLayout::prefixed();
  if (!convert_arg("data", bound[0], to_bytes, &data) ||
      !convert_arg("layout", bound[1], to_record_layout, &layout)) {
    return nullptr;
  }
  const SplitResult split = split_records(data, layout);
  Ref records = steal(PyList_New(static_cast<Py_ssize_t>(split.records.size())));
  if (!records) return nullptr;
  for (std::size_t i = 0; i < split.records.size(); ++i) {
    PyObject* record = new_bytes(split.records[i].data(), split.records[i].size());
    if (record == nullptr) return nullptr;
    PyList_SetItem(records.get(), static_cast<Py_ssize_t>(i), record);  // steals
  }
  return new_pair(std::move(records), steal(PyLong_FromUnsignedLongLong(split.torn)));
}

PyObject* xxh64_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"data"};
  static constexpr Signature kSig{"xxh64", kParams, 1};
  PyObject* bound[1];
  if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
  ByteView data;
  if (!convert_arg("data", bound[0], to_bytes, &data)) return nullptr;
  return PyLong_FromUnsignedLongLong(xxh64(data));
}

PyObject* max_frames_for_fn(PyObject*, PyObject* args, PyObject* kwargs) {
  static constexpr const char* kParams[] = {"header_area"};
  static constexpr Signature kSig{"max_frames_for", kParams, 1};
  PyObject* bound[1];
  if (!bind_args(kSig, args, kwargs, bound)) return nullptr;
  std::uint32_t header_area = 0;
  if (!convert_arg("header_area", bound[0], to_u32, &header_area)) return nullptr;
  return PyLong_FromUnsignedLongLong(max_frames_for(header_area));
}

}  // namespace

PyObject* new_header_dict(const Headers& headers) {
  Ref dict = steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : headers.pairs()) {
    Ref py_key = steal(new_str(key));
    Ref py_value = steal(new_str(value));
    if (!py_key || !py_value) return nullptr;
    // A dict keeps a key where it was first inserted and takes the newer value.
    if (PyDict_SetItem(dict.get(), py_key.get(), py_value.get()) < 0) return nullptr;
  }
  return release(std::move(dict));
}

PyMethodDef kPeekHeadersDef = {
    "peek_headers", as_cfunction(guard<peek_headers_fn>), METH_VARARGS | METH_KEYWORDS,
    "peek_headers(path)\n--\n\nPreamble and headers without touching the data section."};

PyMethodDef kSplitRecordsDef = {
    "split_records", as_cfunction(guard<split_records_fn>), METH_VARARGS | METH_KEYWORDS,
    "split_records(data, layout)\n--\n\n"
    "Splits raw bytes into records. Returns the records and the torn leftover."};

PyMethodDef kXxh64Def = {
    "xxh64", as_cfunction(guard<xxh64_fn>), METH_VARARGS | METH_KEYWORDS,
    "xxh64(data)\n--\n\nXXH64 with seed 0 \xe2\x80\x94 the hash the frame checksums use."};

PyMethodDef kMaxFramesForDef = {"max_frames_for", as_cfunction(guard<max_frames_for_fn>),
                                METH_VARARGS | METH_KEYWORDS,
                                "max_frames_for(header_area)\n--\n\n"
                                "Roughly how many frames a header zone of this size can list."};

}  // namespace drelix::py
