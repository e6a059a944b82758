#include "exact_token_extract.hpp"

#include <string_view>
#include <utility>
#include <vector>

#include "iterator/tokens.hpp"
#include "preprocessor.hpp"
#include "text.hpp"

namespace veskal::exact_token_extract {

Extraction extract(std::string s, std::string pattern, std::string tokenizer_pattern,
                   bool case_insensitive, bool special_char_insensitive) {
  using preprocessor::preprocess;
  s = preprocess(std::move(s), case_insensitive, special_char_insensitive);
  pattern = preprocess(std::move(pattern), case_insensitive, special_char_insensitive);
  tokenizer_pattern =
      preprocess(std::move(tokenizer_pattern), case_insensitive, special_char_insensitive);

  // The window counts the pattern's separators as written, leading and trailing ones included,
  // even though the comparison then ignores the white space they may leave at the ends.
  const std::uint64_t window = iterator::tokens::pattern_token_count(pattern, tokenizer_pattern);
  iterator::tokens::TokenIterator items(s, tokenizer_pattern, window);
  if (auto fault = items.fault()) return Extraction::failure(std::move(*fault));

  const std::string_view target = text::trim(pattern);
  std::vector<Match> matches;
  while (const auto item = items.next()) {
    if (text::trim(item->text) == target) matches.push_back({item->start, item->end, 0.0});
  }
  return matches;
}

}  // namespace veskal::exact_token_extract
