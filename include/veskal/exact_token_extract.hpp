#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cancel.hpp"
#include "iterator/tokens.hpp"
#include "match.hpp"
#include "text.hpp"

namespace veskal::exact_token_extract {

// Every run of as many tokens as `pattern` holds (under `tokenizer_pattern`) whose trimmed text
// equals the trimmed pattern, score 0, in order of start; overlapping runs are all reported.
// `pattern` and `tokenizer_pattern` are UTF-8. Fails only when the normalised pattern and
// tokenizer pattern are both empty, or when `check` cancels it.
//
// With `surrogate`, `s` is not known to be free of surrogate code points (U+D800..U+DFFF): the
// search checks the whole text, as it normalises it where it does, and on one sets *surrogate and
// returns no match.
Extraction extract(text::TextView s, std::string pattern, std::string tokenizer_pattern,
                   bool case_insensitive, bool special_char_insensitive,
                   const cancel::Check& check = {}, bool* surrogate = nullptr);

namespace detail {

// The two searches behind `extract`, over a normalised text and normalised pattern and
// separator, with `window` at least 1. With `line_feeds_as_spaces`, the text's line feeds
// compare as spaces (the separator cuts at them as it says).

// Compares every run of `window` tokens with the trimmed pattern.
template <class Unit>
std::vector<Match> by_runs(text::Units<Unit> s, std::u32string_view pattern,
                           const iterator::tokens::Separator<Unit>& separator, std::uint64_t window,
                           bool line_feeds_as_spaces = false);

// Finds the trimmed pattern in the text and keeps the runs of `window` tokens that hold an
// occurrence and white space alone besides. Nothing unless the separator is one character and
// the trimmed pattern non-empty, and, for a window of several tokens, the separator white space.
// Where it applies, with `surrogate`, it checks the text for surrogate code points as it reads
// it: on one, it sets *surrogate and returns no match. With a `stretch`, `s` is cut from a longer
// text: see Stretch.
struct Stretch;
template <class Unit>
std::optional<std::vector<Match>> by_occurrences(text::Units<Unit> s, std::u32string_view pattern,
                                                 const iterator::tokens::Separator<Unit>& separator,
                                                 std::uint64_t window,
                                                 bool line_feeds_as_spaces = false,
                                                 bool* surrogate = nullptr,
                                                 const Stretch* stretch = nullptr);

// Where a text searched by_occurrences lies in a longer one: only the occurrences starting in
// [from, to) count, and an edge cut from the longer text (`cut_front`, `cut_back`) is none of its
// token boundaries. Where a run around an occurrence reaches such an edge, the search is
// undecided and returns nothing.
struct Stretch {
  std::size_t from = 0;
  std::size_t to = 0;
  bool cut_front = false;
  bool cut_back = false;
};

// extract() with a flag set on a text normalised `stretch` units at a time rather than copied
// whole, `pattern` and `separator` normalised: nothing where the occurrence search does not apply,
// where a run of white space outreaches the stretches' margins, or where no stretch would tell
// (an empty text, a blank pattern).
std::optional<Extraction> search_streamed(text::TextView s, std::u32string_view pattern,
                                          std::u32string_view separator, bool case_insensitive,
                                          bool special_char_insensitive, bool* surrogate,
                                          std::size_t stretch);

}  // namespace detail

}  // namespace veskal::exact_token_extract
