#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cancel.hpp"
#include "match.hpp"

namespace veskal::exact_token_extract {

// Every run of as many tokens as `pattern` holds (under `tokenizer_pattern`) whose trimmed text
// equals the trimmed pattern, score 0, in order of start; overlapping runs are all reported.
// Fails only when the normalised pattern and tokenizer pattern are both empty, or when `check`
// cancels it.
Extraction extract(std::string_view s, std::string pattern, std::string tokenizer_pattern,
                   bool case_insensitive, bool special_char_insensitive,
                   const cancel::Check& check = {});

namespace detail {

// The two searches behind `extract`, over normalised strings, with `window` at least 1.

// Compares every run of `window` tokens with the trimmed pattern.
std::vector<Match> by_runs(std::string_view s, std::string_view pattern, std::string_view separator,
                           std::uint64_t window);

// Finds the trimmed pattern in the text and keeps the occurrences that fill a token up to white
// space. Nothing unless the window is one token, the separator one character and the trimmed
// pattern non-empty. With `ascii` the text is known to be all ASCII, so that byte offsets serve
// as positions and no characters are counted.
std::optional<std::vector<Match>> by_occurrences(std::string_view s, std::string_view pattern,
                                                 std::string_view separator, std::uint64_t window,
                                                 bool ascii);

}  // namespace detail

}  // namespace veskal::exact_token_extract
