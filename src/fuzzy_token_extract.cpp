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

namespace {

// Rules out candidates by length alone, before they are decoded. Every metric it knows counts
// at least one edit per character of difference in length, so a candidate whose difference
// already scores beyond the threshold cannot match; the score of the difference is computed as
// the metric's own score is (the same integer, or the same division), so the rule is exact.
class LengthFilter {
 public:
  LengthFilter(std::string_view metric, std::uint8_t threshold_kind, double threshold,
               std::uint64_t pattern_chars)
      : threshold_(threshold), pattern_chars_(pattern_chars) {
    using comparator::fuzzy::Metric;
    const std::optional<Metric> m = comparator::fuzzy::parse_metric(metric);
    if (!m || std::isnan(threshold)) return;
    switch (*m) {
      case Metric::levenshtein:
      case Metric::damerau_levenshtein:
      case Metric::osa:
      case Metric::lcs_seq:
        divisor_ = threshold_kind == 0 ? Divisor::one : Divisor::longer;
        break;
      case Metric::indel:
        divisor_ = threshold_kind == 0 ? Divisor::one : Divisor::total;
        break;
      default:
        break;
    }
  }

  bool may_match(std::uint64_t chars) const {
    const std::uint64_t p = pattern_chars_;
    const std::uint64_t gap = chars > p ? chars - p : p - chars;
    switch (divisor_) {
      case Divisor::none:
        return true;
      case Divisor::one:
        return static_cast<double>(gap) <= threshold_;
      case Divisor::longer:
        return gap == 0 ||
               static_cast<double>(gap) / static_cast<double>(chars > p ? chars : p) <= threshold_;
      case Divisor::total:
        return gap == 0 || static_cast<double>(gap) / static_cast<double>(chars + p) <= threshold_;
    }
    return true;
  }

 private:
  // What the metric divides a distance by to normalise it.
  enum class Divisor { none, one, longer, total };

  Divisor divisor_ = Divisor::none;
  double threshold_;
  std::uint64_t pattern_chars_;
};

}  // namespace

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
  return detail::extract_normalised(t, pattern, tokenizer_pattern, metric, threshold,
                                    threshold_kind, strategies);
}

namespace detail {

Extraction extract_normalised(std::string_view t, std::string_view pattern,
                              std::string_view tokenizer_pattern, std::string_view metric,
                              double threshold, std::uint8_t threshold_kind,
                              const std::vector<std::string>& strategies) {
  const std::uint64_t window = iterator::tokens::pattern_token_count(pattern, tokenizer_pattern);
  iterator::tokens::TokenIterator items(t, tokenizer_pattern, window);
  // The first item is read before anything is compared, so this fault outranks a bad metric.
  if (std::optional<std::string> fault = items.fault()) return Extraction::failure(*fault);

  conflict_solver::StreamingSolver sink(t, strategies);
  iterator::tokens::Item item;
  // No item, no comparison: the metric is never looked at.
  if (!items.next(item)) return sink.finish();

  const std::optional<RunJudge> judge =
      RunJudge::create(pattern, metric, threshold, threshold_kind);
  if (!judge) return Extraction::failure("Invalid distance metric");
  if (judge->never_matches()) return sink.finish();

  std::u32string candidate;  // Reused: only the items that pass the filter are decoded.
  do {
    if (const std::optional<Match> match = (*judge)(item, candidate)) sink.add(*match);
  } while (items.next(item));
  return sink.finish();
}

struct RunJudge::Impl {
  comparator::fuzzy::CachedSearch compare;
  LengthFilter filter;
};

std::optional<RunJudge> RunJudge::create(std::string_view pattern, std::string_view metric,
                                         double threshold, std::uint8_t threshold_kind) {
  const std::u32string target = text::decode(text::trim(pattern));
  std::optional<comparator::fuzzy::CachedSearch> compare =
      comparator::fuzzy::CachedSearch::create(target, metric, threshold_kind, threshold);
  if (!compare) return std::nullopt;
  return RunJudge(std::make_unique<Impl>(
      Impl{std::move(*compare), LengthFilter(metric, threshold_kind, threshold, target.size())}));
}

RunJudge::RunJudge(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
RunJudge::RunJudge(RunJudge&&) noexcept = default;
RunJudge& RunJudge::operator=(RunJudge&&) noexcept = default;
RunJudge::~RunJudge() = default;

bool RunJudge::never_matches() const {
  return impl_->compare.never_matches();
}

std::optional<std::size_t> RunJudge::levenshtein_bound(std::size_t candidate_chars) const {
  return impl_->compare.levenshtein_bound(candidate_chars);
}

std::optional<Match> RunJudge::operator()(const iterator::tokens::Item& item,
                                          std::u32string& scratch) const {
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
  if (!impl_->filter.may_match(chars)) return std::nullopt;
  comparator::fuzzy::Verdict verdict;
  if (ascii) {
    verdict = impl_->compare.ascii(trimmed);
  } else {
    text::decode(trimmed, scratch);
    verdict = impl_->compare(scratch);
  }
  if (!verdict.matched) return std::nullopt;
  return Match{item.start, item.end, verdict.score};
}

}  // namespace detail

}  // namespace veskal::fuzzy_token_extract
