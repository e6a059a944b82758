#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
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

// extract() with a flag set on a text normalised `stretch` units at a time rather than copied
// whole, `pattern` and `separator` normalised, each stretch holding `after` units beyond its
// last start. Nothing where the separator is not one character, where the solver reads the
// text, where a run outreaches that margin, or where the copy's search would fail or compare
// nothing (an empty window or text, an unknown metric, a threshold that nothing meets).
std::optional<Extraction> search_streamed(text::TextView s, std::u32string_view pattern,
                                          std::u32string_view separator, bool case_insensitive,
                                          bool special_char_insensitive, const std::string& metric,
                                          double threshold, std::uint8_t threshold_kind,
                                          const std::vector<std::string>& strategies,
                                          bool* surrogate, std::size_t stretch,
                                          std::uint64_t after);

}  // namespace detail

}  // namespace veskal::fuzzy_token_extract
