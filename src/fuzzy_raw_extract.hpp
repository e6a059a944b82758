#pragma once

#include <algorithm>
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

namespace detail {

// The largest window growth beyond the pattern's `pattern_chars` characters: 0 for raw
// distances, else pattern_chars * threshold truncated toward zero and saturated (NaN gives 0).
std::int8_t margin(std::uint64_t pattern_chars, double threshold, std::uint8_t threshold_kind);

// Calls `on_window(start, end)` for every window over a text of `text_chars` characters, for a
// pattern of `pattern_chars` characters and a non-negative `margin`: start ascending, end
// ascending within a start.
template <class OnWindow>
void for_each_window(std::uint64_t text_chars, std::uint64_t pattern_chars, std::int8_t margin,
                     OnWindow&& on_window) {
  if (text_chars == 0 || pattern_chars == 0 || margin < 0) return;
  const std::int64_t d = margin;
  // Windows at later starts may also be shorter than the pattern, down to one character.
  const std::int64_t lowest =
      -std::min<std::int64_t>(static_cast<std::int64_t>(pattern_chars - 1), d);
  std::uint64_t start = 0;
  std::int64_t a = 0;
  while (start < text_chars) {
    const std::uint64_t uncut = start + pattern_chars + static_cast<std::uint64_t>(a);
    const std::uint64_t end = std::min(uncut, text_chars);
    on_window(start, end);
    // Growth stops at the margin or at the first window that reaches the end of the text.
    if (a >= d || uncut >= text_chars) {
      ++start;
      a = lowest;
    } else {
      ++a;
    }
  }
}

}  // namespace detail

}  // namespace veskal::fuzzy_raw_extract
