#include "exact_token_extract.hpp"

#include <algorithm>
#include <string_view>
#include <utility>

#include "preprocessor.hpp"

namespace veskal::exact_token_extract {

namespace {

Extraction search(text::TextView s, std::string pattern, std::string tokenizer_pattern,
                  bool case_insensitive, bool special_char_insensitive, bool* surrogate) {
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
                                                 bool* surrogate) {
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
  text::Occurrences<Unit> occurrences(s, target, surrogate != nullptr, line_feeds_as_spaces);
  for (std::size_t at; (at = occurrences.next()) != text::npos;) {
    meter.poll();
    std::size_t begin = at;
    while (begin > 0 && !separator_at(begin - 1)) {
      if (!text::is_white_space(s[begin - 1])) break;
      --begin;
    }
    if (begin > 0 && !separator_at(begin - 1)) continue;
    std::size_t end = at + target.size();
    while (end < s.size() && !separator_at(end)) {
      if (!text::is_white_space(s[end])) break;
      ++end;
    }
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
      if (first == i || (first > 0 && !separator_at(first - 1))) break;
      starts.push_back(first);
      i = first;
    }
    ends.clear();
    for (std::size_t i = end; ends.size() < spare;) {
      while (i < s.size() && separator_at(i)) ++i;
      std::size_t last = i;
      while (last < s.size() && !separator_at(last) && text::is_white_space(s[last])) ++last;
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

#define VESKAL_INSTANTIATE(Unit)                                                               \
  template std::vector<Match> by_runs(text::Units<Unit>, std::u32string_view,                  \
                                      const iterator::tokens::Separator<Unit>&, std::uint64_t, \
                                      bool);                                                   \
  template std::optional<std::vector<Match>> by_occurrences(                                   \
      text::Units<Unit>, std::u32string_view, const iterator::tokens::Separator<Unit>&,        \
      std::uint64_t, bool, bool*);
VESKAL_INSTANTIATE(text::Latin1)
VESKAL_INSTANTIATE(char16_t)
VESKAL_INSTANTIATE(char32_t)
#undef VESKAL_INSTANTIATE

}  // namespace detail

}  // namespace veskal::exact_token_extract
