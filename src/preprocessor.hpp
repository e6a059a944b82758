#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace veskal::preprocessor {

// Normalises `text`: line feeds become spaces; with `case_insensitive`, full Unicode lowercase
// (root locale, Final_Sigma, U+0130 -> "i\u0307"); then with `special_char_insensitive`, the
// fourteen French accented letters and signs become plain ASCII letters. Never fails.
std::string preprocess(std::string text, bool case_insensitive, bool special_char_insensitive);

// A text after normalisation: the caller's own bytes when normalising changed nothing, else an
// owned normalised copy. Moving it keeps text() valid; a borrowed one must not outlive its input.
class Normalised {
 public:
  // The normalised text.
  std::string_view text() const { return borrowed_ ? view_ : std::string_view(owned_); }
  // True when text() is the input itself (same bytes, same address).
  bool borrowed() const { return borrowed_; }
  // True when every byte of text() is known to be ASCII, so that byte offsets are character
  // positions; false when unknown.
  bool ascii() const { return ascii_; }

 private:
  friend Normalised normalise(std::string_view, bool, bool);

  Normalised(std::string owned, std::string_view view, bool borrowed, bool ascii)
      : owned_(std::move(owned)), view_(view), borrowed_(borrowed), ascii_(ascii) {}

  std::string owned_;
  std::string_view view_;
  bool borrowed_;
  bool ascii_;
};

// `text` normalised exactly as `preprocess` does, but borrowed instead of copied when that
// changes nothing (no line feed; no ASCII capital under `case_insensitive`; no '@' under
// `special_char_insensitive`; and ASCII only when a flag is set). Decided in one pass.
Normalised normalise(std::string_view text, bool case_insensitive, bool special_char_insensitive);

}  // namespace veskal::preprocessor
