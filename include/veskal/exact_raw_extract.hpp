#pragma once

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

}  // namespace detail

}  // namespace veskal::exact_raw_extract
