#include "fuzzy_token_extract.hpp"

#include <cmath>
#include <optional>
#include <string_view>
#include <utility>

#include "comparator/fuzzy.hpp"
#include "conflict_solver/solver.hpp"
#include "iterator/tokens.hpp"
#include "preprocessor.hpp"
#include "text.hpp"

namespace veskal::fuzzy_token_extract {

Extraction extract(std::string_view s, std::string pattern, std::string tokenizer_pattern,
                   bool case_insensitive, bool special_char_insensitive, std::string metric,
                   double threshold, std::uint8_t threshold_kind,
                   std::vector<std::string> strategies) {
  const preprocessor::Normalised normalised =
      preprocessor::normalise(s, case_insensitive, special_char_insensitive);
  const std::string_view t = normalised.text();
  pattern =
      preprocessor::preprocess(std::move(pattern), case_insensitive, special_char_insensitive);
  tokenizer_pattern = preprocessor::preprocess(std::move(tokenizer_pattern), case_insensitive,
                                               special_char_insensitive);
  const std::uint64_t window = iterator::tokens::pattern_token_count(pattern, tokenizer_pattern);
  iterator::tokens::TokenIterator items(t, tokenizer_pattern, window);
  // The first item is read before anything is compared, so this fault outranks a bad metric.
  if (std::optional<std::string> fault = items.fault()) return Extraction::failure(*fault);

  conflict_solver::StreamingSolver sink(t, strategies);
  iterator::tokens::Item item;
  // No item, no comparison: the metric is never looked at.
  if (!items.next(item)) return sink.finish();

  const std::u32string target = text::decode(text::trim(std::string_view(pattern)));
  const std::optional<comparator::fuzzy::CachedSearch> compare =
      comparator::fuzzy::CachedSearch::create(target, metric, threshold_kind, threshold);
  if (!compare) return Extraction::failure("Invalid distance metric");
  if (compare->never_matches()) return sink.finish();

  std::u32string candidate;  // Reused: only the items that pass the filter are decoded.
  do {
    const std::string_view trimmed = text::trim(item.text);
    std::uint64_t chars = item.end - item.start;
    // As many characters as bytes: the item is all ASCII, and each byte is a character.
    const bool ascii = chars == item.text.size();
    if (ascii) {
      chars = trimmed.size();
    } else if (trimmed.size() != item.text.size()) {
      const auto front = static_cast<std::size_t>(trimmed.data() - item.text.data());
      chars -= text::count_chars(item.text.substr(0, front)) +
               text::count_chars(item.text.substr(front + trimmed.size()));
    }
    // Most runs differ from the pattern in length by more than the threshold allows.
    if (!compare->may_match_length(chars)) continue;
    comparator::fuzzy::Verdict verdict;
    if (ascii) {
      verdict = compare->ascii(trimmed);
    } else {
      text::decode(trimmed, candidate);
      verdict = (*compare)(candidate);
    }
    if (verdict.matched) sink.add({item.start, item.end, verdict.score});
  } while (items.next(item));
  return sink.finish();
}

}  // namespace veskal::fuzzy_token_extract
