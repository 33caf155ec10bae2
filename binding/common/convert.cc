#include "binding/common/convert.h"

#include <string_view>

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

bool fail_with(const std::string& type_error) {
  PyErr_SetString(PyExc_TypeError, type_error.c_str());
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

bool fail_type(std::string_view expected, PyObject* obj) {
  return fail_with(str_cat("expected ", expected, ", got ", type_name(obj)));
}

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

bool fail_item(Py_ssize_t index, std::string_view expected, PyObject* obj) {
  return fail_with(str_cat("item ", index, ": expected ", expected, ", got ", type_name(obj)));
}

bool to_user_headers(PyObject* obj, UserHeaders* out) {
  UserHeaders pairs;
  const auto take_pair = [&](Py_ssize_t i, PyObject* item) {
    if (!PyTuple_Check(item)) return fail_item(i, "tuple", item);
    const Py_ssize_t length = PyTuple_Size(item);
    if (length != 2) {
      const std::string text =
          str_cat("expected tuple of length 2, but got tuple of length ", length);
      PyErr_SetString(PyExc_ValueError, text.c_str());
      return false;
    }
    std::string texts[2];
    for (Py_ssize_t k = 0; k < 2; ++k) {
      PyObject* element = PyTuple_GetItem(item, k);
      if (!PyUnicode_Check(element)) return fail_item(i, "str", element);
      if (!to_text(element, &texts[k])) return false;
    }
    pairs.emplace_back(std::move(texts[0]), std::move(texts[1]));
    return true;
  };
  if (obj != Py_None && !for_each_item(obj, "(str, str) tuples", take_pair)) return false;
  *out = std::move(pairs);
  return true;
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

}  // namespace drelix::py
