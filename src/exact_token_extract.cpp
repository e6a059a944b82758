#include "exact_token_extract.hpp"

#include <string_view>
#include <utility>

#include "preprocessor.hpp"

namespace veskal::exact_token_extract {

namespace {

Extraction search(text::TextView s, std::string pattern, std::string tokenizer_pattern,
                  bool case_insensitive, bool special_char_insensitive, bool* surrogate) {
  const iterator::tokens::Inputs in =
      iterator::tokens::normalise(s, std::move(pattern), std::move(tokenizer_pattern),
                                  case_insensitive, special_char_insensitive, surrogate);
  if (surrogate != nullptr && *surrogate) return std::vector<Match>{};
  const std::u32string& p = in.pattern;
  const std::u32string& separator = in.separator;

  // The window counts the pattern's separators as written, leading and trailing ones included,
  // even though the comparison then ignores the white space they may leave at the ends.
  const std::uint64_t window = iterator::tokens::pattern_token_count(p, separator);
  return in.text.text().visit([&](auto t) -> Extraction {
    using Unit = typename decltype(t)::value_type;
    const iterator::tokens::Separator<Unit> sep(separator, in.line_feeds);
    if (window == 0) {
      return Extraction::failure(*iterator::tokens::TokenIterator<Unit>(t, sep, window).fault());
    }
    if (auto found = detail::by_occurrences(t, p, sep, window)) return std::move(*found);
    return detail::by_runs(t, p, sep, window);
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
                           const iterator::tokens::Separator<Unit>& separator,
                           std::uint64_t window) {
  // A character the text's width cannot hold occurs in no run.
  const std::optional<std::vector<Unit>> target = text::narrow<Unit>(text::trim(pattern));
  if (!target) return {};
  iterator::tokens::TokenIterator<Unit> items(s, separator, window);
  std::vector<Match> matches;
  cancel::Meter meter;
  for (iterator::tokens::Item<Unit> item; items.next(item);) {
    meter.poll();
    if (text::equal(text::trim(item.text), text::Units<Unit>(*target))) {
      matches.push_back({item.start, item.end, 0.0});
    }
  }
  return matches;
}

template <class Unit>
std::optional<std::vector<Match>> by_occurrences(text::Units<Unit> s, std::u32string_view pattern,
                                                 const iterator::tokens::Separator<Unit>& separator,
                                                 std::uint64_t window) {
  const std::u32string_view trimmed = text::trim(pattern);
  // With one token per run and a one-character separator, the runs are the maximal stretches
  // free of the separator, and one equals the target exactly when the target lies in it with
  // nothing but white space around it. The target holds no separator (the window would be
  // larger), starts and ends with other characters, so each such run holds one occurrence.
  // A separator that the text's width cannot hold cuts nowhere, which serves as well.
  const bool one_char = separator.absent() || separator.units().size() == 1;
  if (window != 1 || trimmed.empty() || !one_char) return std::nullopt;
  const std::optional<std::vector<Unit>> units = text::narrow<Unit>(trimmed);
  if (!units) return std::vector<Match>{};
  const text::Units<Unit> target(*units);
  const bool cuts = !separator.absent();
  const auto separator_at = [&](std::size_t at) { return cuts && separator.cuts_at(s[at]); };

  std::vector<Match> matches;
  // The separator may itself be white space: it is looked for first at every step.
  cancel::Meter meter;
  text::for_each_occurrence(s, target, [&](std::size_t at) {
    meter.poll();
    std::size_t begin = at;
    while (begin > 0 && !separator_at(begin - 1)) {
      if (!text::is_white_space(s[begin - 1])) return;
      --begin;
    }
    std::size_t end = at + target.size();
    while (end < s.size() && !separator_at(end)) {
      if (!text::is_white_space(s[end])) return;
      ++end;
    }
    matches.push_back({begin, end, 0.0});
  });
  return matches;
}

#define VESKAL_INSTANTIATE(Unit)                                                                \
  template std::vector<Match> by_runs(text::Units<Unit>, std::u32string_view,                   \
                                      const iterator::tokens::Separator<Unit>&, std::uint64_t); \
  template std::optional<std::vector<Match>> by_occurrences(                                    \
      text::Units<Unit>, std::u32string_view, const iterator::tokens::Separator<Unit>&,         \
      std::uint64_t);
VESKAL_INSTANTIATE(text::Latin1)
VESKAL_INSTANTIATE(char16_t)
VESKAL_INSTANTIATE(char32_t)
#undef VESKAL_INSTANTIATE

}  // namespace detail

}  // namespace veskal::exact_token_extract
