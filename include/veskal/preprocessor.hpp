#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "text.hpp"

namespace veskal::preprocessor {

// Normalises the UTF-8 `text`: line feeds become spaces; with `case_insensitive`, full Unicode
// lowercase (root locale, Final_Sigma, U+0130 -> "i\u0307"); then with `special_char_insensitive`,
// the fourteen French accented letters and signs become plain ASCII letters. Never fails.
std::string preprocess(std::string text, bool case_insensitive, bool special_char_insensitive);

// A pattern or separator normalised as `preprocess` does it, as code points.
std::u32string normalise_pattern(std::string utf8, bool case_insensitive,
                                 bool special_char_insensitive);

// A text after normalisation: the caller's own units when normalising changed nothing, else an
// owned normalised copy at the narrowest width that holds it. Moving it keeps text() valid; a
// borrowed one must not outlive its input.
class Normalised {
 public:
  // The input itself, lent.
  static Normalised borrow(text::TextView input) { return Normalised(input); }

  text::TextView text() const { return view_; }
  // True when text() is the input itself (same units, same address).
  bool borrowed() const { return !owned_; }

 private:
  friend class Writer;
  explicit Normalised(text::TextView view) : view_(view) {}
  Normalised(std::unique_ptr<std::byte[]> storage, text::TextView view)
      : storage_(std::move(storage)), view_(view), owned_(true) {}

  // Raw bytes, so that units of a narrower type may take the place of wider ones.
  std::unique_ptr<std::byte[]> storage_;
  text::TextView view_;
  bool owned_ = false;
};

// `input` normalised as `preprocess` normalises its characters, borrowed when that changes
// nothing. With no flag set and `line_feeds_matter` false (the search cannot tell a line feed from
// a space: its trimmed pattern holds no white space), the input is lent as it is, line feeds
// included. With `surrogate`, the input is also checked for lone surrogates as it is read (one
// pass, not two): *surrogate tells whether it holds one, and if so the text returned is not to
// be searched.
Normalised normalise(text::TextView input, bool case_insensitive, bool special_char_insensitive,
                     bool line_feeds_matter = true, bool* surrogate = nullptr);

}  // namespace veskal::preprocessor
