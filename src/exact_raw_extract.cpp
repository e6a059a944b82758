#include "exact_raw_extract.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// Where `t` lies in the text searched: its first unit is the text's unit `base`, and only the
// occurrences that start in [from, to) of `t` are its own.
struct Frame {
  std::uint64_t base = 0;
  std::size_t from = 0;
  std::size_t to = std::numeric_limits<std::size_t>::max();
};

// Hands every matching window to `emit`, in strictly ascending start order. With `surrogate`,
// the text is also checked for surrogate code points as it is read; on the first one the search
// stops, with *surrogate set. With `line_feeds_as_spaces`, the text's line feeds read as spaces.
// With a `frame`, `t` is a stretch of the text holding at least the pattern's length of it
// around its own occurrences, or up to the text's ends; the pattern's trimmed form is then to be
// non-empty and to fit `Unit`.
template <class Unit, class Emit>
void for_each_candidate(text::Units<Unit> t, std::u32string_view pattern, Emit&& emit,
                        bool* surrogate = nullptr, bool line_feeds_as_spaces = false,
                        const Frame& frame = {}) {
  const std::uint64_t m = pattern.size();
  const std::u32string_view trimmed = text::trim(pattern);
  // A character the text's width cannot hold occurs nowhere in it.
  const std::optional<std::vector<Unit>> units =
      m == 0 || t.empty() ? std::nullopt : text::narrow<Unit>(trimmed);
  if (!units || trimmed.empty()) {
    // No search to check the text on the way.
    if (surrogate != nullptr && text::has_surrogate(t)) {
      *surrogate = true;
      return;
    }
    if (units) white_space_windows(t, m, emit);
    return;
  }
  const text::Units<Unit> p(*units);
  // White space that a window may hold around the occurrence, split between both sides.
  const std::uint64_t slack = m - p.size();
  const std::uint64_t n = t.size();
  const std::uint64_t base = frame.base;
  text::Occurrences<Unit> occurrences(t, p, surrogate != nullptr, line_feeds_as_spaces);
  for (std::size_t q; (q = occurrences.next()) != text::npos;) {
    if (q < frame.from) continue;
    if (q >= frame.to) break;
    if (slack == 0) {
      emit(Match{base + q, base + q + m, 0.0});
      continue;
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
      emit(Match{base + i, base + std::min(i + m, n), 0.0});
    }
  }
  if (surrogate != nullptr) *surrogate = occurrences.surrogate();
}

// Units of the text normalised at a time, which the search then reads from cache.
constexpr std::size_t kBlock = std::size_t{1} << 15;

// for_each_candidate on `s` normalised a stretch at a time rather than copied whole: the same
// windows, in the normalised text's positions, for the memory of a block. *surrogate is set,
// and the search over, on the first lone surrogate.
template <class Unit, class Emit>
void for_each_candidate_streamed(text::Units<Unit> s, std::u32string_view pattern,
                                 bool case_insensitive, bool special_char_insensitive, Emit&& emit,
                                 bool* surrogate, std::size_t block = kBlock) {
  // A window reaches at most the pattern's length on either side of its occurrence.
  const std::uint64_t m = pattern.size();
  const bool vetted = preprocessor::for_each_stretch(
      s, case_insensitive, special_char_insensitive, block, m, m,
      [&](text::Units<Unit> t, std::uint64_t base, std::uint64_t from, std::uint64_t to) {
        cancel::poll((to - from) / 8);
        for_each_candidate(t, pattern, emit, nullptr, false, Frame{base, from - base, to - base});
        return true;
      });
  if (!vetted && surrogate != nullptr) *surrogate = true;
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

std::vector<Match> candidates_streamed(text::TextView text, std::u32string_view pattern,
                                       bool case_insensitive, bool special_char_insensitive,
                                       std::size_t block) {
  std::vector<Match> out;
  text.visit([&](auto units) {
    for_each_candidate_streamed(
        units, pattern, case_insensitive, special_char_insensitive,
        [&](const Match& c) { out.push_back(c); }, nullptr, block);
  });
  return out;
}

}  // namespace detail

namespace {

// Whether the search may normalise the text a stretch at a time: the pattern's occurrences are
// searched (its trimmed form is not empty and fits the text's width), it is not so long that
// blocks would mostly repeat their margins, and the solver never reads the text it is given.
bool streamed(text::TextView s, std::u32string_view p, const std::vector<std::string>& strategies) {
  const std::u32string_view trimmed = text::trim(p);
  return !trimmed.empty() && p.size() <= kBlock / 4 && s.visit([&](auto units) {
    using Unit = typename decltype(units)::value_type;
    return text::narrow<Unit>(trimmed).has_value();
  }) && !conflict_solver::reads_text(strategies);
}

Extraction search(text::TextView s, std::string pattern, bool case_insensitive,
                  bool special_char_insensitive, std::vector<std::string> strategies,
                  bool* surrogate) {
  const std::u32string p = preprocessor::normalise_pattern(std::move(pattern), case_insensitive,
                                                           special_char_insensitive);
  // A pattern without inner white space finds the same windows whether a line feed reads as
  // one or as a space, and the solver reads line feeds as spaces. One with inner white space
  // reads the caller's text's line feeds as spaces as it searches it.
  const bool line_feeds_matter = text::has_white_space(text::trim(p));
  // A text that is copied is checked as it is copied; one searched as it is, while it is searched.
  const bool lent = !case_insensitive && !special_char_insensitive;
  cancel::Meter meter;
  if (!lent && streamed(s, p, strategies)) {
    // The solver is given the caller's text, which it does not read.
    conflict_solver::StreamingSolver solver(s, strategies);
    s.visit([&](auto units) {
      for_each_candidate_streamed(
          units, p, case_insensitive, special_char_insensitive,
          [&](const Match& c) {
            meter.poll();
            solver.add(c);
          },
          surrogate);
    });
    if (surrogate != nullptr && *surrogate) return std::vector<Match>{};
    return solver.finish();
  }
  bool* const vet = lent ? surrogate : nullptr;
  const preprocessor::Normalised normalised =
      preprocessor::normalise(s, case_insensitive, special_char_insensitive,
                              line_feeds_matter && !lent, lent ? nullptr : surrogate);
  if (!lent && surrogate != nullptr && *surrogate) return std::vector<Match>{};
  const text::TextView t = normalised.text();
  // Candidates go to the solver as they are found: a dense pattern can yield one per character.
  conflict_solver::StreamingSolver solver(t, strategies);
  t.visit([&](auto units) {
    for_each_candidate(
        units, p,
        [&](const Match& c) {
          meter.poll();
          solver.add(c);
        },
        vet, lent && line_feeds_matter);
  });
  if (vet != nullptr && *vet) return std::vector<Match>{};
  return solver.finish();
}

}  // namespace

Extraction extract(text::TextView s, std::string pattern, bool case_insensitive,
                   bool special_char_insensitive, std::vector<std::string> strategies,
                   const cancel::Check& check, bool* surrogate) {
  if (surrogate != nullptr) *surrogate = false;
  return cancel::run(check, [&] {
    return search(s, std::move(pattern), case_insensitive, special_char_insensitive,
                  std::move(strategies), surrogate);
  });
}

}  // namespace veskal::exact_raw_extract
