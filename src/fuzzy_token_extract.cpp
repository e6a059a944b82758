#include "fuzzy_token_extract.hpp"

#include <optional>
#include <string_view>
#include <utility>

#include "comparator/fuzzy.hpp"
#include "conflict_solver/solver.hpp"
#include "iterator/tokens.hpp"
#include "preprocessor.hpp"
#include "text.hpp"

namespace veskal::fuzzy_token_extract {

Extraction extract(std::string s, std::string pattern, std::string tokenizer_pattern,
                   bool case_insensitive, bool special_char_insensitive, std::string metric,
                   double threshold, std::uint8_t threshold_kind,
                   std::vector<std::string> strategies) {
  s = preprocessor::preprocess(std::move(s), case_insensitive, special_char_insensitive);
  pattern =
      preprocessor::preprocess(std::move(pattern), case_insensitive, special_char_insensitive);
  tokenizer_pattern = preprocessor::preprocess(std::move(tokenizer_pattern), case_insensitive,
                                               special_char_insensitive);
  const std::uint64_t window = iterator::tokens::pattern_token_count(pattern, tokenizer_pattern);
  iterator::tokens::TokenIterator items(s, tokenizer_pattern, window);
  // The first item is read before anything is compared, so this fault outranks a bad metric.
  if (std::optional<std::string> fault = items.fault()) return Extraction::failure(*fault);

  conflict_solver::StreamingSolver sink(s, strategies);
  std::optional<iterator::tokens::Item> item = items.next();
  // No item, no comparison: the metric is never looked at.
  if (!item) return sink.finish();

  const std::optional<comparator::fuzzy::CachedSearch> compare =
      comparator::fuzzy::CachedSearch::create(text::decode(text::trim(std::string_view(pattern))),
                                              metric, threshold_kind, threshold);
  if (!compare) return Extraction::failure("Invalid distance metric");
  if (compare->never_matches()) return sink.finish();

  // Decoded once; items are cut from it by their character positions.
  const std::u32string chars = text::decode(s);
  const std::u32string_view all = chars;
  for (; item; item = items.next()) {
    const comparator::fuzzy::Verdict verdict =
        (*compare)(text::trim(all.substr(item->start, item->end - item->start)));
    if (verdict.matched) sink.add({item->start, item->end, verdict.score});
  }
  return sink.finish();
}

}  // namespace veskal::fuzzy_token_extract
