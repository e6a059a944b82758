#include "fuzzy_raw_extract.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>
#include <optional>
#include <queue>
#include <type_traits>
#include <utility>

#include "comparator/fuzzy.hpp"
#include "comparator/rows.hpp"
#include "conflict_solver/solver.hpp"
#include "preprocessor.hpp"
#include "text.hpp"

namespace veskal::fuzzy_raw_extract {

namespace {

// Units of a text normalised at a time, which the search then reads from cache.
constexpr std::size_t kNormalisedStretch = std::size_t{1} << 16;

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
  // The text still holds the line feeds that normalisation turns into spaces.
  bool line_feeds_as_spaces = false;
  // Which windows of a start still count; empty: all of them.
  const detail::Settled& settled;
  // The bounds of the pieces chosen on an earlier stretch of the text, or where to keep them.
  std::vector<std::size_t>* pieces = nullptr;
  mutable cancel::Meter meter{};
  mutable std::u32string spaced{};

  template <class Unit>
  void operator()(text::Units<Unit> window, std::uint64_t start, std::uint64_t end) const {
    const text::Units<Unit> trimmed = text::trim(window);
    comparator::fuzzy::Verdict verdict;
    if (line_feeds_as_spaces &&
        std::find(trimmed.begin(), trimmed.end(), Unit{'\n'}) != trimmed.end()) {
      spaced.assign(trimmed.begin(), trimmed.end());
      std::replace(spaced.begin(), spaced.end(), U'\n', U' ');
      verdict = compare(std::u32string_view(spaced));
    } else {
      verdict = compare(as_candidate(trimmed));
    }
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
        pattern_length_ok_(compare.may_match_length(pattern.size())),
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
    const bool length_ok = reach_ - first_ >= pattern_chars_
                               ? pattern_length_ok_
                               : compare_.may_match_length(reach_ - first_);
    if (!blank_matches_ && (viable_ends_[reach_ - base] == viable_ends_[first_ - base] ||
                            !length_ok || first_ < hopeless_until_)) {
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
    const auto judge_window = [&](std::uint64_t to) {
      std::uint64_t kept = std::max(to, first_);
      while (kept > first_ && text::is_white_space(chars[kept - 1 - base])) --kept;
      const comparator::fuzzy::Verdict verdict = scorer_.verdict(kept - first_);
      if (verdict.matched) judge.on_candidate({start, to, verdict.score});
      return verdict.matched;
    };
    if (!judge.settled) {
      detail::for_each_window_at(start, text_chars, pattern_chars, margin,
                                 [&](std::uint64_t, std::uint64_t to) { judge_window(to); });
      return;
    }
    // A margin of at most 127 each way: at most 255 windows.
    std::array<std::uint64_t, 256> ends;
    std::size_t count = 0;
    detail::for_each_window_at(start, text_chars, pattern_chars, margin,
                               [&](std::uint64_t, std::uint64_t to) { ends[count++] = to; });
    std::size_t next = 0;
    std::optional<std::uint64_t> through = judge.settled(start);
    while (!through && next < count) {
      if (judge_window(ends[next++])) through = judge.settled(start);
    }
    if (!through) return;
    // Where many windows match (long patterns, loose thresholds), scoring only the longest one
    // that matches saves nearly all the work.
    for (std::size_t i = count; i > next && ends[i - 1] > *through; --i) {
      if (judge_window(ends[i - 1])) return;
    }
  }

  // The first start after `start`, the last one judged, that may hold a match: every start
  // before the last character below hopeless_until_ that is not white space has its first
  // character below it. Runs of hopeless starts are thus skipped whole, rather than each set up
  // to be turned away.
  std::uint64_t next_start(text::Units<Unit> chars, std::uint64_t base, std::uint64_t start) const {
    return hopeless_until_ <= start + 1 ? start + 1 : past_hopeless(chars, base, start);
  }

 private:
  std::uint64_t past_hopeless(text::Units<Unit> chars, std::uint64_t base,
                              std::uint64_t start) const {
    std::uint64_t next = std::min(hopeless_until_, limit_);
    while (next > start + 1 && text::is_white_space(chars[next - 1 - base])) --next;
    return std::max(next, start + 1);
  }

  const comparator::fuzzy::CachedSearch& compare_;
  comparator::fuzzy::PrefixScorer<Unit> scorer_;
  std::size_t pattern_chars_;
  // Most stretches reach the pattern's length: its verdict, asked once.
  bool pattern_length_ok_;
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
      // The starts skipped cost next to nothing: the clock's budget follows the time spent. The
      // rows are called directly: a wrapper that returned the next start, left out of line,
      // cost the cheap metrics 15 % in its one call more a start.
      for (std::uint64_t start = base; start < stop;) {
        meter.poll(static_cast<std::uint64_t>(margin) + 1);
        rows->judge_start(covered, base, start, all.size(), pattern_chars, margin, judge);
        start = rows->next_start(covered, base, start);
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
// The sample is four chunks of a thirty-second of the text each, at most this long: on a text
// just past kSampledText, a larger one would cost as much as the search it steers.
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
  // Only pairs that begin with one of the pattern's bytes are ever asked for, so each such byte
  // gets a row of counts and every other byte shares row 0: a few KB to clear, not a table of
  // every pair, which cost a cold call more than its sample.
  std::array<std::uint8_t, 256> row_of{};
  std::size_t rows = 1;
  for (const char32_t c : pattern) {
    std::uint8_t& row = row_of[static_cast<unsigned char>(c)];
    if (row == 0) row = static_cast<std::uint8_t>(rows++);
  }
  static_assert(kLongestTunedPattern < 255, "a row per pattern byte, numbered in a byte");
  std::vector<std::uint32_t> pairs(rows * 256, 0);
  std::vector<std::uint32_t> firsts(256, 0);
  const std::size_t chunk_chars = std::min(kSampleChunk, s.size() / 32);
  for (std::size_t chunk = 0; chunk < 4; ++chunk) {
    const std::size_t start = chunk * (s.size() - chunk_chars) / 3;
    for (std::size_t i = start + 1; i < start + chunk_chars; ++i) {
      const auto a = static_cast<unsigned char>(s[i - 1]);
      ++pairs[std::size_t{row_of[a]} * 256 + static_cast<unsigned char>(s[i])];
      ++firsts[a];
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
    return pairs[std::size_t{row_of[static_cast<unsigned char>(bytes[b - 1])]} * 256 +
                 static_cast<unsigned char>(bytes[b])] +
           0.5;
  };
  // expected[i][j]: the count of the piece [i, j) in the sample if each byte followed the one
  // before as in the sample; smoothed, so that longer unseen pieces still rank below shorter.
  std::vector<double> expected((n + 1) * (n + 1), 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    double seen = 0.0;
    for (std::size_t b = byte_at[i] + 1, j = i + 1; j <= n; ++j) {
      for (; b < byte_at[j]; ++b) {
        seen = b == byte_at[i] + 1
                   ? pair(b)
                   : seen * pair(b) / (firsts[static_cast<unsigned char>(bytes[b - 1])] + 128.0);
      }
      expected[i * (n + 1) + j] = seen;
    }
  }

  return detail::cheapest_cut(
             count, n, kMinPieceChars,
             [&](std::size_t i, std::size_t j) { return expected[i * (n + 1) + j]; })
      .first;
}

// The window starts that can hold a match through one occurrence of a piece.
struct Range {
  std::int64_t lo;
  std::int64_t hi;
};

// The starts that an occurrence at `at` of the piece of `chars` characters found at `offset` in
// the trimmed pattern of `pattern_chars` leaves possible; empty when lo > hi.
Range starts_near(std::int64_t at, std::int64_t offset, std::int64_t chars,
                  std::int64_t pattern_chars, std::int64_t bound, std::int64_t longest_window,
                  std::int64_t text_chars) {
  // A match keeps some piece intact, at most `bound` characters from its place in the pattern,
  // and its window holds the rest of the pattern but for `bound` edits.
  return {std::max<std::int64_t>({0, at + chars - longest_window,
                                  at + pattern_chars - offset - bound - longest_window}),
          std::min({at, at - offset + bound, text_chars - 1})};
}

// True when `s` from `from` on begins with `piece`, line feeds read as spaces if so.
template <class Unit>
bool holds(text::Units<Unit> s, std::size_t from, text::Units<Unit> piece,
           bool line_feeds_as_spaces) {
  if (from + piece.size() > s.size()) return false;
  const Unit* t = s.data() + from;
  if (!line_feeds_as_spaces) return std::memcmp(t, piece.data(), piece.size() * sizeof(Unit)) == 0;
  for (std::size_t i = 0; i < piece.size(); ++i) {
    if ((t[i] == Unit{'\n'} ? Unit{' '} : t[i]) != piece[i]) return false;
  }
  return true;
}

// One piece of the pattern and the window starts its occurrences leave possible, in ascending
// order.
template <class Unit>
class PieceStarts {
 public:
  // `piece`: the piece's units, empty when the text's width cannot hold it (it then occurs
  // nowhere); `offset` and `chars`: its place and length in the trimmed pattern.
  // With `vet`, the text is also checked for surrogate code points as it is searched.
  PieceStarts(text::Units<Unit> s, text::Units<Unit> piece, std::int64_t offset, std::int64_t chars,
              bool vet)
      : occurrences_(s, piece, vet), offset_(offset), chars_(chars) {}

  // The next non-empty range, or nothing.
  std::optional<Range> next(std::int64_t pattern_chars, std::int64_t bound,
                            std::int64_t longest_window, std::int64_t text_chars) {
    for (std::size_t at; (at = occurrences_.next()) != text::npos;) {
      const Range range = starts_near(static_cast<std::int64_t>(at), offset_, chars_, pattern_chars,
                                      bound, longest_window, text_chars);
      if (range.lo <= range.hi) return range;
    }
    return std::nullopt;
  }

  // True when vetting found a surrogate code point.
  bool surrogate() const { return occurrences_.surrogate(); }

 private:
  text::Occurrences<Unit> occurrences_;
  std::int64_t offset_;
  std::int64_t chars_;
};

// Every piece's occurrences in one pass that reads only every step-th q-gram of the text, for
// pieces long enough that most of the text is never looked at: each occurrence holds a sampled
// position, and the q-gram there is one of the piece's. Searching piece by piece reads all the
// text once per piece and is bound by the comparisons, which this pass mostly skips.
template <class Unit>
class SampledPieces {
 public:
  // A q-gram is one load.
  using Key = std::conditional_t<sizeof(Unit) == 1, std::uint32_t, std::uint64_t>;
  static constexpr std::size_t kGram = sizeof(Key) / sizeof(Unit);
  // Fewer positions skipped do not repay the q-gram table.
  static constexpr std::size_t kMinStep = 4;
  // Verifying a hit compares every q-gram of every piece: bounded, so that a text built of the
  // pieces' q-grams costs a constant per character.
  static constexpr std::size_t kMaxPieceChars = 64;
  static constexpr std::size_t kMaxGrams = 128;
  static constexpr Key kLane = std::numeric_limits<Unit>::max();

  struct Piece {
    text::Units<Unit> units;
    std::int64_t offset;  // in the trimmed pattern
  };

  // Nothing when the pieces are too short or too many to pay off. Pieces the text's width cannot
  // hold (empty) occur nowhere and are left out.
  // `line_feeds_as_spaces`: `s` holds line feeds that the search reads as spaces. With `vet`, the
  // whole of `s` is also checked for surrogate code points, block by block as it is sampled.
  static std::optional<SampledPieces> create(text::Units<Unit> s, const std::vector<Piece>& pieces,
                                             std::int64_t lag, bool line_feeds_as_spaces,
                                             bool vet) {
    if constexpr (sizeof(Unit) > 2) {
      return std::nullopt;
    } else {
      std::size_t shortest = kMaxPieceChars;
      std::size_t grams = 0;
      for (const Piece& piece : pieces) {
        if (piece.units.empty()) continue;
        if (piece.units.size() > kMaxPieceChars) return std::nullopt;
        shortest = std::min(shortest, piece.units.size());
        grams += piece.units.size() - std::min(piece.units.size(), kGram - 1);
      }
      if (shortest < kGram + kMinStep - 1 || grams > kMaxGrams) return std::nullopt;
      return SampledPieces(s, pieces, shortest - kGram + 1, lag, line_feeds_as_spaces, vet);
    }
  }

  // The next non-empty range by ascending lo (ties in any order), or nothing. Nothing also once
  // a surrogate is found, and ever after.
  std::optional<Range> next(std::int64_t pattern_chars, std::int64_t bound,
                            std::int64_t longest_window, std::int64_t text_chars) {
    const std::size_t limit = s_.size() < kGram ? 0 : s_.size() - kGram + 1;
    for (;;) {
      // No later sample yields a range that starts before pos_ - lag_.
      if (!pending_.empty() &&
          (pos_ >= limit || pending_.top().lo < static_cast<std::int64_t>(pos_) - lag_)) {
        const Range top = pending_.top();
        pending_.pop();
        return top;
      }
      if (pos_ >= limit) {
        vet_to(s_.size());
        return std::nullopt;
      }
      const std::size_t end = std::min(limit, pos_ + kBlock);
      // Checked a block ahead of the samples, which then read it from cache rather than memory.
      if (vetted_ < end + kGram - 1 &&
          !vet_to(std::min(s_.size(), std::max(end + kGram - 1, vetted_ + kBlock)))) {
        return std::nullopt;
      }
      const std::size_t at = find_maybe(pos_, end);
      cancel::poll((at - pos_) / 64 + 1);
      pos_ = at < end ? at + step_ : at;
      if (at < end) hit(at, load(at), pattern_chars, bound, longest_window, text_chars);
    }
  }

  // True when vetting found a surrogate code point.
  bool surrogate() const { return surrogate_; }

 private:
  static constexpr std::size_t kBlock = std::size_t{1} << 16;
  // A byte a slot spares the shifts of a bit table; 16 KB still stays in the L1 cache.
  static constexpr unsigned kBits = 14;

  struct Gram {
    Key key;
    std::uint32_t piece;
    std::uint32_t at;  // in the piece
  };

  SampledPieces(text::Units<Unit> s, const std::vector<Piece>& pieces, std::size_t step,
                std::int64_t lag, bool line_feeds_as_spaces, bool vet)
      : s_(s),
        step_(step),
        lag_(lag),
        line_feeds_as_spaces_(line_feeds_as_spaces),
        vetted_(vet && sizeof(Unit) > 1 ? 0 : s.size()),
        table_(std::size_t{1} << kBits, 0) {
    for (std::uint32_t i = 0; i < pieces.size(); ++i) {
      const text::Units<Unit> units = pieces[i].units;
      if (units.empty()) continue;
      pieces_.push_back(pieces[i]);
      for (std::uint32_t at = 0; at + kGram <= units.size(); ++at) {
        Key key;
        std::memcpy(&key, units.data() + at, sizeof key);
        grams_.push_back({key, static_cast<std::uint32_t>(pieces_.size() - 1), at});
        mark(key, 0);
      }
    }
  }

  // Lets the samples read up to `to`, checking that far first; false (and the search over) on a
  // surrogate.
  bool vet_to(std::size_t to) {
    if (to <= vetted_) return !surrogate_;
    if (text::has_surrogate(s_.subspan(vetted_, to - vetted_))) {
      surrogate_ = true;
      vetted_ = s_.size();
      pos_ = s_.size();
      while (!pending_.empty()) pending_.pop();
      return false;
    }
    vetted_ = to;
    return true;
  }

  // Sets the bit of `key` and, where line feeds read as spaces, of every spelling of it with
  // line feeds for some of its spaces from unit `from` on: the filter then reads the text as it is.
  void mark(Key key, std::size_t from) {
    const std::size_t slot = hash(key);
    table_[slot] = 1;
    if (!line_feeds_as_spaces_) return;
    for (std::size_t i = from; i < kGram; ++i) {
      const Key lane = kLane << (8 * sizeof(Unit) * i);
      if ((key & lane) == (Key{' '} << (8 * sizeof(Unit) * i))) {
        mark(static_cast<Key>((key & ~lane) | Key{'\n'} << (8 * sizeof(Unit) * i)), i + 1);
      }
    }
  }

  // `key` with its line feeds read as spaces, where they are.
  Key spaced(Key key) const {
    if (!line_feeds_as_spaces_) return key;
    for (std::size_t i = 0; i < kGram; ++i) {
      const Key lane = kLane << (8 * sizeof(Unit) * i);
      if ((key & lane) == (Key{'\n'} << (8 * sizeof(Unit) * i))) {
        key = static_cast<Key>((key & ~lane) | Key{' '} << (8 * sizeof(Unit) * i));
      }
    }
    return key;
  }

  static std::size_t hash(Key key) {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(key) * 0x9E3779B97F4A7C15ULL) >>
                                    (64 - kBits));
  }
  Key load(std::size_t at) const {
    Key key;
    std::memcpy(&key, s_.data() + at, sizeof key);
    return key;
  }

  // The first sampled position from `at` on below `end` whose q-gram may be a piece's, else the
  // first sampled position at or past `end`. Four samples a round keep the loads independent.
  std::size_t find_maybe(std::size_t at, std::size_t end) const {
    const std::size_t step = step_;
    const std::uint8_t* const table = table_.data();
    const auto bit = [&](std::size_t i) {
      Key key;
      std::memcpy(&key, s_.data() + i, sizeof key);
      const std::size_t slot = hash(key);
      return table[slot];
    };
    for (; at + 3 * step < end; at += 4 * step) {
      if ((bit(at) | bit(at + step) | bit(at + 2 * step) | bit(at + 3 * step)) != 0) break;
    }
    for (; at < end; at += step) {
      if (bit(at) != 0) return at;
    }
    return at;
  }

  // Queues the ranges of the occurrences that hold the q-gram `key` at `at`.
  void hit(std::size_t at, Key key, std::int64_t pattern_chars, std::int64_t bound,
           std::int64_t longest_window, std::int64_t text_chars) {
    key = spaced(key);
    for (const Gram& gram : grams_) {
      if (gram.key != key || at < gram.at) continue;
      const Piece& piece = pieces_[gram.piece];
      const std::size_t from = at - gram.at;
      const std::size_t chars = piece.units.size();
      if (!holds(s_, from, piece.units, line_feeds_as_spaces_)) continue;
      const Range range = starts_near(static_cast<std::int64_t>(from), piece.offset,
                                      static_cast<std::int64_t>(chars), pattern_chars, bound,
                                      longest_window, text_chars);
      if (range.lo <= range.hi) pending_.push(range);
    }
  }

  static constexpr auto kLater = [](const Range& x, const Range& y) { return x.lo > y.lo; };

  text::Units<Unit> s_;
  std::size_t step_;
  std::int64_t lag_;
  bool line_feeds_as_spaces_;
  bool surrogate_ = false;
  std::size_t vetted_;               // units checked for surrogates, or all when not vetting
  std::size_t pos_ = 0;              // the next position sampled
  std::vector<std::uint8_t> table_;  // 1 at each hash of the pieces' q-grams
  std::vector<Piece> pieces_;
  std::vector<Gram> grams_;
  std::priority_queue<Range, std::vector<Range>, decltype(kLater)> pending_{kLater};
};

// Every piece's occurrences in one vectorised pass over the whole text, which compares two units
// of every piece at every start and checks the text for surrogates on the way: where the text
// must be read whole anyway, or where pieces are too short for sampling to skip much, the text
// is then read once, at the speed of memory, instead of once per piece or once more to check it.
template <class Unit>
class ProbedPieces {
 public:
  using Piece = typename SampledPieces<Unit>::Piece;

  // Nothing without 32-byte vectors, or when the pieces are too many, too short (they occur so
  // often that the substring searches, which verify as they go, do better), or too long
  // (verifying a hit compares a piece: bounded, so that any text costs a constant per
  // character), or when a probe falls on a space that the text may hold as a line feed.
  static std::optional<ProbedPieces> create(text::Units<Unit> s, const std::vector<Piece>& pieces,
                                            std::int64_t lag, bool line_feeds_as_spaces, bool vet) {
    if (!text::has_avx2() || pieces.size() > text::kMaxProbedNeedles) return std::nullopt;
    ProbedPieces probed(s, lag, line_feeds_as_spaces, vet);
    for (const Piece& piece : pieces) {
      if (piece.units.empty()) continue;
      if (piece.units.size() < kShortestPiece ||
          piece.units.size() > SampledPieces<Unit>::kMaxPieceChars) {
        return std::nullopt;
      }
      const text::Probes at = text::probes(piece.units);
      const Unit first = piece.units[at.first];
      const Unit second = piece.units[at.second];
      if (line_feeds_as_spaces && (first == Unit{' '} || second == Unit{' '})) return std::nullopt;
      probed.pieces_.push_back(piece);
      probed.needles_.push_back({piece.units.size(), at, first, second});
    }
    return probed;
  }

  // The next non-empty range by ascending lo (ties in any order), or nothing. Nothing also once
  // a surrogate is found, and ever after.
  std::optional<Range> next(std::int64_t pattern_chars, std::int64_t bound,
                            std::int64_t longest_window, std::int64_t text_chars) {
    // Two pointers, which std::function holds without allocating: next() comes once a range.
    const std::array<std::int64_t, 4> limits{pattern_chars, bound, longest_window, text_chars};
    const std::function<void(std::size_t, std::size_t)> hit = [this, &limits](std::size_t piece,
                                                                              std::size_t at) {
      ++hits_[piece];
      if (!holds(s_, at, pieces_[piece].units, line_feeds_as_spaces_)) return;
      const Range range = starts_near(static_cast<std::int64_t>(at), pieces_[piece].offset,
                                      static_cast<std::int64_t>(pieces_[piece].units.size()),
                                      limits[0], limits[1], limits[2], limits[3]);
      if (range.lo <= range.hi) pending_.push(range);
    };
    for (;;) {
      // No later start yields a range that starts before pos_ - lag_.
      if (!pending_.empty() &&
          (pos_ >= s_.size() || pending_.top().lo < static_cast<std::int64_t>(pos_) - lag_)) {
        const Range top = pending_.top();
        pending_.pop();
        return top;
      }
      if (pos_ >= s_.size()) return std::nullopt;
      const std::size_t end = std::min(s_.size(), pos_ + kBlock);
      cancel::poll((end - pos_) / 64 + 1);
      if (!text::scan_probes<Unit>(s_, pos_, end, needles_, vet_, hit)) {
        surrogate_ = true;
        pos_ = s_.size();
        while (!pending_.empty()) pending_.pop();
        return std::nullopt;
      }
      reprobe(s_.subspan(pos_, end - pos_), s_.size() - end);
      pos_ = end;
    }
  }

  // True when vetting found a surrogate code point.
  bool surrogate() const { return surrogate_; }

 private:
  // Ranges wait in a heap until no later start can precede them: a block's worth at most.
  static constexpr std::size_t kBlock = std::size_t{1} << 14;
  // Measured on French prose: pieces of 4 characters and fewer are found faster one by one.
  static constexpr std::size_t kShortestPiece = 5;
  // New probes are chosen on a sample of kSample units, which costs about what kReprobe hits do.
  static constexpr std::size_t kReprobe = 1024;
  static constexpr std::size_t kSample = std::size_t{1} << 13;

  ProbedPieces(text::Units<Unit> s, std::int64_t lag, bool line_feeds_as_spaces, bool vet)
      : s_(s), lag_(lag), line_feeds_as_spaces_(line_feeds_as_spaces), vet_(vet) {}

  // A piece whose probes met often in the block just read gets new ones, once, chosen on that
  // block's end, still in cache: probes on two letters of one common word meet at each of its
  // occurrences. Choosing costs about what kReprobe hits do (each a mispredicted branch, a call
  // and a comparison), so it is done where as many may be saved in the `left` units to read.
  void reprobe(text::Units<Unit> block, std::size_t left) {
    for (std::size_t j = 0; j < needles_.size(); ++j) {
      if (!reprobed_[j] && hits_[j] * (left / kBlock) >= kReprobe) {
        reprobed_[j] = true;
        const text::Units<Unit> piece = pieces_[j].units;
        const text::Probes at = text::sampled_probes(
            piece, block.last(std::min(block.size(), kSample)),
            line_feeds_as_spaces_ ? std::optional<Unit>(Unit{' '}) : std::nullopt);
        needles_[j] = {piece.size(), at, piece[at.first], piece[at.second]};
      }
      hits_[j] = 0;
    }
  }

  static constexpr auto kLater = [](const Range& x, const Range& y) { return x.lo > y.lo; };

  text::Units<Unit> s_;
  std::int64_t lag_;
  bool line_feeds_as_spaces_;
  bool vet_;
  bool surrogate_ = false;
  std::size_t pos_ = 0;  // the next start scanned
  std::vector<Piece> pieces_;
  std::vector<text::ProbedNeedle<Unit>> needles_;
  // Each piece's hits in the block being read, and whether it was given new probes.
  std::array<std::size_t, text::kMaxProbedNeedles> hits_{};
  std::array<bool, text::kMaxProbedNeedles> reprobed_{};
  std::priority_queue<Range, std::vector<Range>, decltype(kLater)> pending_{kLater};
};

// The same windows as scan_every_window, but only at the starts where some piece of the pattern
// occurs close enough: every string within `bound` Levenshtein edits of the pattern keeps one of
// `bound` + 1 disjoint pieces intact, since an edit breaks at most one. False, with nothing read,
// when the pieces would be too short to pay off. With `surrogate`, the whole text is also checked
// for surrogate code points as it is read; the first one stops the search and sets *surrogate.
template <class Unit>
bool scan_near_pieces(text::Units<Unit> s, std::u32string_view pattern, std::uint64_t pattern_chars,
                      std::int8_t margin, std::size_t bound, const Judge& judge,
                      StartRows<Unit>* rows, bool* surrogate) {
  const std::size_t count = bound + 1;
  if (pattern.size() / count < (rows != nullptr ? kMinPieceCharsWithRows : kMinPieceChars) ||
      (judge.line_feeds_as_spaces && rows != nullptr)) {
    return false;
  }

  const auto text_chars = static_cast<std::int64_t>(s.size());
  const auto p = static_cast<std::int64_t>(pattern.size());
  const auto k = static_cast<std::int64_t>(bound);
  const auto longest = static_cast<std::int64_t>(pattern_chars) + margin;

  // Sampling needs pieces of even length; otherwise the rarest pieces a sample of the text
  // predicts.
  std::vector<std::size_t> bounds(count + 1);
  for (std::size_t i = 0; i <= count; ++i) bounds[i] = i * pattern.size() / count;
  std::vector<std::vector<Unit>> units(count);
  std::vector<typename SampledPieces<Unit>::Piece> pieces(count);
  const auto cut = [&] {
    for (std::size_t i = 0; i < count; ++i) {
      units[i] = text::narrow<Unit>(pattern.substr(bounds[i], bounds[i + 1] - bounds[i]))
                     .value_or(std::vector<Unit>{});
      pieces[i] = {text::Units<Unit>(units[i]), static_cast<std::int64_t>(bounds[i])};
    }
  };
  cut();
  // A sample at `at` finds occurrences from at - (chars - kGram) on, whose ranges start at most
  // `offset` + `bound` + `longest` - `p` before them.
  std::int64_t lag = 0;
  for (std::size_t i = 0; i < count; ++i) {
    lag = std::max<std::int64_t>(lag, static_cast<std::int64_t>(bounds[i + 1]) + k + longest - p);
  }
  std::optional<ProbedPieces<Unit>> probed =
      ProbedPieces<Unit>::create(s, pieces, lag, judge.line_feeds_as_spaces, surrogate != nullptr);
  std::optional<SampledPieces<Unit>> sampled =
      probed ? std::nullopt
             : SampledPieces<Unit>::create(s, pieces, lag, judge.line_feeds_as_spaces,
                                           surrogate != nullptr);
  std::vector<PieceStarts<Unit>> streams;
  if (!probed && !sampled) {
    // Only the sampled filter reads line feeds as spaces.
    if (judge.line_feeds_as_spaces) return false;
    if (judge.pieces != nullptr && judge.pieces->size() == count + 1) {
      bounds = *judge.pieces;
    } else {
      bounds = piece_bounds(s, pattern, count);
      if (judge.pieces != nullptr) *judge.pieces = bounds;
    }
    cut();
    streams.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
      // One stream reads the whole text, so one checks it.
      streams.emplace_back(s, pieces[i].units, pieces[i].offset,
                           static_cast<std::int64_t>(bounds[i + 1] - bounds[i]),
                           i == 0 && surrogate != nullptr);
    }
  }
  const auto found_surrogate = [&] {
    if (surrogate == nullptr) return false;
    *surrogate = probed    ? probed->surrogate()
                 : sampled ? sampled->surrogate()
                           : streams[0].surrogate();
    return *surrogate;
  };

  struct Pending {
    Range range;
    std::size_t stream;
  };
  const auto later = [](const Pending& x, const Pending& y) { return x.range.lo > y.range.lo; };
  std::priority_queue<Pending, std::vector<Pending>, decltype(later)> heap(later);
  const auto advance = [&](std::size_t i) {
    std::optional<Range> range = probed    ? probed->next(p, k, longest, text_chars)
                                 : sampled ? sampled->next(p, k, longest, text_chars)
                                           : streams[i].next(p, k, longest, text_chars);
    if (range) heap.push({*range, i});
  };
  for (std::size_t i = 0; i < (probed || sampled ? 1 : count); ++i) advance(i);
  if (found_surrogate()) return true;

  // The windows at starts [run.lo, run.hi] and the characters they cover.
  cancel::Meter meter;
  const auto flush = [&](const Range& run) {
    const std::int64_t last = std::min(run.hi + longest, text_chars);
    const auto base = static_cast<std::uint64_t>(run.lo);
    const text::Units<Unit> covered = s.subspan(base, static_cast<std::uint64_t>(last) - base);
    for (auto start = base; start <= static_cast<std::uint64_t>(run.hi);) {
      meter.poll(static_cast<std::uint64_t>(margin) + 1);
      judge_start(covered, base, start, static_cast<std::uint64_t>(text_chars), pattern_chars,
                  margin, judge, rows);
      start = rows != nullptr ? rows->next_start(covered, base, start) : start + 1;
    }
  };

  // Ranges leave the heap by ascending lo; touching or overlapping ones merge into one run.
  std::optional<Range> run;
  while (!heap.empty()) {
    const Pending next = heap.top();
    heap.pop();
    cancel::poll();
    advance(next.stream);
    if (found_surrogate()) return true;
    if (run && next.range.lo <= run->hi + 1) {
      run->hi = std::max(run->hi, next.range.hi);
      continue;
    }
    if (run) flush(*run);
    run = next.range;
  }
  if (run) flush(*run);
  found_surrogate();
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

namespace {

// find_candidates over `s` normalised as preprocessor::normalise copies it, `stretch` units at a
// time, in the whole text's positions. Each stretch is searched from one character before its
// starts, where no window is shorter than the pattern as at the text's first start, through the
// longest window of its last start: its windows at those starts are the whole text's. The
// pieces the filter chose on the first stretch's sample serve the others. False on an unknown
// metric; `vetted` false, and the search over, on a lone surrogate.
bool candidates_by_stretches(text::TextView s, std::u32string_view p, bool case_insensitive,
                             bool special_char_insensitive, std::string_view metric,
                             double threshold, std::uint8_t threshold_kind, Scan scan,
                             Scoring scoring, const std::function<void(const Match&)>& on_candidate,
                             const Settled& settled, std::size_t stretch, bool& vetted) {
  const std::uint64_t longest = p.size() + static_cast<std::uint64_t>(std::max<std::int8_t>(
                                               0, margin(p.size(), threshold, threshold_kind)));
  std::vector<std::size_t> pieces;
  bool known = true;
  vetted = s.visit([&](auto units) {
    using Unit = typename decltype(units)::value_type;
    return preprocessor::for_each_stretch(
        units, case_insensitive, special_char_insensitive, stretch, 1, longest,
        [&](text::Units<Unit> t, std::uint64_t base, std::uint64_t from, std::uint64_t to) {
          known = find_candidates(
              text::TextView(t), p, metric, threshold, threshold_kind, scan,
              [&](const Match& c) {
                if (c.start + base < from || c.start + base >= to) return;
                on_candidate({c.start + base, c.end + base, c.score});
              },
              scoring, false, nullptr,
              [&](std::uint64_t start) -> std::optional<std::uint64_t> {
                const std::optional<std::uint64_t> end =
                    settled ? settled(start + base) : std::nullopt;
                if (!end || *end < base) return std::nullopt;
                return *end - base;
              },
              &pieces);
          return known;
        });
  });
  return known;
}

}  // namespace

bool find_candidates(text::TextView s, std::u32string_view pattern, std::string_view metric,
                     double threshold, std::uint8_t threshold_kind, Scan scan,
                     const std::function<void(const Match&)>& on_candidate, Scoring scoring,
                     bool line_feeds_as_spaces, bool* surrogate, const Settled& settled,
                     std::vector<std::size_t>* pieces) {
  if (surrogate != nullptr) *surrogate = false;
  // For the scans that do not check the text as they read it.
  const auto vet_first = [&] {
    if (surrogate == nullptr) return false;
    *surrogate = s.visit([](auto units) { return text::has_surrogate(units); });
    return *surrogate;
  };
  const std::uint64_t pattern_chars = pattern.size();
  // With no character on either side no window is formed, so the metric is never looked at.
  if (s.empty() || pattern_chars == 0) {
    vet_first();
    return true;
  }
  const std::int8_t margin = detail::margin(pattern_chars, threshold, threshold_kind);

  const std::u32string_view trimmed = text::trim(pattern);
  const std::optional<comparator::fuzzy::CachedSearch> compare =
      comparator::fuzzy::CachedSearch::create(trimmed, metric, threshold_kind, threshold);
  if (!compare) return false;
  // A negative margin only arises from a negative threshold, which no score meets.
  if (compare->never_matches() || margin < 0) {
    vet_first();
    return true;
  }

  const Judge judge{*compare, on_candidate, line_feeds_as_spaces, settled, pieces};
  // Trimming only shortens a window, so none is longer than P + margin characters.
  const std::size_t longest =
      static_cast<std::size_t>(pattern_chars) + static_cast<std::size_t>(margin);
  // The edit bound of the pieces' filter, or none (the largest value) where it does not apply.
  const std::size_t bound = scan == Scan::near_pieces && !trimmed.empty()
                                ? compare->levenshtein_bound(longest).value_or(kNoBound)
                                : kNoBound;
  const bool done = s.visit([&](auto units) {
    using Unit = typename decltype(units)::value_type;
    // One row per start pays once a start has more than one window.
    std::optional<StartRows<std::remove_const_t<Unit>>> rows;
    if (scoring == Scoring::rows && margin >= 1 && !trimmed.empty()) {
      rows.emplace(*compare, trimmed, longest);
    }
    auto* const rows_or_null = rows ? &*rows : nullptr;
    if (bound < trimmed.size() && scan_near_pieces(units, trimmed, pattern_chars, margin, bound,
                                                   judge, rows_or_null, surrogate)) {
      return true;
    }
    if (vet_first()) return true;
    if (line_feeds_as_spaces) return false;
    scan_every_window(units, pattern_chars, margin, judge, rows_or_null);
    return true;
  });
  if (!done) {
    // Nothing was handed on yet: the other scans read the text normalised, by stretches rather
    // than copied whole. It was checked above.
    bool vetted = true;
    return candidates_by_stretches(s, pattern, false, false, metric, threshold, threshold_kind,
                                   scan, scoring, on_candidate, settled, kNormalisedStretch,
                                   vetted);
  }
  return true;
}

// Each stretch is searched from one character before its starts, where no window is shorter than
// the pattern as at the text's first start, through the longest window of its last start: its
// windows at those starts are the whole text's.
Extraction search_streamed(text::TextView s, std::u32string_view p, bool case_insensitive,
                           bool special_char_insensitive, const std::string& metric,
                           double threshold, std::uint8_t threshold_kind,
                           const std::vector<std::string>& strategies, bool* surrogate,
                           std::size_t stretch) {
  // The solver is given the caller's text, which it does not read.
  conflict_solver::StreamingSolver sink(s, strategies);
  bool vetted = true;
  const bool known = candidates_by_stretches(
      s, p, case_insensitive, special_char_insensitive, metric, threshold, threshold_kind,
      Scan::near_pieces, Scoring::rows, [&](const Match& c) { sink.add(c); },
      [&](std::uint64_t start) { return sink.settled_through(start); }, stretch, vetted);
  if (!vetted) {
    if (surrogate != nullptr) *surrogate = true;
    return std::vector<Match>{};
  }
  if (!known) return Extraction::failure("Invalid distance metric");
  return sink.finish();
}

}  // namespace detail

namespace {

// Whether the search may normalise the text a stretch at a time: the windows are not so long
// that stretches would mostly repeat their margins, and the solver never reads the text.
bool streamed(std::u32string_view p, const std::vector<std::string>& strategies) {
  return p.size() <= kNormalisedStretch / 4 && !conflict_solver::reads_text(strategies);
}

Extraction search(text::TextView s, std::string pattern, bool case_insensitive,
                  bool special_char_insensitive, std::string metric, double threshold,
                  std::uint8_t threshold_kind, std::vector<std::string> strategies,
                  bool* surrogate) {
  const std::u32string p = preprocessor::normalise_pattern(std::move(pattern), case_insensitive,
                                                           special_char_insensitive);
  // Every metric compares window characters with pattern characters only, so where the trimmed
  // pattern holds no white space a line feed scores as the space it normalises to, and trims
  // alike: the caller's text will do.
  const bool line_feeds_matter = text::has_white_space(text::trim(p));
  // Where they are the only change, the search may read line feeds as spaces itself and spare
  // the copy of the text, which costs more than the search; the solver reads them so already.
  const bool line_feeds_as_spaces =
      line_feeds_matter && !case_insensitive && !special_char_insensitive;
  // A text that is copied is checked as it is copied; one searched as it is, while it is searched.
  const bool copied = case_insensitive || special_char_insensitive;
  if (copied && streamed(p, strategies)) {
    return detail::search_streamed(s, p, case_insensitive, special_char_insensitive, metric,
                                   threshold, threshold_kind, strategies, surrogate,
                                   kNormalisedStretch);
  }
  bool* const vet = copied ? nullptr : surrogate;
  const preprocessor::Normalised normalised = preprocessor::normalise(
      s, case_insensitive, special_char_insensitive, line_feeds_matter && !line_feeds_as_spaces,
      copied ? surrogate : nullptr);
  if (copied && surrogate != nullptr && *surrogate) return std::vector<Match>{};
  const text::TextView t = normalised.text();
  conflict_solver::StreamingSolver sink(t, strategies);
  if (!detail::find_candidates(
          t, p, metric, threshold, threshold_kind, detail::Scan::near_pieces,
          [&](const Match& candidate) { sink.add(candidate); }, detail::Scoring::rows,
          line_feeds_as_spaces, vet,
          [&](std::uint64_t start) { return sink.settled_through(start); })) {
    return Extraction::failure("Invalid distance metric");
  }
  if (vet != nullptr && *vet) return std::vector<Match>{};
  return sink.finish();
}

}  // namespace

Extraction extract(text::TextView s, std::string pattern, bool case_insensitive,
                   bool special_char_insensitive, std::string metric, double threshold,
                   std::uint8_t threshold_kind, std::vector<std::string> strategies,
                   const cancel::Check& check, bool* surrogate) {
  if (surrogate != nullptr) *surrogate = false;
  return cancel::run(check, [&] {
    return search(s, std::move(pattern), case_insensitive, special_char_insensitive,
                  std::move(metric), threshold, threshold_kind, std::move(strategies), surrogate);
  });
}

}  // namespace veskal::fuzzy_raw_extract
