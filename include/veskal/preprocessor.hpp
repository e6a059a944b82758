#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

// A text normalised as `normalise` copies it, a stretch of about `stretch` units at a time, cut
// where no character's normalisation reads across: stretch by stretch, the same units. It holds
// the units from the first not dropped on, so that a search can read the text normalised for
// the memory of a few stretches.
template <class Unit>
class Stream {
 public:
  Stream(text::Units<Unit> in, bool case_insensitive, bool special_char_insensitive,
         std::size_t stretch)
      : in_(in),
        stretch_(stretch),
        case_insensitive_(case_insensitive),
        special_char_insensitive_(special_char_insensitive) {}

  // Normalises the next stretch onto the units held. False on a lone surrogate in it, the units
  // then unspecified.
  bool next();
  // True once the whole text is normalised.
  bool done() const { return read_ == in_.size(); }
  // The units held: those of the normalised text from position first() on.
  text::Units<Unit> units() const { return text::Units<Unit>(units_.data(), held_); }
  std::uint64_t first() const { return first_; }
  // The units before `position` of the normalised text are no longer needed.
  void drop_before(std::uint64_t position) { dropped_ = std::max(dropped_, position); }

 private:
  text::Units<Unit> in_;
  std::size_t stretch_;
  bool case_insensitive_;
  bool special_char_insensitive_;
  std::size_t read_ = 0;  // of `in_`
  std::vector<Unit> units_;
  std::size_t held_ = 0;  // units of `units_` in use
  std::uint64_t first_ = 0;
  std::uint64_t dropped_ = 0;
};

// Calls search(units, base, from, to) over `in` normalised as `normalise` copies it, a stretch
// at a time, for the memory of a few stretches: `units` holds the normalised text from position
// `base` on, and the calls' [from, to) cover every position once, in order. Each holds the
// `before` units before `from` and the `after` units from `to` on, where the text has them.
// A search that returns false ends the calls. False, and the search over, on a lone surrogate.
template <class Unit, class Search>
bool for_each_stretch(text::Units<Unit> in, bool case_insensitive, bool special_char_insensitive,
                      std::size_t stretch, std::uint64_t before, std::uint64_t after,
                      Search&& search) {
  Stream<Unit> stream(in, case_insensitive, special_char_insensitive, stretch);
  for (std::uint64_t from = 0;;) {
    if (!stream.done() && !stream.next()) return false;
    const bool last = stream.done();
    const std::uint64_t held_to = stream.first() + stream.units().size();
    const std::uint64_t to = last ? held_to : held_to - std::min(held_to, after);
    if (to > from) {
      const std::uint64_t base = from - std::min(from, before);
      if (!search(stream.units().subspan(static_cast<std::size_t>(base - stream.first()),
                                         static_cast<std::size_t>(held_to - base)),
                  base, from, to)) {
        return true;
      }
      from = to;
      stream.drop_before(from - std::min(from, before));
    }
    if (last) return true;
  }
}

}  // namespace veskal::preprocessor
