#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "cancel.hpp"
#include "match.hpp"
#include "text.hpp"

namespace veskal::exact_raw_extract {

// Every window of the pattern's length whose trimmed text equals the trimmed pattern, reduced
// to one match per cluster of overlapping windows by `strategies`. `pattern` is UTF-8. Fails
// only when `check` cancels it.
//
// With `surrogate`, `s` is not known to be free of surrogate code points (U+D800..U+DFFF): the
// search checks the text as it reads it, the whole of it, and stops at the first one, setting
// *surrogate and returning no match.
Extraction extract(text::TextView s, std::string pattern, bool case_insensitive,
                   bool special_char_insensitive, std::vector<std::string> strategies,
                   const cancel::Check& check = {}, bool* surrogate = nullptr);

namespace detail {

// The matching windows of the normalised `pattern` in the normalised `text`, before conflict
// resolution: strictly ascending starts, score 0.0. Line feeds in the text count as the spaces
// they normalise to, unless the trimmed pattern holds white space.
std::vector<Match> candidates(text::TextView text, std::u32string_view pattern);

// candidates() of `text` normalised with the flags, found by normalising about `block` units of
// it at a time. The trimmed pattern is to be non-empty and to fit the text's width.
std::vector<Match> candidates_streamed(text::TextView text, std::u32string_view pattern,
                                       bool case_insensitive, bool special_char_insensitive,
                                       std::size_t block);

}  // namespace detail

}  // namespace veskal::exact_raw_extract
