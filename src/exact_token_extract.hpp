#pragma once

#include <string>

#include "match.hpp"

namespace veskal::exact_token_extract {

// Every run of as many tokens as `pattern` holds (under `tokenizer_pattern`) whose trimmed text
// equals the trimmed pattern, score 0, in order of start; overlapping runs are all reported.
// Fails only when the normalised pattern and tokenizer pattern are both empty.
Extraction extract(std::string s, std::string pattern, std::string tokenizer_pattern,
                   bool case_insensitive, bool special_char_insensitive);

}  // namespace veskal::exact_token_extract
