#include "fuzzy_raw_extract.hpp"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <optional>
#include <queue>
#include <utility>

#include "comparator/fuzzy.hpp"
#include "comparator/rows.hpp"
#include "conflict_solver/solver.hpp"
#include "preprocessor.hpp"
#include "text.hpp"

namespace veskal::fuzzy_raw_extract {

namespace {

// Shorter pieces occur so often in prose that looking for them costs more than it saves.
constexpr std::size_t kMinPieceChars = 2;
// Where rows filter the starts by a search of the text, short pieces cost more than they save.
constexpr std::size_t kMinPieceCharsWithRows = 4;

// A window as the comparator takes it: its own units, never widened.
template <class Unit>
auto as_candidate(text::Units<Unit> window) {
  if constexpr (sizeof(Unit) == 4) {
    return std::u32string_view(window.data(), window.size());
  } else {
    return window;
  }
}

// Compares windows against the trimmed pattern and hands on the matches.
struct Judge {
  const comparator::fuzzy::CachedSearch& compare;
  const std::function<void(const Match&)>& on_candidate;
  mutable cancel::Meter meter{};

  template <class Unit>
  void operator()(text::Units<Unit> window, std::uint64_t start, std::uint64_t end) const {
    const comparator::fuzzy::Verdict verdict = compare(as_candidate(text::trim(window)));
    if (verdict.matched) on_candidate({start, end, verdict.score});
  }
};

// ---- Rows: every window of one start in one pass ----

// All windows of one start trim to prefixes of one stretch of text, from the start's first
// character that is not white space on; one PrefixScorer judges them all from rows shared by
// every prefix, where rapidfuzz would take a call per window.
template <class Unit>
class StartRows {
 public:
  // `longest`: the most characters a window holds.
  StartRows(const comparator::fuzzy::CachedSearch& compare, std::u32string_view pattern,
            std::size_t longest)
      : compare_(compare),
        scorer_(compare, pattern, longest),
        pattern_chars_(pattern.size()),
        blank_matches_(compare(std::u32string_view{}).matched) {}

  // Judges every window at `start` as `judge` would. `chars` holds the text from character `base`
  // on, through the end of every window at `start`.
  void judge_start(text::Units<Unit> chars, std::uint64_t base, std::uint64_t start,
                   std::uint64_t text_chars, std::uint64_t pattern_chars, std::int8_t margin,
                   const Judge& judge) {
    const std::uint64_t limit = base + chars.size();
    if (base != base_ || limit != limit_) {
      // Another stretch of the text: the white space skipped may have ended at the old limit.
      base_ = base;
      limit_ = limit;
      first_ = limit;
      skipped_from_ = limit;
      row_from_ = std::numeric_limits<std::uint64_t>::max();
      hopeless_until_ = 0;
      scorer_.count_viable_ends(chars, viable_ends_);
    }
    // The white space before `first_` was already skipped from an earlier start.
    if (start < skipped_from_ || start > first_) {
      first_ = start;
      while (first_ < limit && text::is_white_space(chars[first_ - base])) ++first_;
      reach_ = std::min(first_ + pattern_chars + static_cast<std::uint64_t>(margin), limit);
      const std::uint64_t reach = reach_;
      if (first_ != row_from_ || reach > row_from_ + filled_) {
        scorer_.restart(chars.subspan(first_ - base, reach - first_), first_ == row_from_);
        row_from_ = first_;
        filled_ = reach - first_;
      }
    }
    skipped_from_ = start;
    // Most starts have no window that can match: no end within reach that a search allows, or
    // no length that does (the length nearest the pattern's scores best).
    if (!blank_matches_ && (viable_ends_[reach_ - base] == viable_ends_[first_ - base] ||
                            !compare_.may_match_length(std::min(pattern_chars_, reach_ - first_)) ||
                            first_ < hopeless_until_)) {
      return;
    }
    if (!blank_matches_) {
      const std::ptrdiff_t slack = scorer_.slack(reach_ - first_);
      if (slack < 0) {
        // The stretches of the next (-slack - 1) / 2 first characters have no slack either.
        hopeless_until_ = first_ + static_cast<std::uint64_t>((1 - slack) / 2);
        return;
      }
    }
    const auto judge_window = [&](std::uint64_t from, std::uint64_t to) {
      std::uint64_t kept = std::max(to, first_);
      while (kept > first_ && text::is_white_space(chars[kept - 1 - base])) --kept;
      const comparator::fuzzy::Verdict verdict = scorer_.verdict(kept - first_);
      if (verdict.matched) judge.on_candidate({from, to, verdict.score});
    };
    detail::for_each_window_at(start, text_chars, pattern_chars, margin, judge_window);
  }

 private:
  const comparator::fuzzy::CachedSearch& compare_;
  comparator::fuzzy::PrefixScorer<Unit> scorer_;
  std::size_t pattern_chars_;
  bool blank_matches_;
  std::uint64_t base_ = 0;
  std::uint64_t limit_ = 0;
  std::uint64_t skipped_from_ = 0;
  std::uint64_t first_ = 0;
  std::uint64_t reach_ = 0;
  // No window whose first character lies before this can match.
  std::uint64_t hopeless_until_ = 0;
  std::uint64_t row_from_ = std::numeric_limits<std::uint64_t>::max();
  std::size_t filled_ = 0;
  // viable_ends_[j]: how many ends up to base + j some window may match at.
  std::vector<std::uint32_t> viable_ends_;
};

// The windows at `start` (`chars` holds the text from character `base` on), scored by `rows`
// when given, else one by one.
template <class Unit>
void judge_start(text::Units<Unit> chars, std::uint64_t base, std::uint64_t start,
                 std::uint64_t text_chars, std::uint64_t pattern_chars, std::int8_t margin,
                 const Judge& judge, StartRows<Unit>* rows) {
  if (rows != nullptr) {
    rows->judge_start(chars, base, start, text_chars, pattern_chars, margin, judge);
    return;
  }
  detail::for_each_window_at(start, text_chars, pattern_chars, margin,
                             [&](std::uint64_t from, std::uint64_t to) {
                               judge(chars.subspan(from - base, to - from), from, to);
                             });
}

// ---- end of rows ----

template <class Unit>
void scan_every_window(text::Units<Unit> all, std::uint64_t pattern_chars, std::int8_t margin,
                       const Judge& judge, StartRows<Unit>* rows) {
  if (rows != nullptr) {
    // A meter of the loop's own, which stays in a register: the one the judge shares costs the
    // rows a third of their speed.
    cancel::Meter meter;
    // Stretch by stretch, as the piece filter hands out its runs: the rows keep a count per
    // character of the stretch they are given, which over the whole text would outweigh it.
    constexpr std::uint64_t kStretch = std::uint64_t{1} << 14;
    const std::uint64_t longest = pattern_chars + static_cast<std::uint64_t>(margin);
    for (std::uint64_t base = 0; base < all.size(); base += kStretch) {
      const std::uint64_t stop = std::min<std::uint64_t>(all.size(), base + kStretch);
      const text::Units<Unit> covered =
          all.subspan(base, std::min<std::uint64_t>(all.size(), stop - 1 + longest) - base);
      for (std::uint64_t start = base; start < stop; ++start) {
        meter.poll(static_cast<std::uint64_t>(margin) + 1);
        judge_start(covered, base, start, all.size(), pattern_chars, margin, judge, rows);
      }
    }
    return;
  }
  detail::for_each_window(all.size(), pattern_chars, margin,
                          [&](std::uint64_t start, std::uint64_t end) {
                            judge.meter.poll();
                            judge(all.subspan(start, end - start), start, end);
                          });
}

// Texts below this size are searched with pieces of equal length: sampling would cost more than
// it saves.
constexpr std::size_t kSampledText = std::size_t{1} << 16;
constexpr std::size_t kSampleChunk = std::size_t{1} << 14;
// Choosing boundaries costs the square of the pattern length times the number of pieces.
constexpr std::size_t kLongestTunedPattern = 64;

// The character offsets of `count` consecutive pieces covering the pattern (count + 1 bounds),
// each of at least kMinPieceChars characters. On a large text the bounds make the pieces as rare
// as a sample of the text predicts: frequent short pieces such as "e " would otherwise cover
// most of the text.
template <class Unit>
std::vector<std::size_t> piece_bounds(text::Units<Unit> s, std::u32string_view pattern,
                                      std::size_t count) {
  const std::size_t n = pattern.size();
  std::vector<std::size_t> bounds(count + 1);
  for (std::size_t i = 0; i <= count; ++i) bounds[i] = i * n / count;
  if (s.size() < kSampledText || n > kLongestTunedPattern) {
    return bounds;
  }

  // Characters are told apart by their low byte alone: the statistics only steer the choice.
  std::vector<std::uint32_t> pairs(std::size_t{1} << 16, 0);
  std::vector<std::uint32_t> firsts(256, 0);
  for (std::size_t chunk = 0; chunk < 4; ++chunk) {
    const std::size_t start = chunk * (s.size() - kSampleChunk) / 3;
    for (std::size_t i = start + 1; i < start + kSampleChunk; ++i) {
      ++pairs[static_cast<unsigned char>(s[i - 1]) << 8 | static_cast<unsigned char>(s[i])];
      ++firsts[static_cast<unsigned char>(s[i - 1])];
    }
  }
  std::string bytes;
  std::vector<std::size_t> byte_at(n + 1);
  for (std::size_t i = 0; i < n; ++i) {
    byte_at[i] = bytes.size();
    bytes.push_back(static_cast<char>(pattern[i]));
  }
  byte_at[n] = bytes.size();
  const auto pair = [&](std::size_t b) {
    return pairs[static_cast<unsigned char>(bytes[b - 1]) << 8 |
                 static_cast<unsigned char>(bytes[b])] +
           0.5;
  };
  // expected[i][j]: the count of the piece [i, j) in the sample if each byte followed the one
  // before as in the sample; smoothed, so that longer unseen pieces still rank below shorter.
  std::vector<std::vector<double>> expected(n + 1, std::vector<double>(n + 1, 0.0));
  for (std::size_t i = 0; i < n; ++i) {
    double seen = 0.0;
    for (std::size_t b = byte_at[i] + 1, j = i + 1; j <= n; ++j) {
      for (; b < byte_at[j]; ++b) {
        seen = b == byte_at[i] + 1
                   ? pair(b)
                   : seen * pair(b) / (firsts[static_cast<unsigned char>(bytes[b - 1])] + 128.0);
      }
      expected[i][j] = seen;
    }
  }

  // cost[c][j]: the least total for c pieces covering [0, j); from[c][j]: where the last begins.
  constexpr double kNone = std::numeric_limits<double>::infinity();
  std::vector<std::vector<double>> cost(count + 1, std::vector<double>(n + 1, kNone));
  std::vector<std::vector<std::size_t>> from(count + 1, std::vector<std::size_t>(n + 1, 0));
  cost[0][0] = 0;
  for (std::size_t c = 1; c <= count; ++c) {
    for (std::size_t j = c * kMinPieceChars; j <= n; ++j) {
      for (std::size_t i = (c - 1) * kMinPieceChars; i + kMinPieceChars <= j; ++i) {
        if (cost[c - 1][i] == kNone) continue;
        const double total = cost[c - 1][i] + expected[i][j];
        if (total < cost[c][j]) {
          cost[c][j] = total;
          from[c][j] = i;
        }
      }
    }
  }
  for (std::size_t c = count, j = n; c > 0; --c) {
    bounds[c] = j;
    j = from[c][j];
  }
  return bounds;
}

// The window starts that can hold a match through one occurrence of a piece.
struct Range {
  std::int64_t lo;
  std::int64_t hi;
};

// One piece of the pattern and the window starts its occurrences leave possible, in ascending
// order.
template <class Unit>
class PieceStarts {
 public:
  // `piece`: the piece's units, empty when the text's width cannot hold it (it then occurs
  // nowhere); `offset` and `chars`: its place and length in the trimmed pattern.
  PieceStarts(text::Units<Unit> s, text::Units<Unit> piece, std::int64_t offset, std::int64_t chars)
      : occurrences_(s, piece), offset_(offset), chars_(chars) {}

  // The next non-empty range, or nothing.
  std::optional<Range> next(std::int64_t pattern_chars, std::int64_t bound,
                            std::int64_t longest_window, std::int64_t text_chars) {
    for (std::size_t at; (at = occurrences_.next()) != text::npos;) {
      const auto q = static_cast<std::int64_t>(at);
      // A match keeps some piece intact, at most `bound` characters from its place in the
      // pattern, and its window holds the rest of the pattern but for `bound` edits.
      const std::int64_t lo = std::max<std::int64_t>(
          {0, q + chars_ - longest_window, q + pattern_chars - offset_ - bound - longest_window});
      const std::int64_t hi = std::min({q, q - offset_ + bound, text_chars - 1});
      if (lo <= hi) return Range{lo, hi};
    }
    return std::nullopt;
  }

 private:
  text::Occurrences<Unit> occurrences_;
  std::int64_t offset_;
  std::int64_t chars_;
};

// The same windows as scan_every_window, but only at the starts where some piece of the pattern
// occurs close enough: every string within `bound` Levenshtein edits of the pattern keeps one of
// `bound` + 1 disjoint pieces intact, since an edit breaks at most one. False when the pieces
// would be too short to pay off.
template <class Unit>
bool scan_near_pieces(text::Units<Unit> s, std::u32string_view pattern, std::uint64_t pattern_chars,
                      std::int8_t margin, std::size_t bound, const Judge& judge,
                      StartRows<Unit>* rows) {
  const std::size_t count = bound + 1;
  if (pattern.size() / count < (rows != nullptr ? kMinPieceCharsWithRows : kMinPieceChars))
    return false;

  const std::vector<std::size_t> bounds = piece_bounds(s, pattern, count);
  std::vector<std::vector<Unit>> pieces(count);
  std::vector<PieceStarts<Unit>> streams;
  streams.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t first = bounds[i];
    const std::size_t last = bounds[i + 1];
    pieces[i] =
        text::narrow<Unit>(pattern.substr(first, last - first)).value_or(std::vector<Unit>{});
    streams.emplace_back(s, text::Units<Unit>(pieces[i]), static_cast<std::int64_t>(first),
                         static_cast<std::int64_t>(last - first));
  }

  const auto text_chars = static_cast<std::int64_t>(s.size());
  const auto p = static_cast<std::int64_t>(pattern.size());
  const auto k = static_cast<std::int64_t>(bound);
  const auto longest = static_cast<std::int64_t>(pattern_chars) + margin;

  struct Pending {
    Range range;
    std::size_t stream;
  };
  const auto later = [](const Pending& x, const Pending& y) { return x.range.lo > y.range.lo; };
  std::priority_queue<Pending, std::vector<Pending>, decltype(later)> heap(later);
  const auto advance = [&](std::size_t i) {
    if (auto range = streams[i].next(p, k, longest, text_chars)) heap.push({*range, i});
  };
  for (std::size_t i = 0; i < count; ++i) advance(i);

  // The windows at starts [run.lo, run.hi] and the characters they cover.
  cancel::Meter meter;
  const auto flush = [&](const Range& run) {
    const std::int64_t last = std::min(run.hi + longest, text_chars);
    const auto base = static_cast<std::uint64_t>(run.lo);
    const text::Units<Unit> covered = s.subspan(base, static_cast<std::uint64_t>(last) - base);
    for (auto start = base; start <= static_cast<std::uint64_t>(run.hi); ++start) {
      meter.poll(static_cast<std::uint64_t>(margin) + 1);
      judge_start(covered, base, start, static_cast<std::uint64_t>(text_chars), pattern_chars,
                  margin, judge, rows);
    }
  };

  // Ranges leave the heap by ascending lo; touching or overlapping ones merge into one run.
  std::optional<Range> run;
  while (!heap.empty()) {
    const Pending next = heap.top();
    heap.pop();
    cancel::poll();
    advance(next.stream);
    if (run && next.range.lo <= run->hi + 1) {
      run->hi = std::max(run->hi, next.range.hi);
      continue;
    }
    if (run) flush(*run);
    run = next.range;
  }
  if (run) flush(*run);
  return true;
}

}  // namespace

constexpr std::size_t kNoBound = std::numeric_limits<std::size_t>::max();

namespace detail {

std::int8_t margin(std::uint64_t pattern_chars, double threshold, std::uint8_t threshold_kind) {
  if (threshold_kind == 0) return 0;
  const double product = std::trunc(static_cast<double>(pattern_chars) * threshold);
  if (std::isnan(product)) return 0;
  if (product <= -128.0) return -128;
  if (product >= 127.0) return 127;
  return static_cast<std::int8_t>(product);
}

bool find_candidates(text::TextView s, std::u32string_view pattern, std::string_view metric,
                     double threshold, std::uint8_t threshold_kind, Scan scan,
                     const std::function<void(const Match&)>& on_candidate, Scoring scoring) {
  const std::uint64_t pattern_chars = pattern.size();
  // With no character on either side no window is formed, so the metric is never looked at.
  if (s.empty() || pattern_chars == 0) return true;
  const std::int8_t margin = detail::margin(pattern_chars, threshold, threshold_kind);

  const std::u32string_view trimmed = text::trim(pattern);
  const std::optional<comparator::fuzzy::CachedSearch> compare =
      comparator::fuzzy::CachedSearch::create(trimmed, metric, threshold_kind, threshold);
  if (!compare) return false;
  // A negative margin only arises from a negative threshold, which no score meets.
  if (compare->never_matches() || margin < 0) return true;

  const Judge judge{*compare, on_candidate};
  // Trimming only shortens a window, so none is longer than P + margin characters.
  const std::size_t longest =
      static_cast<std::size_t>(pattern_chars) + static_cast<std::size_t>(margin);
  // The edit bound of the pieces' filter, or none (the largest value) where it does not apply.
  const std::size_t bound = scan == Scan::near_pieces && !trimmed.empty()
                                ? compare->levenshtein_bound(longest).value_or(kNoBound)
                                : kNoBound;
  s.visit([&](auto units) {
    using Unit = typename decltype(units)::value_type;
    // One row per start pays once a start has more than one window.
    std::optional<StartRows<std::remove_const_t<Unit>>> rows;
    if (scoring == Scoring::rows && margin >= 1 && !trimmed.empty()) {
      rows.emplace(*compare, trimmed, longest);
    }
    auto* const rows_or_null = rows ? &*rows : nullptr;
    if (bound < trimmed.size() &&
        scan_near_pieces(units, trimmed, pattern_chars, margin, bound, judge, rows_or_null)) {
      return;
    }
    scan_every_window(units, pattern_chars, margin, judge, rows_or_null);
  });
  return true;
}

}  // namespace detail

namespace {

Extraction search(text::TextView s, std::string pattern, bool case_insensitive,
                  bool special_char_insensitive, std::string metric, double threshold,
                  std::uint8_t threshold_kind, std::vector<std::string> strategies) {
  const std::u32string p = preprocessor::normalise_pattern(std::move(pattern), case_insensitive,
                                                           special_char_insensitive);
  // Every metric compares window characters with pattern characters only, so where the trimmed
  // pattern holds no white space a line feed scores as the space it normalises to, and trims
  // alike: the caller's text will do.
  const bool line_feeds_matter = text::has_white_space(text::trim(p));
  const preprocessor::Normalised normalised =
      preprocessor::normalise(s, case_insensitive, special_char_insensitive, line_feeds_matter);
  const text::TextView t = normalised.text();
  conflict_solver::StreamingSolver sink(t, strategies);
  if (!detail::find_candidates(t, p, metric, threshold, threshold_kind, detail::Scan::near_pieces,
                               [&](const Match& candidate) { sink.add(candidate); })) {
    return Extraction::failure("Invalid distance metric");
  }
  return sink.finish();
}

}  // namespace

Extraction extract(text::TextView s, std::string pattern, bool case_insensitive,
                   bool special_char_insensitive, std::string metric, double threshold,
                   std::uint8_t threshold_kind, std::vector<std::string> strategies,
                   const cancel::Check& check) {
  return cancel::run(check, [&] {
    return search(s, std::move(pattern), case_insensitive, special_char_insensitive,
                  std::move(metric), threshold, threshold_kind, std::move(strategies));
  });
}

}  // namespace veskal::fuzzy_raw_extract
