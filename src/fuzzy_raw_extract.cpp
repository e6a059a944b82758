#include "fuzzy_raw_extract.hpp"

#include <cmath>
#include <optional>
#include <string_view>
#include <utility>

#include "comparator/fuzzy.hpp"
#include "conflict_solver/solver.hpp"
#include "preprocessor.hpp"
#include "text.hpp"

namespace veskal::fuzzy_raw_extract {

namespace detail {

std::int8_t margin(std::uint64_t pattern_chars, double threshold, std::uint8_t threshold_kind) {
  if (threshold_kind == 0) return 0;
  const double product = std::trunc(static_cast<double>(pattern_chars) * threshold);
  if (std::isnan(product)) return 0;
  if (product <= -128.0) return -128;
  if (product >= 127.0) return 127;
  return static_cast<std::int8_t>(product);
}

}  // namespace detail

Extraction extract(std::string s, std::string pattern, bool case_insensitive,
                   bool special_char_insensitive, std::string metric, double threshold,
                   std::uint8_t threshold_kind, std::vector<std::string> strategies) {
  s = preprocessor::preprocess(std::move(s), case_insensitive, special_char_insensitive);
  pattern =
      preprocessor::preprocess(std::move(pattern), case_insensitive, special_char_insensitive);
  const std::uint64_t pattern_chars = text::count_chars(pattern);
  const std::int8_t margin = detail::margin(pattern_chars, threshold, threshold_kind);

  conflict_solver::StreamingSolver sink(s, strategies);
  // With no character on either side no window is formed, so the metric is never looked at.
  if (s.empty() || pattern_chars == 0) return sink.finish();

  const std::optional<comparator::fuzzy::CachedSearch> compare =
      comparator::fuzzy::CachedSearch::create(text::decode(text::trim(std::string_view(pattern))),
                                              metric, threshold_kind, threshold);
  if (!compare) return Extraction::failure("Invalid distance metric");
  // A negative margin only arises from a negative threshold, which no score meets.
  if (compare->never_matches() || margin < 0) return sink.finish();

  const std::u32string chars = text::decode(s);
  const std::u32string_view all = chars;
  detail::for_each_window(chars.size(), pattern_chars, margin,
                          [&](std::uint64_t start, std::uint64_t end) {
                            const comparator::fuzzy::Verdict verdict =
                                (*compare)(text::trim(all.substr(start, end - start)));
                            if (verdict.matched) sink.add({start, end, verdict.score});
                          });
  return sink.finish();
}

}  // namespace veskal::fuzzy_raw_extract
