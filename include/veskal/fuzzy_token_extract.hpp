#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "cancel.hpp"
#include "match.hpp"
#include "text.hpp"

namespace veskal::fuzzy_token_extract {

// Every run of as many tokens as `pattern` holds within `threshold` of the pattern under
// `metric`, reduced by `strategies`. Fails on an unknown metric name when a run is compared, and
// when the normalised pattern and tokenizer pattern are both empty, and when `check` cancels it.
// With `surrogate`, the text is checked as exact_token_extract::extract says.
Extraction extract(text::TextView s, std::string pattern, std::string tokenizer_pattern,
                   bool case_insensitive, bool special_char_insensitive, std::string metric,
                   double threshold, std::uint8_t threshold_kind,
                   std::vector<std::string> strategies, const cancel::Check& check = {},
                   bool* surrogate = nullptr);

namespace detail {

// What `extract` finds in a normalised text for a normalised pattern and separator, by the plain
// path its shortcuts must equal: every token run scored by one call of the comparator.
Extraction every_run(std::u32string_view text, std::u32string_view pattern,
                     std::u32string_view separator, std::string_view metric, double threshold,
                     std::uint8_t threshold_kind, const std::vector<std::string>& strategies);

}  // namespace detail

}  // namespace veskal::fuzzy_token_extract
