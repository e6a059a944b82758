#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "match.hpp"

namespace veskal::fuzzy_token_extract {

// Every run of as many tokens as `pattern` holds within `threshold` of the pattern under
// `metric`, reduced by `strategies`. Fails on an unknown metric name when a run is compared, and
// when the normalised pattern and tokenizer pattern are both empty.
Extraction extract(std::string_view s, std::string pattern, std::string tokenizer_pattern,
                   bool case_insensitive, bool special_char_insensitive, std::string metric,
                   double threshold, std::uint8_t threshold_kind,
                   std::vector<std::string> strategies);

namespace detail {

// `extract` on a text, pattern and tokenizer pattern already normalised.
Extraction extract_normalised(std::string_view text, std::string_view pattern,
                              std::string_view tokenizer_pattern, std::string_view metric,
                              double threshold, std::uint8_t threshold_kind,
                              const std::vector<std::string>& strategies);

}  // namespace detail

}  // namespace veskal::fuzzy_token_extract
