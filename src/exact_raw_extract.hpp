#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "match.hpp"

namespace veskal::exact_raw_extract {

// Every window of the pattern's length whose trimmed text equals the trimmed pattern, reduced
// to one match per cluster of overlapping windows by `strategies`. Never fails.
std::vector<Match> extract(std::string_view s, std::string pattern, bool case_insensitive,
                           bool special_char_insensitive, std::vector<std::string> strategies);

namespace detail {

// The matching windows of the normalised `pattern` in the normalised `text`, before conflict
// resolution: strictly ascending starts, score 0.0. With `ascii` the text is known to be all
// ASCII, so that byte offsets serve as positions and no characters are counted.
std::vector<Match> candidates(std::string_view text, std::string_view pattern, bool ascii);

// `extract` on a text and pattern already normalised, `ascii` as for `candidates`.
std::vector<Match> extract_normalised(std::string_view text, bool ascii, std::string_view pattern,
                                      const std::vector<std::string>& strategies);

}  // namespace detail

}  // namespace veskal::exact_raw_extract
