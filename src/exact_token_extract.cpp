#include "exact_token_extract.hpp"

#include <string_view>
#include <utility>

#include "iterator/tokens.hpp"
#include "preprocessor.hpp"
#include "text.hpp"

namespace veskal::exact_token_extract {

namespace {

Extraction search(std::string_view s, std::string pattern, std::string tokenizer_pattern,
                  bool case_insensitive, bool special_char_insensitive) {
  using preprocessor::preprocess;
  const preprocessor::Normalised normalised =
      preprocessor::normalise(s, case_insensitive, special_char_insensitive);
  const std::string_view t = normalised.text();
  pattern = preprocess(std::move(pattern), case_insensitive, special_char_insensitive);
  tokenizer_pattern =
      preprocess(std::move(tokenizer_pattern), case_insensitive, special_char_insensitive);

  // The window counts the pattern's separators as written, leading and trailing ones included,
  // even though the comparison then ignores the white space they may leave at the ends.
  const std::uint64_t window = iterator::tokens::pattern_token_count(pattern, tokenizer_pattern);
  if (window == 0) {
    return Extraction::failure(
        *iterator::tokens::TokenIterator(t, tokenizer_pattern, window).fault());
  }
  if (auto found =
          detail::by_occurrences(t, pattern, tokenizer_pattern, window, normalised.ascii())) {
    return std::move(*found);
  }
  return detail::by_runs(t, pattern, tokenizer_pattern, window);
}

}  // namespace

Extraction extract(std::string_view s, std::string pattern, std::string tokenizer_pattern,
                   bool case_insensitive, bool special_char_insensitive,
                   const cancel::Check& check) {
  return cancel::run(check, [&] {
    return search(s, std::move(pattern), std::move(tokenizer_pattern), case_insensitive,
                  special_char_insensitive);
  });
}

namespace detail {

std::vector<Match> by_runs(std::string_view s, std::string_view pattern, std::string_view separator,
                           std::uint64_t window) {
  iterator::tokens::TokenIterator items(s, separator, window);
  const std::string_view target = text::trim(pattern);
  std::vector<Match> matches;
  cancel::Meter meter;
  for (iterator::tokens::Item item; items.next(item);) {
    meter.poll();
    if (text::trim(item.text) == target) matches.push_back({item.start, item.end, 0.0});
  }
  return matches;
}

std::optional<std::vector<Match>> by_occurrences(std::string_view s, std::string_view pattern,
                                                 std::string_view separator, std::uint64_t window,
                                                 bool ascii) {
  const std::string_view target = text::trim(pattern);
  // With one token per run and a one-character separator, the runs are the maximal stretches
  // free of the separator, and one equals the target exactly when the target lies in it with
  // nothing but white space around it. The target holds no separator (the window would be
  // larger), starts and ends with other characters, so each such run holds one occurrence.
  if (window != 1 || target.empty() || separator.empty() || text::count_chars(separator) != 1) {
    return std::nullopt;
  }
  const std::size_t sep = separator.size();
  const auto separator_at = [&](std::size_t at) { return s.compare(at, sep, separator) == 0; };

  std::vector<Match> matches;
  std::uint64_t seen = 0;  // The character position of byte seen_byte, counted forward only.
  std::size_t seen_byte = 0;
  const auto position = [&](std::size_t at) {
    if (ascii) return static_cast<std::uint64_t>(at);
    seen += text::count_chars(s.substr(seen_byte, at - seen_byte));
    seen_byte = at;
    return seen;
  };
  // The separator may itself be white space: it is looked for first at every step.
  cancel::Meter meter;
  text::for_each_occurrence(s, target, [&](std::size_t at) {
    meter.poll();
    std::size_t begin = at;
    while (begin > 0 && !(begin >= sep && separator_at(begin - sep))) {
      std::size_t before = begin;
      if (!text::is_white_space(text::decode_before(s, before))) return;
      begin = before;
    }
    std::size_t end = at + target.size();
    while (end < s.size() && !separator_at(end)) {
      std::size_t after = end;
      if (!text::is_white_space(text::decode_at(s, after))) return;
      end = after;
    }
    const std::uint64_t start = position(begin);
    matches.push_back({start, position(end), 0.0});
  });
  return matches;
}

}  // namespace detail

}  // namespace veskal::exact_token_extract
