// What native/module.cc registers besides the shared value classes: the Container class and the
// module functions, with the calling road they share.
#pragma once

#include <string>
#include <utility>

#include "binding/common/args.h"
#include "binding/common/errors.h"
#include "binding/common/py.h"
#include "core/error.h"

namespace drelix::py {

// Built once and cached; a borrowed reference, null with an exception set on failure.
PyTypeObject* container_type();

// native/functions.cc
extern PyMethodDef kPeekHeadersDef;
extern PyMethodDef kSplitRecordsDef;
extern PyMethodDef kXxh64Def;
extern PyMethodDef kMaxFramesForDef;

// native/maintenance.cc
extern PyMethodDef kValidateDef;
extern PyMethodDef kRebuildHeadersDef;
extern PyMethodDef kRepackDef;

// `wrap(value)` of a successful result (a new reference or null), else its error raised in
// _native's form.
template <class T, class Wrap>
PyObject* wrap_or_raise(Result<T>&& result, Wrap wrap) {
  if (!result) return raise_error(result.error(), IoForm::kMessage);
  return wrap(std::move(*result));
}

// None, or the error raised in _native's form.
inline PyObject* none_or_raise(const Status& status) {
  if (!status) return raise_error(status.error(), IoForm::kMessage);
  Py_RETURN_NONE;
}

// A call whose one parameter is a path: `run(path)` wrapped by `wrap` as wrap_or_raise does.
template <class Run, class Wrap>
PyObject* call_on_path(const Signature& sig, PyObject* args, PyObject* kwargs, Run run, Wrap wrap) {
  std::string path;
  if (!parse_args(sig, args, kwargs, Into{to_path, &path})) return nullptr;
  return wrap_or_raise(run(path), wrap);
}

}  // namespace drelix::py
