#include "binder.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
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

// ---- str to UTF-8 --------------------------------------------------------------------------
// Strings are encoded straight from the str's own code points into the owned copy.
// PyUnicode_AsUTF8AndSize would encode into a buffer that the interpreter then keeps on the
// caller's str for the rest of its life (as large as the text again) and that we would copy once
// more. Sizes are counted exactly first, so the output is allocated once and never shrunk.

constexpr std::size_t kSurrogateFound = static_cast<std::size_t>(-1);
constexpr std::uint64_t kHighBits = 0x8080808080808080;

std::uint64_t load_word(const void* p) {
  std::uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return word;
}

char* put_2(char* out, Py_UCS4 c) {
  *out++ = static_cast<char>(0xC0 | (c >> 6));
  *out++ = static_cast<char>(0x80 | (c & 0x3F));
  return out;
}

char* put_3(char* out, Py_UCS4 c) {
  *out++ = static_cast<char>(0xE0 | (c >> 12));
  *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  *out++ = static_cast<char>(0x80 | (c & 0x3F));
  return out;
}

char* put_4(char* out, Py_UCS4 c) {
  *out++ = static_cast<char>(0xF0 | (c >> 18));
  *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  *out++ = static_cast<char>(0x80 | (c & 0x3F));
  return out;
}

// One byte per character, plus one for each character at or above U+0080.
std::size_t utf8_size(const Py_UCS1* text, std::size_t length) {
  std::size_t size = length;
  std::size_t i = 0;
  // Each byte lane counts its high bits; 255 words at most before a lane could overflow.
  while (length - i >= 8) {
    const std::size_t words = std::min<std::size_t>((length - i) / 8, 255);
    std::uint64_t lanes = 0;
    for (std::size_t w = 0; w < words; ++w, i += 8) lanes += (load_word(text + i) & kHighBits) >> 7;
    lanes = (lanes & 0x00FF00FF00FF00FF) + ((lanes >> 8) & 0x00FF00FF00FF00FF);
    size += static_cast<std::size_t>((lanes * 0x0001000100010001) >> 48);
  }
  for (; i < length; ++i) size += text[i] >> 7;
  return size;
}

// Counted in blocks with narrow accumulators, which the compiler vectorises; kSurrogateFound if
// any surrogate occurs.
template <typename Char>
std::size_t utf8_size(const Char* text, std::size_t length) {
  constexpr std::size_t kBlock = 4096;  // at most 3 extra bytes each: the count fits in Char
  std::size_t size = length;
  Char surrogates = 0;
  for (std::size_t start = 0; start < length; start += kBlock) {
    const std::size_t end = std::min(length, start + kBlock);
    Char extra = 0;
    for (std::size_t i = start; i < end; ++i) {
      const Char c = text[i];
      extra = static_cast<Char>(extra + (c >= 0x80) + (c >= 0x800));
      if constexpr (sizeof(Char) == 4) extra += (c >= 0x10000);
      surrogates |= static_cast<Char>(static_cast<Char>(c - 0xD800) < 0x800);
    }
    size += extra;
  }
  return surrogates != 0 ? kSurrogateFound : size;
}

void encode(const Py_UCS1* text, std::size_t length, char* out) {
  std::size_t i = 0;
  while (i < length) {
    if (length - i >= 8) {
      const std::uint64_t word = load_word(text + i);
      if ((word & kHighBits) == 0) {
        std::memcpy(out, &word, 8);
        out += 8;
        i += 8;
        continue;
      }
    }
    const Py_UCS1 c = text[i++];
    if (c < 0x80) {
      *out++ = static_cast<char>(c);
    } else {
      out = put_2(out, c);
    }
  }
}

// Copies eight characters as bytes if all are ASCII. Works on 64-bit words so that runs of
// ASCII, common even in texts that need wider characters, cost a few operations per eight.
template <typename Char>
bool copy_ascii_block(const Char* text, char* out) {
  constexpr std::size_t kWords = sizeof(Char);  // eight characters span this many words
  constexpr std::uint64_t kNonAscii = sizeof(Char) == 2 ? 0xFF80FF80FF80FF80 : 0xFFFFFF80FFFFFF80;
  if constexpr (std::endian::native != std::endian::little) return false;  // packing assumes it
  std::uint64_t words[kWords];
  std::memcpy(words, text, sizeof words);
  std::uint64_t any = 0;
  for (std::uint64_t word : words) any |= word;
  if ((any & kNonAscii) != 0) return false;
  std::uint64_t packed = 0;
  for (std::size_t k = 0; k < kWords; ++k) {
    std::uint64_t word = words[k];
    if constexpr (sizeof(Char) == 2) {  // 4 characters -> 4 bytes
      word |= word >> 8;
      word = (word & 0xFFFF) | ((word >> 16) & 0xFFFF0000);
    } else {  // 2 characters -> 2 bytes
      word = (word & 0xFF) | ((word >> 24) & 0xFF00);
    }
    packed |= word << (k * 64 / kWords);
  }
  std::memcpy(out, &packed, 8);
  return true;
}

// Surrogates were ruled out by utf8_size.
template <typename Char>
void encode(const Char* text, std::size_t length, char* out) {
  std::size_t i = 0;
  while (i < length) {
    if (length - i >= 8 && copy_ascii_block(text + i, out)) {
      out += 8;
      i += 8;
      continue;
    }
    const Py_UCS4 c = text[i++];
    if (c < 0x80) {
      *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
      out = put_2(out, c);
    } else if (c < 0x10000) {
      out = put_3(out, c);
    } else {
      out = put_4(out, c);
    }
  }
}

// Sets `out` to the UTF-8 of `str`, encoded from its own characters: asking the interpreter
// would leave a cached UTF-8 copy on the caller's str for its whole life. A lone surrogate has
// no UTF-8: the interpreter's own encoder then raises its UnicodeEncodeError (and, failing,
// caches nothing on the str).
bool copy_utf8(PyObject* str, std::string& out) {
  const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(str));
  const void* data = PyUnicode_DATA(str);
  if (PyUnicode_IS_ASCII(str)) {
    out.assign(static_cast<const char*>(data), length);
    return true;
  }
  std::size_t size = 0;
  switch (PyUnicode_KIND(str)) {
    case PyUnicode_1BYTE_KIND:
      size = utf8_size(static_cast<const Py_UCS1*>(data), length);
      out.resize(size);
      encode(static_cast<const Py_UCS1*>(data), length, out.data());
      return true;
    case PyUnicode_2BYTE_KIND:
      size = utf8_size(static_cast<const Py_UCS2*>(data), length);
      if (size == kSurrogateFound) break;
      out.resize(size);
      encode(static_cast<const Py_UCS2*>(data), length, out.data());
      return true;
    default:
      size = utf8_size(static_cast<const Py_UCS4*>(data), length);
      if (size == kSurrogateFound) break;
      out.resize(size);
      encode(static_cast<const Py_UCS4*>(data), length, out.data());
      return true;
  }
  Ref bytes{PyUnicode_AsUTF8String(str)};
  if (!bytes) return false;
  out.assign(PyBytes_AS_STRING(bytes.get()),
             static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
  return true;
}

bool convert_string(PyObject* object, Value& out) {
  if (!PyUnicode_Check(object)) {
    raise_cannot_convert(object, "PyString");
    return false;
  }
  return copy_utf8(object, out.emplace<std::string>());
}

// Any str, subclasses included, is lent as its own code units: nothing is encoded or counted.
// A str holding a lone surrogate is refused as every other str argument is: the interpreter's
// own UTF-8 encoder raises its UnicodeEncodeError (and, failing, caches nothing on the str).
// Only 2- and 4-byte strs can hold one. Without `vet` the engine looks for it as it reads the
// text, which then is read once rather than twice.
bool convert_text(PyObject* object, Value& out, bool vet = true) {
  if (!PyUnicode_Check(object)) {
    raise_cannot_convert(object, "PyString");
    return false;
  }
  const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(object));
  const void* data = PyUnicode_DATA(object);
  switch (PyUnicode_KIND(object)) {
    case PyUnicode_1BYTE_KIND:
      out.emplace<Text>(text::TextView::latin1(static_cast<const Py_UCS1*>(data), length), object);
      return true;
    case PyUnicode_2BYTE_KIND:
      // Py_UCS2 and char16_t are both 16-bit code units of the same values.
      out.emplace<Text>(
          text::TextView(std::u16string_view(reinterpret_cast<const char16_t*>(data), length)),
          object, vet);
      break;
    default:
      out.emplace<Text>(
          text::TextView(std::u32string_view(reinterpret_cast<const char32_t*>(data), length)),
          object, vet);
      break;
  }
  const Text& text = std::get<Text>(out);
  if (!vet || !text.has_surrogate()) return true;
  return text.raise_surrogate();
}

}  // namespace

bool Text::has_surrogate() const {
  return view_.visit([](auto units) { return text::has_surrogate(units); });
}

// The interpreter's own UTF-8 encoder raises its UnicodeEncodeError (and, failing, caches
// nothing on the str).
bool Text::raise_surrogate() const {
  Ref bytes{PyUnicode_AsUTF8String(str_)};
  if (!bytes) return false;
  PyErr_SetString(PyExc_SystemError, "a surrogate went unreported by the UTF-8 encoder");
  return false;
}

std::optional<Text> str_to_text(PyObject* str, bool vet) {
  Value value;
  if (!convert_text(str, value, vet)) return std::nullopt;
  return take<Text>(value);
}

bool str_to_utf8(PyObject* str, std::string& out) {
  return copy_utf8(str, out);
}

namespace {

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

// Exact floats and small exact ints are read in place: the interpreter's conversions would give
// the same value, but their code is cold at the start of a call and costs microseconds to fetch.
// True with `value` set when `object` is such an int.
bool small_int(PyObject* object, long long& value) {
  const auto* number = reinterpret_cast<PyLongObject*>(object);
  if (!PyLong_CheckExact(object) || !PyUnstable_Long_IsCompact(number)) return false;
  value = PyUnstable_Long_CompactValue(number);
  return true;
}

bool convert_float64(PyObject* object, Value& out) {
  if (PyFloat_CheckExact(object)) {
    out.emplace<double>(PyFloat_AS_DOUBLE(object));
    return true;
  }
  if (long long small; small_int(object, small)) {
    out.emplace<double>(static_cast<double>(small));
    return true;
  }
  const double value = PyFloat_AsDouble(object);
  if (value == -1.0 && PyErr_Occurred()) return false;
  out.emplace<double>(value);
  return true;
}

bool convert_uint8(PyObject* object, Value& out) {
  // Go through the platform's 64-bit integer so that values beyond it fail with the
  // interpreter's own OverflowError, and only the narrowing to 8 bits is ours.
  long long value;
  if (!small_int(object, value)) {
    if constexpr (sizeof(long) == sizeof(std::int64_t)) {
      value = PyLong_AsLong(object);
    } else {
      value = PyLong_AsLongLong(object);
    }
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
  if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) {
    // Read in place, as their iterators would read them, without building one. The size is read
    // again at each step, as a list's iterator does, and each item is held while it is read: the
    // collector may run a finalizer that changes the list.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(object); ++i) {
      const Ref item{Py_NewRef(PySequence_Fast_GET_ITEM(object, i))};
      if (!PyUnicode_Check(item.get())) {
        raise_cannot_convert(item.get(), "PyString");
        return false;
      }
      if (!copy_utf8(item.get(), items.emplace_back())) return false;
    }
    out.emplace<std::vector<std::string>>(std::move(items));
    return true;
  }
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
    if (!copy_utf8(item.get(), items.emplace_back())) return false;
  }
  if (PyErr_Occurred()) return false;  // the iteration itself failed
  out.emplace<std::vector<std::string>>(std::move(items));
  return true;
}

bool convert(Kind kind, PyObject* object, Value& out) {
  switch (kind) {
    case Kind::kText:
      return convert_text(object, out);
    case Kind::kTextToVet:
      return convert_text(object, out, false);
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
  PyErr_SetRaisedException(remapped);                           // steals remapped
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
      // A text before this argument with a lone surrogate fails first, as a kText one does.
      for (std::size_t j = 0; j < i; ++j) {
        const Text* text = std::get_if<Text>(&out[j]);
        if (text != nullptr && !text->vetted() && text->has_surrogate()) {
          PyErr_Clear();
          return text->raise_surrogate();
        }
      }
      return false;
    }
  }
  return true;
}

}  // namespace veskal::binding
