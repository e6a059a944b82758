#include "fuzzy_token_extract.hpp"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "comparator/fuzzy.hpp"
#include "conflict_solver/solver.hpp"
#include "iterator/tokens.hpp"
#include "preprocessor.hpp"
#include "text.hpp"

namespace veskal::fuzzy_token_extract {

namespace {

// Verdicts that depend on a run's length alone, looked up by length: a text repeats a few dozen
// lengths, and working one out costs divisions.
class ByLength {
 public:
  explicit ByLength(const comparator::fuzzy::CachedSearch& compare) : compare_(compare) {}

  bool may_match(std::size_t chars) {
    if (chars >= kLongest) return compare_.may_match_length(chars);
    fill(chars);
    return may_match_[chars] != 0;
  }
  // Only for a length that may match, under a metric scored by a distance.
  std::size_t allowed(std::size_t chars) {
    if (chars >= kLongest) return compare_.allowed_distance(chars);
    fill(chars);
    return allowed_[chars];
  }

 private:
  static constexpr std::size_t kLongest = 4096;

  void fill(std::size_t chars) {
    if (chars < may_match_.size()) return;
    for (std::size_t n = may_match_.size(); n <= chars; ++n) {
      may_match_.push_back(compare_.may_match_length(n) ? 1 : 0);
      allowed_.push_back(distances_ ? compare_.allowed_distance(n) : 0);
    }
  }

  const comparator::fuzzy::CachedSearch& compare_;
  bool distances_ = compare_.metric() != comparator::fuzzy::Metric::jaro &&
                    compare_.metric() != comparator::fuzzy::Metric::jaro_winkler;
  std::vector<std::uint8_t> may_match_;
  std::vector<std::size_t> allowed_;
};

// Counts the characters of a run that the pattern lacks. Under the edit distances each costs an
// edit of its own (a deletion or substitution that no transposition spares), so a run with more
// of them than the allowed distance cannot match, whatever rapidfuzz would make of the rest.
// With `spaced`, a line feed counts as the space it compares as.
class Absent {
 public:
  Absent(std::u32string_view pattern, comparator::fuzzy::Metric metric, bool spaced) {
    using comparator::fuzzy::Metric;
    enabled_ = !pattern.empty() && (metric == Metric::levenshtein || metric == Metric::osa ||
                                    metric == Metric::damerau_levenshtein ||
                                    metric == Metric::indel || metric == Metric::lcs_seq);
    // A clear bit proves a character absent; characters that share one are counted as present.
    const auto see = [&](char32_t c) { seen_[c / 64 % kWords] |= std::uint64_t{1} << (c % 64); };
    for (const char32_t c : pattern) see(c);
    if (spaced && pattern.find(U' ') != std::u32string_view::npos) see(U'\n');
  }

  // True when `run` (not empty) surely holds more than `allowed` characters the pattern lacks.
  template <class Unit>
  bool exceeds(text::Units<Unit> run, std::size_t allowed) const {
    if (!enabled_) return false;
    // Counting on to the end costs less than the mispredicted early exit: runs are short.
    std::size_t absent = 0;
    for (const Unit u : run) {
      const auto c = static_cast<std::uint32_t>(u);
      absent += ((seen_[c / 64 % kWords] >> (c % 64)) & 1) ^ 1;
    }
    return absent > allowed;
  }

 private:
  static constexpr std::size_t kWords = 64;
  bool enabled_ = false;
  std::uint64_t seen_[kWords] = {};
};

// With `spaced`, the text's line feeds compare as spaces: a run that holds one is scored as a
// copy with spaces for them.
template <class Unit>
Extraction extract_units(text::Units<Unit> t, std::u32string_view pattern,
                         std::u32string_view separator, bool line_feeds, bool spaced,
                         const std::string& metric, double threshold, std::uint8_t threshold_kind,
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

  ByLength by_length(*compare);
  const Absent absent(target, compare->metric(), spaced);
  std::vector<Unit> respaced;
  cancel::Meter meter;
  do {
    meter.poll();
    text::Units<Unit> trimmed = text::trim(item.text);
    // Most runs differ from the pattern in length by more than the threshold allows, and most
    // others in their characters.
    if (!by_length.may_match(trimmed.size())) continue;
    if (!trimmed.empty() && absent.exceeds(trimmed, by_length.allowed(trimmed.size()))) continue;
    if (spaced && std::find(trimmed.begin(), trimmed.end(), Unit{'\n'}) != trimmed.end()) {
      respaced.assign(trimmed.begin(), trimmed.end());
      std::replace(respaced.begin(), respaced.end(), Unit{'\n'}, Unit{' '});
      trimmed = text::Units<Unit>(respaced);
    }
    meter.poll(compare->work(trimmed.size()));
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
                   std::vector<std::string> strategies, const cancel::Check& check,
                   bool* surrogate) {
  if (surrogate != nullptr) *surrogate = false;
  return cancel::run(check, [&] {
    const iterator::tokens::Inputs in =
        iterator::tokens::normalise(s, std::move(pattern), std::move(tokenizer_pattern),
                                    case_insensitive, special_char_insensitive, surrogate, true);
    if (surrogate != nullptr && *surrogate) return Extraction(std::vector<Match>{});
    return in.text.text().visit([&](auto t) {
      // A lent text is checked here, before anything may fail.
      if (surrogate != nullptr && in.text.borrowed() && text::has_surrogate(t)) {
        *surrogate = true;
        return Extraction(std::vector<Match>{});
      }
      return extract_units(t, in.pattern, in.separator, in.line_feeds, in.spaced, metric, threshold,
                           threshold_kind, strategies);
    });
  });
}

namespace detail {

Extraction every_run(std::u32string_view text, std::u32string_view pattern,
                     std::u32string_view separator, std::string_view metric, double threshold,
                     std::uint8_t threshold_kind, const std::vector<std::string>& strategies) {
  const text::Units<char32_t> units(text.data(), text.size());
  const iterator::tokens::Separator<char32_t> cut(separator);
  iterator::tokens::TokenIterator<char32_t> items(
      units, cut, iterator::tokens::pattern_token_count(pattern, separator));
  if (std::optional<std::string> fault = items.fault()) return Extraction::failure(*fault);
  conflict_solver::StreamingSolver sink(text::TextView(units), strategies);
  const std::u32string_view target = text::trim(pattern);
  for (iterator::tokens::Item<char32_t> item; items.next(item);) {
    const text::Units<char32_t> trimmed = text::trim(item.text);
    const auto verdict =
        comparator::fuzzy::search(std::u32string_view(trimmed.data(), trimmed.size()), target,
                                  metric, threshold_kind, threshold);
    if (!verdict) return Extraction::failure("Invalid distance metric");
    if (verdict->matched) sink.add({item.start, item.end, verdict->score});
  }
  return sink.finish();
}

}  // namespace detail

}  // namespace veskal::fuzzy_token_extract
