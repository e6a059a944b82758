#include "iterator/tokens.hpp"

#include <utility>

namespace veskal::iterator::tokens {

Inputs normalise(text::TextView s, std::string pattern, std::string tokenizer_pattern,
                 bool case_insensitive, bool special_char_insensitive, bool* surrogate,
                 bool reads_lent) {
  std::u32string p = preprocessor::normalise_pattern(std::move(pattern), case_insensitive,
                                                     special_char_insensitive);
  std::u32string separator = preprocessor::normalise_pattern(
      std::move(tokenizer_pattern), case_insensitive, special_char_insensitive);
  // Where the trimmed pattern holds no white space, a line feed and a space trim and score alike,
  // and they cut alike unless the separator holds white space; the one-space separator can be
  // told to cut at line feeds too. The caller's text then serves as it is.
  const bool space = separator == U" ";
  const bool in_pattern = text::has_white_space(text::trim(p));
  const bool line_feeds_matter =
      (in_pattern && !reads_lent) || (!space && text::has_white_space(separator));
  const bool copied = case_insensitive || special_char_insensitive || line_feeds_matter;
  preprocessor::Normalised text =
      preprocessor::normalise(s, case_insensitive, special_char_insensitive, line_feeds_matter,
                              copied || !reads_lent ? surrogate : nullptr);
  // A copy holds no line feed: cutting there too would only cost time.
  const bool line_feeds = space && text.borrowed();
  const bool spaced = in_pattern && text.borrowed();
  return {std::move(p), std::move(separator), std::move(text), line_feeds, spaced};
}

std::uint64_t pattern_token_count(std::u32string_view pattern, std::u32string_view separator) {
  if (separator.empty()) return pattern.size();
  // A left-to-right split cuts at the leftmost occurrence and resumes after it, so an
  // occurrence overlapping the previous cut is not a cut.
  std::uint64_t pieces = 1;
  std::size_t resume = 0;
  const text::Units<char32_t> needle(separator.data(), separator.size());
  text::for_each_occurrence(text::Units<char32_t>(pattern.data(), pattern.size()), needle,
                            [&](std::size_t at) {
                              if (at < resume) return;
                              ++pieces;
                              resume = at + separator.size();
                            });
  return pieces;
}

template class Tokenizer<text::Latin1>;
template class Tokenizer<char16_t>;
template class Tokenizer<char32_t>;
template class TokenIterator<text::Latin1>;
template class TokenIterator<char16_t>;
template class TokenIterator<char32_t>;

}  // namespace veskal::iterator::tokens
