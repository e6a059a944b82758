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

namespace {

template <class Unit>
Extraction extract_units(text::Units<Unit> t, std::u32string_view pattern,
                         std::u32string_view separator, bool line_feeds, const std::string& metric,
                         double threshold, std::uint8_t threshold_kind,
                         const std::vector<std::string>& strategies) {
  const std::uint64_t window = iterator::tokens::pattern_token_count(pattern, separator);
  const iterator::tokens::Separator<Unit> sep(separator, line_feeds);
  iterator::tokens::TokenIterator<Unit> items(t, sep, window);
  // The first item is read before anything is compared, so this fault outranks a bad metric.
  if (std::optional<std::string> fault = items.fault()) return Extraction::failure(*fault);

  conflict_solver::StreamingSolver sink(text::TextView(t), strategies);
  iterator::tokens::Item<Unit> item;
  // No item, no comparison: the metric is never looked at.
  if (!items.next(item)) return sink.finish();

  const std::u32string_view target = text::trim(pattern);
  const std::optional<comparator::fuzzy::CachedSearch> compare =
      comparator::fuzzy::CachedSearch::create(target, metric, threshold_kind, threshold);
  if (!compare) return Extraction::failure("Invalid distance metric");
  if (compare->never_matches()) return sink.finish();

  cancel::Meter meter;
  do {
    meter.poll();
    const text::Units<Unit> trimmed = text::trim(item.text);
    // Most runs differ from the pattern in length by more than the threshold allows.
    if (!compare->may_match_length(trimmed.size())) continue;
    comparator::fuzzy::Verdict verdict;
    if constexpr (sizeof(Unit) == 4) {
      verdict = (*compare)(std::u32string_view(trimmed.data(), trimmed.size()));
    } else {
      verdict = (*compare)(trimmed);
    }
    if (verdict.matched) sink.add({item.start, item.end, verdict.score});
  } while (items.next(item));
  return sink.finish();
}

}  // namespace

Extraction extract(text::TextView s, std::string pattern, std::string tokenizer_pattern,
                   bool case_insensitive, bool special_char_insensitive, std::string metric,
                   double threshold, std::uint8_t threshold_kind,
                   std::vector<std::string> strategies, const cancel::Check& check) {
  return cancel::run(check, [&] {
    const iterator::tokens::Inputs in =
        iterator::tokens::normalise(s, std::move(pattern), std::move(tokenizer_pattern),
                                    case_insensitive, special_char_insensitive);
    return in.text.text().visit([&](auto t) {
      return extract_units(t, in.pattern, in.separator, in.line_feeds, metric, threshold,
                           threshold_kind, strategies);
    });
  });
}

}  // namespace veskal::fuzzy_token_extract
