#pragma once

#include "python.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "text.hpp"

namespace veskal::binding {

// What a parameter converts to on the engine side.
enum class Kind {
  kText,        // str (subclasses too), lent as a view of its own storage
  kTextToVet,   // the same, unchecked for lone surrogates: the engine checks as it reads
  kString,      // str (subclasses too), copied out as UTF-8
  kBool,        // True/False, or a numpy boolean scalar
  kFloat64,     // anything the interpreter's float conversion accepts
  kUInt8,       // an integer (through __index__) in 0..255
  kStringList,  // a non-str sequence of str
};

struct Parameter {
  const char* name;
  Kind kind;
};

// Every parameter may be passed by position or by keyword and every one is required.
struct Signature {
  const char* function;
  std::span<const Parameter> parameters;
};

inline constexpr std::size_t kMaxParameters = 16;

// A text argument: a view of the str's own characters at the width it stores them (1, 2 or 4
// bytes a character), which the str keeps alive and unchanged for the whole call (the caller
// holds it, and a str never changes).
class Text {
 public:
  // `str` is borrowed: the caller holds it for the whole call.
  explicit Text(text::TextView view, PyObject* str = nullptr, bool vetted = true)
      : view_(view), str_(str), vetted_(vetted) {}

  text::TextView view() const { return view_; }
  // False when the str may hold a lone surrogate (a kTextToVet argument).
  bool vetted() const { return vetted_; }

  // Where the engine reports a lone surrogate in an unvetted str; null until set.
  bool* found() const { return found_; }
  void report_to(bool* found) { found_ = found; }

  // Whether the unvetted str holds a lone surrogate, from a pass over it.
  bool has_surrogate() const;
  // Raises the interpreter's UnicodeEncodeError for the str, as a kText argument with a lone
  // surrogate does; always returns false.
  bool raise_surrogate() const;

 private:
  text::TextView view_;
  PyObject* str_;
  bool vetted_;
  bool* found_ = nullptr;
};

using Value = std::variant<std::monostate, Text, std::string, bool, double, std::uint8_t,
                           std::vector<std::string>>;

// Binds a fast call's arguments to `signature`, then converts them in declaration order into
// `out` (one slot per parameter). On the first failure sets a Python exception and returns false;
// a TypeError from a conversion is re-raised prefixed with "argument '{parameter}': ".
bool parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, std::span<Value> out);

// A str (subclasses too) converted as a kText, or a kString, argument is, for callers that check
// types themselves. Nothing (false) with the interpreter's exception set: a lone surrogate. With
// `vet` false, the str is left unchecked (as a kTextToVet argument is) for the caller to check.
std::optional<Text> str_to_text(PyObject* str, bool vet = true);
bool str_to_utf8(PyObject* str, std::string& out);

// Moves a converted value out of its slot; T must match the parameter's kind.
template <typename T>
T take(Value& value) {
  return std::get<T>(std::move(value));
}

}  // namespace veskal::binding
