#include "exact_token_extract.hpp"

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "preprocessor.hpp"

namespace veskal::exact_token_extract {

namespace {

// Units of the text normalised at a time, which the search then reads from cache.
constexpr std::size_t kStretch = std::size_t{1} << 15;
// Units of white space a run may take in beyond an occurrence on either side, in a stretch.
constexpr std::uint64_t kRunReach = 64;

Extraction search(text::TextView s, std::string pattern, std::string tokenizer_pattern,
                  bool case_insensitive, bool special_char_insensitive, bool* surrogate) {
  if (case_insensitive || special_char_insensitive) {
    const std::u32string p =
        preprocessor::normalise_pattern(pattern, case_insensitive, special_char_insensitive);
    const std::u32string separator = preprocessor::normalise_pattern(
        tokenizer_pattern, case_insensitive, special_char_insensitive);
    if (p.size() <= kStretch / 4) {
      if (auto found = detail::search_streamed(s, p, separator, case_insensitive,
                                               special_char_insensitive, surrogate, kStretch)) {
        return std::move(*found);
      }
    }
  }
  const iterator::tokens::Inputs in =
      iterator::tokens::normalise(s, std::move(pattern), std::move(tokenizer_pattern),
                                  case_insensitive, special_char_insensitive, surrogate, true);
  if (surrogate != nullptr && *surrogate) return std::vector<Match>{};
  const std::u32string& p = in.pattern;
  const std::u32string& separator = in.separator;
  // A lent text is checked as it is searched, or before runs are compared.
  bool* const vet = in.text.borrowed() ? surrogate : nullptr;

  // The window counts the pattern's separators as written, leading and trailing ones included,
  // even though the comparison then ignores the white space they may leave at the ends.
  const std::uint64_t window = iterator::tokens::pattern_token_count(p, separator);
  return in.text.text().visit([&](auto t) -> Extraction {
    using Unit = typename decltype(t)::value_type;
    const iterator::tokens::Separator<Unit> sep(separator, in.line_feeds);
    const auto vetted = [&] {
      if (vet != nullptr) *vet = text::has_surrogate(t);
      return vet == nullptr || !*vet;
    };
    if (window == 0) {
      if (!vetted()) return std::vector<Match>{};
      return Extraction::failure(*iterator::tokens::TokenIterator<Unit>(t, sep, window).fault());
    }
    if (auto found = detail::by_occurrences(t, p, sep, window, in.spaced, vet)) {
      return std::move(*found);
    }
    if (!vetted()) return std::vector<Match>{};
    return detail::by_runs(t, p, sep, window, in.spaced);
  });
}

}  // namespace

Extraction extract(text::TextView s, std::string pattern, std::string tokenizer_pattern,
                   bool case_insensitive, bool special_char_insensitive, const cancel::Check& check,
                   bool* surrogate) {
  if (surrogate != nullptr) *surrogate = false;
  return cancel::run(check, [&] {
    return search(s, std::move(pattern), std::move(tokenizer_pattern), case_insensitive,
                  special_char_insensitive, surrogate);
  });
}

namespace detail {

template <class Unit>
std::vector<Match> by_runs(text::Units<Unit> s, std::u32string_view pattern,
                           const iterator::tokens::Separator<Unit>& separator, std::uint64_t window,
                           bool line_feeds_as_spaces) {
  // A character the text's width cannot hold occurs in no run.
  const std::optional<std::vector<Unit>> target = text::narrow<Unit>(text::trim(pattern));
  if (!target) return {};
  const auto same = [&](text::Units<Unit> run) {
    if (!line_feeds_as_spaces) return text::equal(run, text::Units<Unit>(*target));
    return run.size() == target->size() &&
           std::equal(run.begin(), run.end(), target->begin(),
                      [](Unit a, Unit b) { return text::line_feed_as_space(a) == b; });
  };
  iterator::tokens::TokenIterator<Unit> items(s, separator, window);
  std::vector<Match> matches;
  cancel::Meter meter;
  for (iterator::tokens::Item<Unit> item; items.next(item);) {
    meter.poll();
    if (same(text::trim(item.text))) matches.push_back({item.start, item.end, 0.0});
  }
  return matches;
}

template <class Unit>
std::optional<std::vector<Match>> by_occurrences(text::Units<Unit> s, std::u32string_view pattern,
                                                 const iterator::tokens::Separator<Unit>& separator,
                                                 std::uint64_t window, bool line_feeds_as_spaces,
                                                 bool* surrogate, const Stretch* stretch) {
  const std::u32string_view trimmed = text::trim(pattern);
  // With a one-character separator, the tokens are the maximal stretches free of it. A run of
  // one token equals the target exactly when the target lies in it with nothing but white
  // space around it. The target holds no separator (the window would be larger), starts and
  // ends with other characters, so each such run holds one occurrence. A separator that the
  // text's width cannot hold cuts nowhere, which serves as well.
  const bool one_char = separator.absent() || separator.units().size() == 1;
  if (trimmed.empty() || !one_char) return std::nullopt;
  // Runs of several tokens trim to the target when its occurrence starts and ends tokens up to
  // white space, and the tokens around it that make up the window hold white space alone: the
  // separator must be white space for the target's own tokens to start and end it.
  const bool several = window > 1;
  if (several && (separator.absent() || !text::is_white_space(separator.units()[0]))) {
    return std::nullopt;
  }
  // A target found nowhere leaves the text to be checked in full.
  const auto nowhere = [&] {
    if (surrogate != nullptr) *surrogate = text::has_surrogate(s);
    return std::vector<Match>{};
  };
  const std::optional<std::vector<Unit>> units = text::narrow<Unit>(trimmed);
  if (!units) return nowhere();
  const text::Units<Unit> target(*units);
  const bool cuts = !separator.absent();
  const auto separator_at = [&](std::size_t at) { return cuts && separator.cuts_at(s[at]); };
  // The target's own tokens: its stretches free of the separator, each ended by one.
  std::uint64_t own = 1;
  for (std::size_t k = 1; several && k < target.size(); ++k) {
    own += separator.cuts_at(target[k - 1]) && !separator.cuts_at(target[k]);
  }
  if (own > window) return nowhere();
  const std::uint64_t spare = window - own;  // tokens of white space alone the run must add

  std::vector<Match> matches;
  // Where the white-space tokens next to an occurrence start (before it) and end (after it),
  // nearest first.
  std::vector<std::size_t> starts;
  std::vector<std::size_t> ends;
  // The separator may itself be white space: it is looked for first at every step.
  cancel::Meter meter;
  // Reaching an edge cut from a longer text leaves a run undecided.
  const bool cut_front = stretch != nullptr && stretch->cut_front;
  const bool cut_back = stretch != nullptr && stretch->cut_back;
  text::Occurrences<Unit> occurrences(s, target, surrogate != nullptr, line_feeds_as_spaces);
  for (std::size_t at; (at = occurrences.next()) != text::npos;) {
    if (stretch != nullptr && at < stretch->from) continue;
    if (stretch != nullptr && at >= stretch->to) break;
    meter.poll();
    std::size_t begin = at;
    while (begin > 0 && !separator_at(begin - 1)) {
      if (!text::is_white_space(s[begin - 1])) break;
      --begin;
    }
    if (begin == 0 && cut_front) return std::nullopt;
    if (begin > 0 && !separator_at(begin - 1)) continue;
    std::size_t end = at + target.size();
    while (end < s.size() && !separator_at(end)) {
      if (!text::is_white_space(s[end])) break;
      ++end;
    }
    if (end == s.size() && cut_back) return std::nullopt;
    if (end < s.size() && !separator_at(end)) continue;
    if (spare == 0) {
      matches.push_back({begin, end, 0.0});
      continue;
    }
    // Up to `spare` tokens of white space alone on either side, each a run's first or last.
    starts.clear();
    for (std::size_t i = begin; starts.size() < spare;) {
      while (i > 0 && separator_at(i - 1)) --i;
      std::size_t first = i;
      while (first > 0 && !separator_at(first - 1) && text::is_white_space(s[first - 1])) --first;
      if (first == 0 && cut_front) return std::nullopt;
      if (first == i || (first > 0 && !separator_at(first - 1))) break;
      starts.push_back(first);
      i = first;
    }
    ends.clear();
    for (std::size_t i = end; ends.size() < spare;) {
      while (i < s.size() && separator_at(i)) ++i;
      std::size_t last = i;
      while (last < s.size() && !separator_at(last) && text::is_white_space(s[last])) ++last;
      if (last == s.size() && cut_back) return std::nullopt;
      if (last == i || (last < s.size() && !separator_at(last))) break;
      ends.push_back(last);
      i = last;
    }
    // The runs by ascending start: most tokens before the occurrence first.
    for (std::size_t before = std::min<std::size_t>(spare, starts.size()) + 1; before-- > 0;) {
      const std::size_t after = spare - before;
      if (after > ends.size()) break;
      matches.push_back(
          {before == 0 ? begin : starts[before - 1], after == 0 ? end : ends[after - 1], 0.0});
    }
  }
  if (surrogate != nullptr) {
    *surrogate = occurrences.surrogate();
    if (*surrogate) matches.clear();
  }
  return matches;
}

std::optional<Extraction> search_streamed(text::TextView s, std::u32string_view pattern,
                                          std::u32string_view separator, bool case_insensitive,
                                          bool special_char_insensitive, bool* surrogate,
                                          std::size_t stretch) {
  // Where no stretch is searched, nothing tells whether the occurrence search applies.
  const std::uint64_t window = iterator::tokens::pattern_token_count(pattern, separator);
  if (window == 0 || s.empty() || text::trim(pattern).empty()) return std::nullopt;
  // Room around each occurrence for the white space and the tokens of it that its runs take in,
  // which seldom reach far.
  const std::uint64_t margin = pattern.size() + kRunReach;
  std::vector<Match> matches;
  bool decided = true;
  const bool vetted = s.visit([&](auto units) {
    using Unit = typename decltype(units)::value_type;
    const iterator::tokens::Separator<Unit> sep(separator);
    return preprocessor::for_each_stretch(
        units, case_insensitive, special_char_insensitive, stretch, margin, margin,
        [&](text::Units<Unit> t, std::uint64_t base, std::uint64_t from, std::uint64_t to) {
          const Stretch frame{static_cast<std::size_t>(from - base),
                              static_cast<std::size_t>(to - base), base > 0, base + t.size() > to};
          std::optional<std::vector<Match>> found =
              by_occurrences(t, pattern, sep, window, false, nullptr, &frame);
          decided = found.has_value();
          if (decided) {
            for (const Match& m : *found) matches.push_back({m.start + base, m.end + base, 0.0});
          }
          return decided;
        });
  });
  if (!vetted) {
    if (surrogate != nullptr) *surrogate = true;
    return Extraction(std::vector<Match>{});
  }
  if (!decided) return std::nullopt;
  return Extraction(std::move(matches));
}

#define VESKAL_INSTANTIATE(Unit)                                                               \
  template std::vector<Match> by_runs(text::Units<Unit>, std::u32string_view,                  \
                                      const iterator::tokens::Separator<Unit>&, std::uint64_t, \
                                      bool);                                                   \
  template std::optional<std::vector<Match>> by_occurrences(                                   \
      text::Units<Unit>, std::u32string_view, const iterator::tokens::Separator<Unit>&,        \
      std::uint64_t, bool, bool*, const Stretch*);
VESKAL_INSTANTIATE(text::Latin1)
VESKAL_INSTANTIATE(char16_t)
VESKAL_INSTANTIATE(char32_t)
#undef VESKAL_INSTANTIATE

}  // namespace detail

}  // namespace veskal::exact_token_extract
