#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cancel.hpp"
#include "match.hpp"
#include "text.hpp"

namespace veskal::fuzzy_raw_extract {

// Every character window (lengths set by the pattern, threshold and threshold kind) within
// `threshold` of the pattern under `metric`, reduced by `strategies`. Fails on an unknown metric
// name when at least one window is compared, and when `check` cancels it.
//
// With `surrogate`, `s` is not known to be free of surrogate code points (U+D800..U+DFFF): the
// search checks the whole text, as it reads it where it can, and stops at the first one, setting
// *surrogate and returning no match. A failed search may leave the text unchecked.
Extraction extract(text::TextView s, std::string pattern, bool case_insensitive,
                   bool special_char_insensitive, std::string metric, double threshold,
                   std::uint8_t threshold_kind, std::vector<std::string> strategies,
                   const cancel::Check& check = {}, bool* surrogate = nullptr);

namespace detail {

// The cut of [0, n) into `count` pieces of at least `least` characters each whose summed
// `cost(i, j)` of the pieces [i, j) is least: the count + 1 bounds, and that sum (infinite
// when no cut fits). Dynamic programming, in count * n * n steps.
template <class Cost>
std::pair<std::vector<std::size_t>, double> cheapest_cut(std::size_t count, std::size_t n,
                                                         std::size_t least, Cost&& cost_of) {
  constexpr double kNone = std::numeric_limits<double>::infinity();
  // cost[c][j]: the least sum for c pieces covering [0, j); from[c][j]: where the last begins.
  std::vector<std::vector<double>> cost(count + 1, std::vector<double>(n + 1, kNone));
  std::vector<std::vector<std::size_t>> from(count + 1, std::vector<std::size_t>(n + 1, 0));
  cost[0][0] = 0.0;
  for (std::size_t c = 1; c <= count; ++c) {
    for (std::size_t j = c * least; j <= n; ++j) {
      for (std::size_t i = (c - 1) * least; i + least <= j; ++i) {
        const double total = cost[c - 1][i] + cost_of(i, j);
        if (total < cost[c][j]) {
          cost[c][j] = total;
          from[c][j] = i;
        }
      }
    }
  }
  std::vector<std::size_t> bounds(count + 1, 0);
  for (std::size_t c = count, j = n; c > 0; --c) {
    bounds[c] = j;
    j = from[c][j];
  }
  return {std::move(bounds), cost[count][n]};
}

// The largest window growth beyond the pattern's `pattern_chars` characters: 0 for raw
// distances, else pattern_chars * threshold truncated toward zero and saturated (NaN gives 0).
std::int8_t margin(std::uint64_t pattern_chars, double threshold, std::uint8_t threshold_kind);

// Calls `on_window(start, end)` for every window at `start` (below `text_chars`) over a text of
// `text_chars` characters, for a pattern of `pattern_chars` (at least one) characters and a
// non-negative `margin`: end ascending. The windows at one start do not depend on any other.
template <class OnWindow>
void for_each_window_at(std::uint64_t start, std::uint64_t text_chars, std::uint64_t pattern_chars,
                        std::int8_t margin, OnWindow&& on_window) {
  const std::int64_t d = margin;
  // Windows at later starts may also be shorter than the pattern, down to one character.
  std::int64_t a =
      start == 0 ? 0 : -std::min<std::int64_t>(static_cast<std::int64_t>(pattern_chars - 1), d);
  for (;; ++a) {
    const std::uint64_t uncut = start + pattern_chars + static_cast<std::uint64_t>(a);
    on_window(start, std::min(uncut, text_chars));
    // Growth stops at the margin or at the first window that reaches the end of the text.
    if (a >= d || uncut >= text_chars) return;
  }
}

// Calls `on_window(start, end)` for every window over a text of `text_chars` characters, for a
// pattern of `pattern_chars` characters and a non-negative `margin`: start ascending, end
// ascending within a start.
template <class OnWindow>
void for_each_window(std::uint64_t text_chars, std::uint64_t pattern_chars, std::int8_t margin,
                     OnWindow&& on_window) {
  if (text_chars == 0 || pattern_chars == 0 || margin < 0) return;
  for (std::uint64_t start = 0; start < text_chars; ++start) {
    for_each_window_at(start, text_chars, pattern_chars, margin, on_window);
  }
}

// Which windows `find_candidates` compares: every one, or only those at starts near an exact
// occurrence of a piece of the pattern (the candidates are the same either way).
enum class Scan { every_window, near_pieces };

// How windows are scored: one rapidfuzz call each, or all windows of a start from rows and
// bounds shared by them (the candidates and scores are the same either way).
enum class Scoring { per_window, rows };

// What the receiver of candidates says of the windows at a start, as
// conflict_solver::StreamingSolver::settled_through does: windows ending at or before the position
// returned need not be handed on, nor any but the last that matches of those ending later.
using Settled = std::function<std::optional<std::uint64_t>(std::uint64_t start)>;

// Hands `on_candidate` every window of the normalised `text` within `threshold` of the
// normalised `pattern` (both trimmed before comparing), in enumeration order. False, with no
// candidate handed over, when `metric` is unknown and at least one window would be compared.
// With `line_feeds_as_spaces`, `text` is normalised but for its line feeds, which count as the
// spaces they normalise to. With `surrogate`, the whole text is also checked for surrogate code
// points, as it is read where the scan allows; the first one stops the search (true, with
// *surrogate set, and some candidates perhaps handed over). With `settled`, the row scoring
// leaves out windows it says no longer count. With `pieces`, the pieces that the filter chose on
// an earlier stretch of the same text are taken rather than chosen on a sample again, or, while
// it is empty, those it chooses are kept there.
bool find_candidates(text::TextView text, std::u32string_view pattern, std::string_view metric,
                     double threshold, std::uint8_t threshold_kind, Scan scan,
                     const std::function<void(const Match&)>& on_candidate,
                     Scoring scoring = Scoring::rows, bool line_feeds_as_spaces = false,
                     bool* surrogate = nullptr, const Settled& settled = {},
                     std::vector<std::size_t>* pieces = nullptr);

// The search of extract() with a flag set, on the text normalised `stretch` units at a time
// rather than copied whole; `pattern` normalised. The strategies are not to hold
// "minimum_isolated_character", whose solver reads the text.
Extraction search_streamed(text::TextView s, std::u32string_view pattern, bool case_insensitive,
                           bool special_char_insensitive, const std::string& metric,
                           double threshold, std::uint8_t threshold_kind,
                           const std::vector<std::string>& strategies, bool* surrogate,
                           std::size_t stretch);

}  // namespace detail

}  // namespace veskal::fuzzy_raw_extract
