#include "binder.hpp"

#include <algorithm>
#include <array>
#include <string_view>

namespace veskal::binding {
namespace {

constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

// Strategy lists are a handful of names; a sequence whose __len__ claims more is not trusted
// with an up-front allocation of that size.
constexpr Py_ssize_t kMaxReservedItems = 1024;

// Raises TypeError "'{type}' object cannot be converted to '{target}'".
void raise_cannot_convert(PyObject* object, const char* target) {
  PyObject* qualname = PyType_GetQualName(Py_TYPE(object));
  if (qualname == nullptr) {
    PyErr_Clear();
    qualname = PyUnicode_FromString("<failed to extract type name>");
    if (qualname == nullptr) return;
  }
  PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", qualname, target);
  Py_DECREF(qualname);
}

bool str_equals(PyObject* object, const char* ascii) {
  return object != nullptr && PyUnicode_Check(object) &&
         PyUnicode_CompareWithASCIIString(object, ascii) == 0;
}

// numpy is never imported: its boolean scalar is recognised by its type's module and name, as
// numpy 1 ("bool_") and numpy 2 ("bool") spell it. Lookup errors just mean "not numpy".
bool is_numpy_bool(PyObject* object) {
  PyTypeObject* type = Py_TYPE(object);
  Ref module{PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__")};
  if (!module) {
    PyErr_Clear();
    return false;
  }
  if (!str_equals(module.get(), "numpy")) return false;
  Ref name{PyType_GetName(type)};
  if (!name) {
    PyErr_Clear();
    return false;
  }
  return str_equals(name.get(), "bool_") || str_equals(name.get(), "bool");
}

bool convert_string(PyObject* object, Value& out) {
  if (!PyUnicode_Check(object)) {
    raise_cannot_convert(object, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return false;  // a lone surrogate: UnicodeEncodeError
  out.emplace<std::string>(data, static_cast<std::size_t>(size));
  return true;
}

bool convert_bool(PyObject* object, Value& out) {
  if (object == Py_True || object == Py_False) {
    out.emplace<bool>(object == Py_True);
    return true;
  }
  if (!is_numpy_bool(object)) {
    raise_cannot_convert(object, "PyBool");
    return false;
  }
  const int truth = PyObject_IsTrue(object);
  if (truth < 0) return false;
  out.emplace<bool>(truth != 0);
  return true;
}

bool convert_float64(PyObject* object, Value& out) {
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out.emplace<double>(value);
  return true;
}

bool convert_uint8(PyObject* object, Value& out) {
  // Go through the platform's 64-bit integer so that values beyond it fail with the
  // interpreter's own OverflowError, and only the narrowing to 8 bits is ours.
  long long value;
  if constexpr (sizeof(long) == sizeof(std::int64_t)) {
    value = PyLong_AsLong(object);
  } else {
    value = PyLong_AsLongLong(object);
  }
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || value > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  out.emplace<std::uint8_t>(static_cast<std::uint8_t>(value));
  return true;
}

bool convert_string_list(PyObject* object, Value& out) {
  // A str is a sequence of str; accepting it would silently search for single characters.
  if (PyUnicode_Check(object)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(object)) {
    raise_cannot_convert(object, "Sequence");
    return false;
  }
  std::vector<std::string> items;
  const Py_ssize_t hint = PySequence_Size(object);
  if (hint < 0) {
    PyErr_Clear();  // only a size hint
  } else {
    items.reserve(static_cast<std::size_t>(std::min(hint, kMaxReservedItems)));
  }
  Ref iterator{PyObject_GetIter(object)};
  if (!iterator) return false;
  while (Ref item{PyIter_Next(iterator.get())}) {
    if (!PyUnicode_Check(item.get())) {
      raise_cannot_convert(item.get(), "PyString");
      return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(item.get(), &size);
    if (data == nullptr) return false;
    items.emplace_back(data, static_cast<std::size_t>(size));
  }
  if (PyErr_Occurred()) return false;  // the iteration itself failed
  out.emplace<std::vector<std::string>>(std::move(items));
  return true;
}

bool convert(Kind kind, PyObject* object, Value& out) {
  switch (kind) {
    case Kind::kString:
      return convert_string(object, out);
    case Kind::kBool:
      return convert_bool(object, out);
    case Kind::kFloat64:
      return convert_float64(object, out);
    case Kind::kUInt8:
      return convert_uint8(object, out);
    case Kind::kStringList:
      return convert_string_list(object, out);
  }
  PyErr_SetString(PyExc_SystemError, "unknown argument kind");
  return false;
}

// A conversion's TypeError is replaced by one naming the parameter; its __cause__ carries over.
// Errors of any other type, subclasses of TypeError included, pass unchanged.
void name_parameter_in_type_error(const char* parameter) {
  PyObject* error = PyErr_GetRaisedException();  // owned until handed back or released
  if (error == nullptr || !Py_IS_TYPE(error, reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) {
    PyErr_SetRaisedException(error);  // steals error
    return;
  }
  PyObject* message = nullptr;
  PyObject* remapped = nullptr;
  PyObject* cause = nullptr;
  message = PyUnicode_FromFormat("argument '%s': %S", parameter, error);
  if (message == nullptr) goto exit;
  remapped = PyObject_CallOneArg(PyExc_TypeError, message);
  if (remapped == nullptr) goto exit;
  cause = PyException_GetCause(error);
  if (cause != nullptr) PyException_SetCause(remapped, cause);  // steals cause
  PyErr_SetRaisedException(remapped);  // steals remapped
exit:
  Py_XDECREF(message);
  Py_DECREF(error);
}

std::size_t find_parameter(const Signature& signature, PyObject* keyword) {
  for (std::size_t i = 0; i < signature.parameters.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[i].name) == 0) return i;
  }
  return kNotFound;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string quoted_list(const std::vector<const char*>& names) {
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    list += '\'';
    list += names[i];
    list += '\'';
  }
  return list;
}

}  // namespace

bool parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::span<Value> out) {
  const std::size_t count = signature.parameters.size();
  if (count > kMaxParameters || out.size() != count) {
    PyErr_SetString(PyExc_SystemError, "argument table does not match its signature");
    return false;
  }
  // Borrowed: the caller's argument vector outlives the call.
  std::array<PyObject*, kMaxParameters> bound{};

  if (nargs > static_cast<Py_ssize_t>(count)) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given",
                 signature.function, count, nargs, nargs == 1 ? "was" : "were");
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) bound[static_cast<std::size_t>(i)] = args[i];

  const Py_ssize_t nkeywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t i = 0; i < nkeywords; ++i) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, i);
    if (!PyUnicode_Check(keyword)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", signature.function);
      return false;
    }
    const std::size_t index = find_parameter(signature, keyword);
    if (index == kNotFound) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   signature.function, keyword);
      return false;
    }
    if (bound[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'",
                   signature.function, keyword);
      return false;
    }
    bound[index] = args[nargs + i];
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < count; ++i) {
    if (bound[i] == nullptr) missing.push_back(signature.parameters[i].name);
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s",
                 signature.function, missing.size(), missing.size() == 1 ? "" : "s",
                 quoted_list(missing).c_str());
    return false;
  }

  for (std::size_t i = 0; i < count; ++i) {
    const Parameter& parameter = signature.parameters[i];
    if (!convert(parameter.kind, bound[i], out[i])) {
      name_parameter_in_type_error(parameter.name);
      return false;
    }
  }
  return true;
}

}  // namespace veskal::binding
