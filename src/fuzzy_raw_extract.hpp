#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "match.hpp"

namespace veskal::fuzzy_raw_extract {

// Every character window (lengths set by the pattern, threshold and threshold kind) within
// `threshold` of the pattern under `metric`, reduced by `strategies`. Fails on an unknown metric
// name when at least one window is compared.
Extraction extract(std::string s, std::string pattern, bool case_insensitive,
                   bool special_char_insensitive, std::string metric, double threshold,
                   std::uint8_t threshold_kind, std::vector<std::string> strategies);

}  // namespace veskal::fuzzy_raw_extract
