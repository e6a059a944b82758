#include "exact_raw_extract.hpp"

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>

#include "conflict_solver/solver.hpp"
#include "preprocessor.hpp"
#include "text.hpp"

namespace veskal::exact_raw_extract {

namespace {

// A window trims to nothing only where it lies inside a run of white space; inside a run
// [a, b) the windows starting at a .. b - m stay in the run, and at the text's end every
// start does, since the window is cut short there.
template <class Emit>
void white_space_windows(std::string_view t, std::uint64_t m, Emit& emit) {
  std::uint64_t position = 0;
  std::uint64_t run_start = 0;
  bool in_run = false;
  const auto close_run = [&](std::uint64_t run_end, bool at_text_end) {
    if (!at_text_end && run_end - run_start < m) return;
    const std::uint64_t last_start = at_text_end ? run_end - 1 : run_end - m;
    for (std::uint64_t i = run_start; i <= last_start; ++i) {
      emit(Match{i, std::min(i + m, run_end), 0.0});
    }
  };
  for (std::size_t b = 0; b < t.size();) {
    const auto byte = static_cast<unsigned char>(t[b]);
    bool white;
    if (byte < 0x80) {
      white = text::is_white_space(byte);
      ++b;
    } else {
      white = text::is_white_space(text::decode_at(t, b));
    }
    if (white && !in_run) run_start = position;
    if (!white && in_run) close_run(position, false);
    in_run = white;
    ++position;
  }
  if (in_run) close_run(position, true);
}

// Hands every matching window to `emit`, in strictly ascending start order.
template <class Emit>
void for_each_candidate(std::string_view t, std::string_view pattern, bool ascii, Emit&& emit) {
  const std::uint64_t m = text::count_chars(pattern);
  if (m == 0 || t.empty()) return;
  const std::string_view p = text::trim(pattern);
  if (p.empty()) {
    white_space_windows(t, m, emit);
    return;
  }
  const std::uint64_t k = text::count_chars(p);
  // White space that a window may hold around the occurrence, split between both sides.
  const std::uint64_t slack = m - k;
  // Windows running past the text are cut at its end; only a pattern with edge white space
  // can form them.
  const std::uint64_t n = slack == 0 ? 0 : ascii ? t.size() : text::count_chars(t);
  std::size_t counted_byte = 0;
  std::uint64_t counted_chars = 0;
  // Occurrences come in increasing order, so characters are counted forward only.
  const auto position = [&](std::size_t at) {
    counted_chars += text::count_chars(t.substr(counted_byte, at - counted_byte));
    counted_byte = at;
    return counted_chars;
  };
  text::for_each_occurrence(t, p, [&](std::size_t at) {
    const std::uint64_t q = ascii ? at : position(at);
    if (slack == 0) {
      emit(Match{q, q + m, 0.0});
      return;
    }
    // The first non-white character of a window fixes the occurrence it can hold, so each
    // occurrence owns the starts q - before .. q - short_after: `before` is the white space
    // available ahead of it, `short_after` what the white space after it lacks to fill the
    // window, unless the text ends first and cuts the window short.
    std::uint64_t before = 0;
    for (std::size_t b = at; before < slack && b > 0; ++before) {
      if (!text::is_white_space(text::decode_before(t, b))) break;
    }
    std::uint64_t after = 0;
    bool reaches_end = false;
    for (std::size_t b = at + p.size(); after < slack; ++after) {
      if (b == t.size()) {
        reaches_end = true;
        break;
      }
      if (!text::is_white_space(text::decode_at(t, b))) break;
    }
    const std::uint64_t short_after = reaches_end ? 0 : slack - after;
    for (std::uint64_t i = q - before; i + short_after <= q; ++i) {
      emit(Match{i, std::min(i + m, n), 0.0});
    }
  });
}

}  // namespace

namespace detail {

std::vector<Match> candidates(std::string_view t, std::string_view pattern, bool ascii) {
  std::vector<Match> out;
  for_each_candidate(t, pattern, ascii, [&](const Match& c) { out.push_back(c); });
  return out;
}

std::vector<Match> extract_normalised(std::string_view t, bool ascii, std::string_view pattern,
                                      const std::vector<std::string>& strategies) {
  // Candidates go to the solver as they are found: a dense pattern can yield one per character.
  conflict_solver::StreamingSolver solver(t, strategies);
  for_each_candidate(t, pattern, ascii, [&](const Match& c) { solver.add(c); });
  return solver.finish();
}

}  // namespace detail

std::vector<Match> extract(std::string_view s, std::string pattern, bool case_insensitive,
                           bool special_char_insensitive, std::vector<std::string> strategies) {
  const preprocessor::Normalised normalised =
      preprocessor::normalise(s, case_insensitive, special_char_insensitive);
  const std::string_view t = normalised.text();
  pattern =
      preprocessor::preprocess(std::move(pattern), case_insensitive, special_char_insensitive);
  return detail::extract_normalised(t, normalised.ascii(), pattern, strategies);
}

}  // namespace veskal::exact_raw_extract
