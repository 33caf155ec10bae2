#include "binding/common/convert.h"

#include <cerrno>
#include <string_view>

#include "binding/common/errors.h"
#include "core/str_cat.h"

namespace drelix::py {

namespace {

// Copies the contents of a bytes object.
bool bytes_to_string(PyObject* bytes, std::string* out) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) return false;
  out->assign(data, static_cast<std::size_t>(size));
  return true;
}

bool fail_type(std::string_view expected, PyObject* obj) {
  const std::string text = str_cat("expected ", expected, ", got ", type_name(obj));
  PyErr_SetString(PyExc_TypeError, text.c_str());
  return false;
}

// The text of an attribute that should be a str, or empty when it is missing or not a str.
std::string str_attr(PyObject* obj, const char* attr) {
  Ref value = steal(PyObject_GetAttrString(obj, attr));
  if (!value) {
    PyErr_Clear();
    return {};
  }
  if (!PyUnicode_Check(value.get())) return {};
  Ref utf8 = steal(PyUnicode_AsUTF8String(value.get()));
  std::string out;
  if (!utf8 || !bytes_to_string(utf8.get(), &out)) PyErr_Clear();
  return out;
}

bool is_numpy_bool(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  if (str_attr(type, "__module__") != "numpy") return false;
  const std::string name = str_attr(type, "__name__");
  return name == "bool_" || name == "bool";
}

// Any int-like object as an unsigned 64-bit value; OverflowError when negative or too big.
bool index_to_u64(PyObject* obj, std::uint64_t* out) {
  Ref index = steal(PyNumber_Index(obj));
  if (!index) return false;
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

}  // namespace

std::string type_name(PyObject* obj) {
  std::string name = str_attr(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__name__");
  return name.empty() ? std::string("object") : name;
}

bool to_path(PyObject* obj, std::string* out) {
  Ref path = steal(PyOS_FSPath(obj));
  if (!path) return false;
  if (!PyUnicode_Check(path.get())) return fail_type("a str path", path.get());
  Ref encoded = steal(PyUnicode_EncodeFSDefault(path.get()));
  std::string text;
  if (!encoded || !bytes_to_string(encoded.get(), &text)) return false;
  // The system would cut the path at the NUL, and the engine's derived paths ("<path>.seal")
  // would then name the data file itself: refused as the interpreter's own open() refuses it.
  if (text.find('\0') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  *out = std::move(text);
  return true;
}

bool to_bytes(PyObject* obj, ByteView* out) {
  if (!PyBytes_Check(obj)) return fail_type("bytes", obj);
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return false;
  *out = ByteView(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
  return true;
}

bool to_u64(PyObject* obj, std::uint64_t* out) {
  return index_to_u64(obj, out);
}

bool to_u32(PyObject* obj, std::uint32_t* out) {
  std::uint64_t value = 0;
  if (!index_to_u64(obj, &value)) return false;
  if (value > UINT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "int too big to convert");
    return false;
  }
  *out = static_cast<std::uint32_t>(value);
  return true;
}

bool to_i32(PyObject* obj, std::int32_t* out) {
  Ref index = steal(PyNumber_Index(obj));
  if (!index) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow > 0 || value > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "int too big to convert");
    return false;
  }
  if (overflow < 0 || value < INT32_MIN) {
    PyErr_SetString(PyExc_OverflowError, "int too small to convert");
    return false;
  }
  *out = static_cast<std::int32_t>(value);
  return true;
}

bool to_bool(PyObject* obj, bool* out) {
  if (obj == Py_True || obj == Py_False) {
    *out = obj == Py_True;
    return true;
  }
  if (!is_numpy_bool(obj)) return fail_type("True or False", obj);
  const int truth = PyObject_IsTrue(obj);
  if (truth < 0) return false;
  *out = truth != 0;
  return true;
}

bool to_text(PyObject* obj, std::string* out) {
  if (!PyUnicode_Check(obj)) return fail_type("str", obj);
  Ref utf8 = steal(PyUnicode_AsUTF8String(obj));
  return utf8 && bytes_to_string(utf8.get(), out);
}

bool fail_argument(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref cause_type = steal(type);
  Ref cause = steal(value);
  Ref cause_traceback = steal(traceback);
  if (!cause) return false;  // Fetch after a match always yields a value; be safe anyway.
  if (cause_traceback) PyException_SetTraceback(cause.get(), cause_traceback.get());
  Ref message = steal(PyObject_Str(cause.get()));
  if (!message) return false;
  Ref text = steal(PyUnicode_FromFormat("argument '%s': %U", name, message.get()));
  if (!text) return false;
  Ref wrapped = steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
  if (!wrapped) return false;
  // As `raise TypeError(...) from cause`: the cause is shown, the implicit context is not.
  // Both setters steal a reference.
  Py_INCREF(cause.get());
  PyException_SetContext(wrapped.get(), cause.get());
  PyException_SetCause(wrapped.get(), cause.release());
  PyErr_SetObject(PyExc_TypeError, wrapped.get());
  return false;
}

PyObject* raise_error(const Error& error) {
  // A call the engine reports interrupted was interrupted by a signal: its handler runs now, and
  // the exception it raises (KeyboardInterrupt for Ctrl-C) is the one the caller sees.
  if (error.kind() == Error::Kind::Io && error.os_code() == EINTR && PyErr_CheckSignals() < 0) {
    return nullptr;
  }
  PyObject* cls = nullptr;
  switch (error.kind()) {
    case Error::Kind::Io:
      cls = PyExc_OSError;
      break;
    case Error::Kind::Malformed:
      cls = malformed_error_class();
      break;
    case Error::Kind::Usage:
      cls = usage_error_class();
      break;
    case Error::Kind::ZoneFull:
      cls = zone_full_error_class();
      break;
    case Error::Kind::Compression:
      cls = compression_error_class();
      break;
  }
  if (cls == nullptr) return nullptr;
  Ref message = steal(new_str(error.to_string()));
  if (!message) return nullptr;
  // A one-argument OSError stays exactly OSError with errno, strerror and filename None.
  Ref exc = steal(PyObject_CallFunctionObjArgs(cls, message.get(), nullptr));
  if (!exc) return nullptr;
  PyErr_SetObject(cls, exc.get());
  return nullptr;
}

}  // namespace drelix::py
