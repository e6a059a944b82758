#include "exact_raw_extract.hpp"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>

#include "conflict_solver/solver.hpp"
#include "preprocessor.hpp"

namespace veskal::exact_raw_extract {

namespace {

// A window trims to nothing only where it lies inside a run of white space; inside a run
// [a, b) the windows starting at a .. b - m stay in the run, and at the text's end every
// start does, since the window is cut short there.
template <class Unit, class Emit>
void white_space_windows(text::Units<Unit> t, std::uint64_t m, Emit& emit) {
  std::uint64_t run_start = 0;
  bool in_run = false;
  const auto close_run = [&](std::uint64_t run_end, bool at_text_end) {
    if (!at_text_end && run_end - run_start < m) return;
    const std::uint64_t last_start = at_text_end ? run_end - 1 : run_end - m;
    for (std::uint64_t i = run_start; i <= last_start; ++i) {
      emit(Match{i, std::min(i + m, run_end), 0.0});
    }
  };
  for (std::uint64_t position = 0; position < t.size(); ++position) {
    const bool white = text::is_white_space(t[position]);
    if (white && !in_run) run_start = position;
    if (!white && in_run) close_run(position, false);
    in_run = white;
  }
  if (in_run) close_run(t.size(), true);
}

// Hands every matching window to `emit`, in strictly ascending start order.
template <class Unit, class Emit>
void for_each_candidate(text::Units<Unit> t, std::u32string_view pattern, Emit&& emit) {
  const std::uint64_t m = pattern.size();
  if (m == 0 || t.empty()) return;
  const std::u32string_view trimmed = text::trim(pattern);
  if (trimmed.empty()) {
    white_space_windows(t, m, emit);
    return;
  }
  // A character the text's width cannot hold occurs nowhere in it.
  const std::optional<std::vector<Unit>> units = text::narrow<Unit>(trimmed);
  if (!units) return;
  const text::Units<Unit> p(*units);
  // White space that a window may hold around the occurrence, split between both sides.
  const std::uint64_t slack = m - p.size();
  const std::uint64_t n = t.size();
  text::for_each_occurrence(t, p, [&](std::size_t q) {
    if (slack == 0) {
      emit(Match{q, q + m, 0.0});
      return;
    }
    // The first non-white character of a window fixes the occurrence it can hold, so each
    // occurrence owns the starts q - before .. q - short_after: `before` is the white space
    // available ahead of it, `short_after` what the white space after it lacks to fill the
    // window, unless the text ends first and cuts the window short.
    std::uint64_t before = 0;
    while (before < slack && before < q && text::is_white_space(t[q - before - 1])) ++before;
    std::uint64_t after = 0;
    const std::uint64_t end = q + p.size();
    while (after < slack && end + after < n && text::is_white_space(t[end + after])) ++after;
    const bool reaches_end = after < slack && end + after == n;
    const std::uint64_t short_after = reaches_end ? 0 : slack - after;
    for (std::uint64_t i = q - before; i + short_after <= q; ++i) {
      emit(Match{i, std::min(i + m, n), 0.0});
    }
  });
}

}  // namespace

namespace detail {

std::vector<Match> candidates(text::TextView t, std::u32string_view pattern) {
  std::vector<Match> out;
  t.visit([&](auto units) {
    for_each_candidate(units, pattern, [&](const Match& c) { out.push_back(c); });
  });
  return out;
}

}  // namespace detail

namespace {

Extraction search(text::TextView s, std::string pattern, bool case_insensitive,
                  bool special_char_insensitive, std::vector<std::string> strategies) {
  const std::u32string p = preprocessor::normalise_pattern(std::move(pattern), case_insensitive,
                                                           special_char_insensitive);
  // A pattern without inner white space finds the same windows whether a line feed reads as
  // one or as a space, and the solver reads line feeds as spaces: the caller's text will do.
  const bool line_feeds_matter = text::has_white_space(text::trim(p));
  const preprocessor::Normalised normalised =
      preprocessor::normalise(s, case_insensitive, special_char_insensitive, line_feeds_matter);
  const text::TextView t = normalised.text();
  // Candidates go to the solver as they are found: a dense pattern can yield one per character.
  conflict_solver::StreamingSolver solver(t, strategies);
  cancel::Meter meter;
  t.visit([&](auto units) {
    for_each_candidate(units, p, [&](const Match& c) {
      meter.poll();
      solver.add(c);
    });
  });
  return solver.finish();
}

}  // namespace

Extraction extract(text::TextView s, std::string pattern, bool case_insensitive,
                   bool special_char_insensitive, std::vector<std::string> strategies,
                   const cancel::Check& check) {
  return cancel::run(check, [&] {
    return search(s, std::move(pattern), case_insensitive, special_char_insensitive,
                  std::move(strategies));
  });
}

}  // namespace veskal::exact_raw_extract
