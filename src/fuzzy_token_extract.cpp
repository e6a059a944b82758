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

// Scores runs against the trimmed pattern, sparing the comparator those their length or their
// characters rule out. With `spaced`, the text's line feeds compare as spaces: a run that holds
// one is scored as a copy with spaces for them.
template <class Unit>
class Scorer {
 public:
  Scorer(const comparator::fuzzy::CachedSearch& compare, std::u32string_view target, bool spaced)
      : compare_(compare),
        by_length_(compare),
        absent_(target, compare.metric(), spaced),
        spaced_(spaced) {}

  // The score of the run `item` when it matches. Inlined: called once per run, and an optional
  // handed back through memory stalls the caller's wide load of it.
  [[gnu::always_inline]] std::optional<double> operator()(text::Units<Unit> item) {
    meter_.poll();
    text::Units<Unit> trimmed = text::trim(item);
    // Most runs differ from the pattern in length by more than the threshold allows, and most
    // others in their characters.
    if (!by_length_.may_match(trimmed.size())) return std::nullopt;
    if (!trimmed.empty() && absent_.exceeds(trimmed, by_length_.allowed(trimmed.size()))) {
      return std::nullopt;
    }
    if (spaced_ && std::find(trimmed.begin(), trimmed.end(), Unit{'\n'}) != trimmed.end()) {
      respaced_.assign(trimmed.begin(), trimmed.end());
      std::replace(respaced_.begin(), respaced_.end(), Unit{'\n'}, Unit{' '});
      trimmed = text::Units<Unit>(respaced_);
    }
    meter_.poll(compare_.work(trimmed.size()));
    comparator::fuzzy::Verdict verdict;
    if constexpr (sizeof(Unit) == 4) {
      verdict = compare_(std::u32string_view(trimmed.data(), trimmed.size()));
    } else {
      verdict = compare_(trimmed);
    }
    if (!verdict.matched) return std::nullopt;
    return verdict.score;
  }

 private:
  const comparator::fuzzy::CachedSearch& compare_;
  ByLength by_length_;
  Absent absent_;
  bool spaced_;
  std::vector<Unit> respaced_;
  cancel::Meter meter_;
};

// With `spaced`, the text's line feeds compare as spaces.
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

  Scorer<Unit> score(*compare, target, spaced);
  do {
    if (const std::optional<double> s = score(item.text)) sink.add({item.start, item.end, *s});
  } while (items.next(item));
  return sink.finish();
}

// Units of the text normalised at a time, which the search then reads from cache.
constexpr std::size_t kStretch = std::size_t{1} << 16;

// Units a stretch holds beyond its last start, for the run that starts last in it and the one
// after, which tells that no other starts in it: room for the pattern's length a few times over
// and for tokens of prose.
std::uint64_t reach(std::u32string_view pattern, std::uint64_t window) {
  return 4 * pattern.size() + 32 * window + 64;
}

}  // namespace

Extraction extract(text::TextView s, std::string pattern, std::string tokenizer_pattern,
                   bool case_insensitive, bool special_char_insensitive, std::string metric,
                   double threshold, std::uint8_t threshold_kind,
                   std::vector<std::string> strategies, const cancel::Check& check,
                   bool* surrogate) {
  if (surrogate != nullptr) *surrogate = false;
  return cancel::run(check, [&] {
    if (case_insensitive || special_char_insensitive) {
      const std::u32string p =
          preprocessor::normalise_pattern(pattern, case_insensitive, special_char_insensitive);
      const std::u32string separator = preprocessor::normalise_pattern(
          tokenizer_pattern, case_insensitive, special_char_insensitive);
      const std::uint64_t after = reach(p, iterator::tokens::pattern_token_count(p, separator));
      if (after <= kStretch / 4) {
        if (std::optional<Extraction> found = detail::search_streamed(
                s, p, separator, case_insensitive, special_char_insensitive, metric, threshold,
                threshold_kind, strategies, surrogate, kStretch, after)) {
          return std::move(*found);
        }
      }
    }
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

namespace {

// Scores the runs of `window` tokens that start in [from, to) of the units `t` held from
// position `base` on, the unit before `from` among them. A run that starts past the stretch
// ends it. Short of one, the last token held may go on past the units held, and the stretch
// cannot tell its runs: false then, unless the text ends with the units held.
template <class Unit>
[[gnu::noinline]] bool runs_of_stretch(text::Units<Unit> t, std::uint64_t base, std::uint64_t from,
                                       std::uint64_t to,
                                       const iterator::tokens::Separator<Unit>& sep,
                                       std::uint64_t window, Scorer<Unit>& score,
                                       conflict_solver::StreamingSolver& sink) {
  const bool cut_back = base + t.size() > to;  // more text follows the units held
  iterator::tokens::TokenIterator<Unit> items(t, sep, window);
  for (iterator::tokens::Item<Unit> item; items.next(item);) {
    if (item.start + base < from) continue;
    if (item.start + base >= to) return true;
    if (const std::optional<double> found = score(item.text)) {
      sink.add({item.start + base, item.end + base, *found});
    }
  }
  return !cut_back;
}

}  // namespace

namespace detail {

std::optional<Extraction> search_streamed(text::TextView s, std::u32string_view pattern,
                                          std::u32string_view separator, bool case_insensitive,
                                          bool special_char_insensitive, const std::string& metric,
                                          double threshold, std::uint8_t threshold_kind,
                                          const std::vector<std::string>& strategies,
                                          bool* surrogate, std::size_t stretch,
                                          std::uint64_t after) {
  // Left to the copy's search: the faults, in its order, and separators of several characters.
  const std::uint64_t window = iterator::tokens::pattern_token_count(pattern, separator);
  if (window == 0 || separator.size() != 1 || s.empty() ||
      conflict_solver::reads_text(strategies)) {
    return std::nullopt;
  }
  const std::u32string_view target = text::trim(pattern);
  const std::optional<comparator::fuzzy::CachedSearch> compare =
      comparator::fuzzy::CachedSearch::create(target, metric, threshold_kind, threshold);
  if (!compare || compare->never_matches()) return std::nullopt;
  // The solver is given the caller's text, which it does not read.
  conflict_solver::StreamingSolver sink(s, strategies);
  bool decided = true;
  const bool vetted = s.visit([&](auto units) {
    using Unit = typename decltype(units)::value_type;
    const iterator::tokens::Separator<Unit> sep(separator);
    // A separator the text's width cannot hold leaves it one token, which no stretch holds.
    if (sep.absent()) {
      decided = false;
      return true;
    }
    Scorer<Unit> score(*compare, target, false);
    // Each stretch holds the unit before its first start, which tells whether a token starts
    // there.
    return preprocessor::for_each_stretch(
        units, case_insensitive, special_char_insensitive, stretch, 1, after,
        [&](text::Units<Unit> t, std::uint64_t base, std::uint64_t from, std::uint64_t to) {
          decided = runs_of_stretch(t, base, from, to, sep, window, score, sink);
          return decided;
        });
  });
  if (!vetted) {
    if (surrogate != nullptr) *surrogate = true;
    return Extraction(std::vector<Match>{});
  }
  if (!decided) return std::nullopt;
  return sink.finish();
}

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
