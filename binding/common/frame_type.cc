// Frame: one entry of a file's frame list, copied out of the engine's list.
#include "binding/common/types.h"
#include "binding/common/value_type.h"
#include "core/numbers.h"
#include "core/str_cat.h"

namespace drelix::py {

namespace {

PyObject* repr(PyObject* self) {
  const Frame& f = value_of<Frame>(self);
  return new_str(str_cat("Frame(id=", f.id, ", offset=", f.offset, ", len=", f.len, ", hash=0x",
                         to_hex16(f.hash), ")"));
}

PyGetSetDef kGetSet[] = {
    property<&Frame::id, new_int>("id", "The id the writer gave it. Ids may repeat."),
    property<&Frame::offset, new_int>("offset", "Byte offset from the start of the data section."),
    property<&Frame::len, new_int>("len", "Compressed length."),
    property<&Frame::hash, new_int>(
        "hash", "XXH64 of the compressed bytes, `0` when the file predates checksums."),
    {},
};

}  // namespace

PyTypeObject* frame_type() {
  return value_class<Frame>({.name = "drelix_binary._native.Frame",
                             .doc = "One closed frame in the data section.",
                             .getset = kGetSet,
                             .repr = guard<repr>,
                             .compared = true});
}

PyObject* new_frame(const Frame& frame) {
  return new_value(frame_type(), frame);
}

PyObject* new_frame_list(const std::vector<Frame>& frames) {
  return new_list(frames, new_frame);
}

}  // namespace drelix::py
