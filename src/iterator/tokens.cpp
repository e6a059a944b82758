#include "iterator/tokens.hpp"

namespace veskal::iterator::tokens {

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
