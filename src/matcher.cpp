#include "matcher.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "comparator/fuzzy.hpp"
#include "conflict_solver/solver.hpp"
#include "exact_raw_extract.hpp"
#include "exact_token_extract.hpp"
#include "fuzzy_raw_extract.hpp"
#include "fuzzy_token_extract.hpp"
#include "iterator/tokens.hpp"
#include "match.hpp"
#include "preprocessor.hpp"
#include "text.hpp"
#include "workers.hpp"

namespace veskal::matcher {

namespace {

// Units scanned by the automaton between two counts of work for cancellation.
constexpr std::size_t kScanBlock = std::size_t{1} << 14;
// Shorter pieces occur so often in prose that looking for them costs more than it saves.
constexpr std::size_t kMinPieceChars = 2;
// Pieces shorter than the least cannot be anchored (see Anchors), and shorter than the most
// they anchor less selectively, so they are avoided where the pattern is long enough.
constexpr std::size_t kLeastAnchorChars = 3;
constexpr std::size_t kMostAnchorChars = 4;
// Piece occurrences of one pattern kept before their windows are judged.
constexpr std::size_t kPendingRanges = 256;
// Runs of starts at least this long are judged by the engine, whose rows pay off over them.
constexpr std::int64_t kLongestDirectRun = 64;
// Pieces the patterns' statistics expect more often than this per character are so frequent
// that following them would cost more than the pattern's own engine scanning the text.
constexpr double kMostExpected = 1.0 / 64;
// Choosing cut points costs the square of the pattern length times the number of pieces.
constexpr std::size_t kLongestTunedPattern = 64;
// Probes hold sums of three of a raw pattern's lengths in 32 bits: longer patterns are left to
// their engine.
constexpr std::size_t kLongestProbedPattern = std::size_t{1} << 29;
// A pattern whose pieces occur more than once per this many characters of a text (and more
// often than kLeastHitBudget) is left to its own engine for that text: the statistics missed a
// frequent piece, and the engine's windows cost less than following it. The fuzzy token engine
// scores every run, so its pieces may occur far more often before it pays.
constexpr std::size_t kRawCharsPerHit = 512;
constexpr std::size_t kTokenCharsPerHit = 16;
constexpr std::size_t kLeastHitBudget = 1024;

constexpr std::size_t kCacheLine = 64;

// Asks for the lines of `data` to be read into the caches, without waiting for them.
template <class T>
void prefetch(std::span<const T> data) {
  const auto begin = reinterpret_cast<std::uintptr_t>(data.data());
  for (std::uintptr_t at = begin & ~(kCacheLine - 1); at < begin + data.size_bytes();
       at += kCacheLine) {
    __builtin_prefetch(reinterpret_cast<const void*>(at));
  }
}

// ---- Aho-Corasick automaton ------------------------------------------------------------------
// Neither Debian nor PyPI packages a maintained C++ multi-pattern matcher, hence this one. It is
// a complete DFA over the characters the keys use (all others share one class), so the scan
// costs one table load per unit whatever the number of keys. Keys are
// characters, so one automaton scans texts of every width.

class Automaton {
 public:
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  // A transition's top bit: its target state ends some key.
  static constexpr std::uint32_t kOutputBit = std::uint32_t{1} << 31;
  static constexpr std::uint32_t kStateMask = kOutputBit - 1;

  // `keys` must be non-empty; a key's id is its index. Equal keys are all reported. With
  // `line_feeds_as_spaces`, a line feed in the text is read as a space.
  Automaton(const std::vector<std::u32string_view>& keys, bool line_feeds_as_spaces) {
    std::vector<std::uint64_t> wide;
    for (const std::u32string_view key : keys) {
      for (const char32_t c : key) {
        if (c < 256) {
          narrow_[c] = 1;
        } else {
          wide.push_back(c);
        }
      }
    }
    std::uint32_t classes = 1;  // class 0: every unit no key holds
    for (auto& c : narrow_) c = c != 0 ? classes++ : 0;
    if (line_feeds_as_spaces) narrow_[U'\n'] = narrow_[U' '];
    std::sort(wide.begin(), wide.end());
    wide.erase(std::unique(wide.begin(), wide.end()), wide.end());
    for (const std::uint64_t c : wide) wide_.emplace_back(c, classes++);
    classes_ = classes;

    // The trie, transitions kNone where absent; rows are premultiplied by the class count.
    delta_.assign(classes_, kNone);
    first_key_.push_back(kNone);
    next_key_.assign(keys.size(), kNone);
    for (std::uint32_t id = 0; id < keys.size(); ++id) {
      std::uint32_t state = 0;
      for (const char32_t c : keys[id]) {
        const std::size_t at = state + classify(c);
        if (delta_[at] == kNone) {
          // Set before growing the table, which moves it.
          delta_[at] = static_cast<std::uint32_t>(delta_.size());
          delta_.resize(delta_.size() + classes_, kNone);
          first_key_.push_back(kNone);
        }
        state = delta_[at];
      }
      next_key_[id] = first_key_[state / classes_];
      first_key_[state / classes_] = id;
    }

    // Breadth first: a state's failure link is known before its children's. Missing transitions
    // become those of the failure state, and each state links to the nearest suffix with keys.
    const std::size_t states = first_key_.size();
    std::vector<std::uint32_t> fail(states, 0);
    output_link_.assign(states, kNone);
    std::vector<std::uint32_t> queue;
    queue.reserve(states);
    for (std::uint32_t c = 0; c < classes_; ++c) {
      std::uint32_t& to = delta_[c];
      if (to == kNone) {
        to = 0;
      } else {
        queue.push_back(to);
      }
    }
    for (std::size_t head = 0; head < queue.size(); ++head) {
      const std::uint32_t state = queue[head];
      const std::uint32_t f = fail[state / classes_];
      output_link_[state / classes_] =
          first_key_[f / classes_] != kNone ? f : output_link_[f / classes_];
      for (std::uint32_t c = 0; c < classes_; ++c) {
        std::uint32_t& to = delta_[state + c];
        if (to == kNone) {
          to = delta_[f + c];
        } else {
          fail[to / classes_] = delta_[f + c];
          queue.push_back(to);
        }
      }
    }
    // The scan's table: each row holds the transitions, then the state's first key and its
    // output link, so that no state number is divided. A transition's top bit tells whether its
    // target state reaches a key.
    stride_ = classes_ + 2;
    if (states * stride_ > kStateMask) throw std::length_error("too many keys for one automaton");
    const auto row = [&](std::uint32_t state) { return state / classes_ * stride_; };
    table_.resize(states * stride_);
    for (std::size_t r = 0; r < states; ++r) {
      std::uint32_t* out = &table_[r * stride_];
      for (std::uint32_t c = 0; c < classes_; ++c) {
        const std::uint32_t to = delta_[r * classes_ + c];
        const std::size_t target = to / classes_;
        const bool reaches = first_key_[target] != kNone || output_link_[target] != kNone;
        out[c] = row(to) | (reaches ? kOutputBit : 0);
      }
      out[classes_] = first_key_[r];
      out[classes_ + 1] = output_link_[r] == kNone ? kNone : row(output_link_[r]);
    }
    delta_ = {};
    first_key_ = {};
    output_link_ = {};
  }

  // Calls on_hit(key, end) for every occurrence of every key in `text`, overlapping ones
  // included, `end` being the offset just past it: `end` ascending. `state` carries the scan
  // over from the text before (0 at the start).
  template <class Unit, class OnHit>
  void scan(text::Units<Unit> text, std::size_t offset, std::uint32_t& state,
            OnHit&& on_hit) const {
    const std::uint32_t first = classes_;
    const std::uint32_t link = classes_ + 1;
    std::uint32_t s = state;
    for (std::size_t i = 0;;) {
      i = advance(text, i, s);
      if (i > text.size()) break;
      for (std::uint32_t out = table_[s + first] != kNone ? s : table_[s + link]; out != kNone;
           out = table_[out + link]) {
        for (std::uint32_t id = table_[out + first]; id != kNone; id = next_key_[id]) {
          on_hit(id, offset + i);
        }
      }
    }
    state = s;
  }

 private:
  // Moves `state` over text[i...] up to and including the first unit whose transition reaches a
  // key, and returns the offset just past it, or text.size() + 1 when none does. Kept apart from
  // the handling of keys, so that the loop's state and pointers stay in registers: each unit
  // costs one dependent load.
  template <class Unit>
  [[gnu::noinline]] std::size_t advance(text::Units<Unit> text, std::size_t i,
                                        std::uint32_t& state) const {
    const std::uint32_t* table = table_.data();
    std::uint32_t s = state;
    const std::size_t n = text.size();
    for (; i < n; ++i) {
      const std::uint32_t to = table[s + classify(text[i])];
      s = to & kStateMask;
      if (to & kOutputBit) {
        state = s;
        return i + 1;
      }
    }
    state = s;
    return n + 1;
  }

 private:
  std::uint32_t classify(char32_t c) const {
    if (c < 256) return narrow_[c];
    const auto it =
        std::lower_bound(wide_.begin(), wide_.end(), std::pair<std::uint64_t, std::uint32_t>{c, 0});
    return it != wide_.end() && it->first == c ? it->second : 0;
  }

  std::uint32_t narrow_[256] = {};
  std::vector<std::pair<std::uint64_t, std::uint32_t>> wide_;
  std::uint32_t classes_ = 1;
  std::uint32_t stride_ = 1;
  std::vector<std::uint32_t> table_;     // what the scan reads; rows of stride_ entries
  std::vector<std::uint32_t> next_key_;  // per key: the next key ending at its state
  // While building only, rows of classes_ entries:
  std::vector<std::uint32_t> delta_;
  std::vector<std::uint32_t> first_key_;    // per state: a key ending there, or kNone
  std::vector<std::uint32_t> output_link_;  // per state: the longest proper suffix with keys
};

enum class Mode { exact_raw, exact_token, fuzzy_raw, fuzzy_token };

std::string to_utf8(std::u32string_view chars) {
  std::string out;
  for (const char32_t c : chars) text::append_utf8(out, c);
  return out;
}

// How often pieces occur, estimated from the character pairs of every pattern: the only sample
// of the texts a matcher has before it sees one, and a telling one, since the parts that many
// patterns share ("rue de la ") are the ones that cost most to follow. Characters are told apart
// by their low byte alone: the estimate only steers the choice of pieces.
class Rarity {
 public:
  explicit Rarity(const std::vector<std::u32string_view>& targets)
      : pairs_(std::size_t{1} << 16, 0) {
    for (const std::u32string_view t : targets) {
      for (std::size_t i = 0; i < t.size(); ++i) {
        ++singles_[low(t[i])];
        if (i > 0) ++pairs_[pair(t[i - 1], t[i])];
      }
      total_ += t.size();
    }
  }

  // Expected occurrences per character of a text with the patterns' statistics: each character
  // follows the one before as in the patterns, smoothed so that unseen pieces still rank longer
  // ones rarer.
  double expected(std::u32string_view piece) const {
    double e =
        (singles_[low(piece[0])] + 0.5) / (static_cast<double>(total_) + 128.0) * odds(piece[0]);
    for (std::size_t i = 1; i < piece.size(); ++i) e *= step(piece[i - 1], piece[i]);
    return e;
  }

  double step(char32_t a, char32_t b) const {
    return (pairs_[pair(a, b)] + 0.5) / (singles_[low(a)] + 128.0) * odds(b);
  }

 private:
  // Patterns are mostly names, so their own statistics overrate capitals, which prose holds a
  // few in a hundred: one is taken as far rarer (Basic Latin and Latin-1 ones suffice to steer),
  // which moves pieces and anchors off the frequent words between names. Measured on names over
  // OCR French, odds from 1/32 to 1/512 gain more the lower they are.
  static double odds(char32_t c) {
    constexpr double kCapitalOdds = 1.0 / 512;
    return (c >= U'A' && c <= U'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) ? kCapitalOdds : 1.0;
  }
  static std::size_t low(char32_t c) { return c & 0xFF; }
  static std::size_t pair(char32_t a, char32_t b) { return low(a) << 8 | low(b); }

  std::uint32_t singles_[256] = {};
  std::vector<std::uint32_t> pairs_;
  std::size_t total_ = 0;
};

// The count + 1 offsets of `count` consecutive pieces covering `target`, each of at least `least`
// characters where the target is long enough, else of at least kMinPieceChars characters, whose
// expected occurrences add up to the least, and that sum. The
// cut points move freely rather than at equal lengths, so that a piece shared by many patterns
// gives way to one that tells them apart.
std::pair<std::vector<std::size_t>, double> piece_bounds(std::u32string_view target,
                                                         std::size_t count, const Rarity& rarity,
                                                         std::size_t least) {
  const std::size_t n = target.size();
  std::vector<std::size_t> bounds(count + 1);
  if (n > kLongestTunedPattern) {
    double total = 0.0;
    for (std::size_t i = 0; i <= count; ++i) bounds[i] = i * n / count;
    for (std::size_t i = 0; i < count; ++i) {
      total += rarity.expected(target.substr(bounds[i], bounds[i + 1] - bounds[i]));
    }
    return {bounds, total};
  }
  // expected[i * (n + 1) + j]: the piece [i, j).
  std::vector<double> expected((n + 1) * (n + 1), 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    double e = rarity.expected(target.substr(i, 1));
    expected[i * (n + 1) + i + 1] = e;
    for (std::size_t j = i + 2; j <= n; ++j) {
      e *= rarity.step(target[j - 2], target[j - 1]);
      expected[i * (n + 1) + j] = e;
    }
  }
  while (least > kMinPieceChars && n < count * least) --least;
  return fuzzy_raw_extract::detail::cheapest_cut(
      count, n, least, [&](std::size_t i, std::size_t j) { return expected[i * (n + 1) + j]; });
}

// The most characters a matching candidate may hold, or nothing when lengths alone set no
// limit. Under every metric with a Levenshtein bound the lengths that may match form one run
// around the pattern's, so a run that ends well below the cap ends for good.
std::optional<std::size_t> longest_match(const comparator::fuzzy::CachedSearch& compare,
                                         std::size_t target_chars) {
  const std::size_t cap = 4 * target_chars + 64;
  std::size_t longest = 0;
  for (std::size_t n = 0; n <= cap; ++n) {
    if (compare.may_match_length(n)) longest = n;
  }
  if (longest > cap / 2) return std::nullopt;
  return longest;
}

// The class of a character for a signature (its low six bits), or none for white space, which
// trimming removes from a window's edges: a window's signature is then that of its trimmed self.
template <class Char>
std::uint64_t class_bit(Char c) {
  const auto x = static_cast<std::uint32_t>(c);
  // Spaces are frequent and hard to predict: told apart without a branch below U+0085.
  const bool space =
      x < 0x85 ? static_cast<bool>((x == 0x20) | (x - 9 < 5)) : text::is_white_space(x);
  return static_cast<std::uint64_t>(!space) << (x & 63);
}

// The classes of the characters of `chars` but white space. An edit adds at most one class and
// removes at most one, so the classes one string holds and another lacks are no more than their
// Levenshtein distance. Line feeds, white space, need no reading as spaces here.
std::uint64_t signature(std::u32string_view chars) {
  std::uint64_t s = 0;
  for (const char32_t c : chars) s |= class_bit(c);
  return s;
}

// True when `bits` has more than `count` bits set; for the few a bound allows, without the
// library call that a popcount compiles to on a baseline x86-64.
inline bool more_than(std::uint64_t bits, std::int64_t count) {
  for (; count > 0 && bits != 0; --count) bits &= bits - 1;
  return bits != 0;
}

// False when a window of signature `s` and a pattern of signature `pattern` differ by more
// classes than `bound` edits make: cheaper told so than scored.
inline bool may_match(std::uint64_t s, std::uint64_t pattern, std::int64_t bound) {
  return !more_than(s & ~pattern, bound) && !more_than(pattern & ~s, bound);
}

// ---- Anchors: a filter for pieces that a scan reads without a chain of dependent loads -------
// The automaton's scan waits for one table load per unit. Where every piece holds a few
// characters and the pieces are not too many, a rare run of three or four characters of each
// (its anchor) is looked up instead, by a hash of the last characters read into a bitmap:
// each unit's test is independent of the last, and the rare hits are checked piece by piece.

// Gathered from a bitmap larger than this (256 KB), the scan lost to loads one start at a time:
// 10,000 names (2^23 bits) took 3% longer.
constexpr unsigned kMostGatheredBits = 21;
// Beyond this many pieces the bitmap outgrows the caches; the automaton takes over.
constexpr std::size_t kMostAnchoredKeys = 1 << 15;
// Longer steps save little more, and fill the bitmap with the anchors that make them possible.
constexpr std::size_t kMostStep = 8;
// Steps pay while the bitmap stays within a first-level cache (256 bits an anchor, 32 KB); with
// some thousand pieces, each test then costs more than the tests saved.
constexpr std::size_t kMostSteppedAnchors = 1024;
// An anchor that is a two-letter word between spaces (" la ", " de ") is among prose's most
// frequent, however rare the patterns make it: taken as this much more frequent. Measured on
// 1,000 names over OCR French, odds from 256 up take 1.61 ms instead of 1.67.
constexpr double kShortWordOdds = 1024;

// A text is sampled for its own choice of anchors from this many characters on, and from this
// many per anchor, where the samples and a new table cost little beside the scan.
constexpr std::size_t kLeastTunedChars = std::size_t{1} << 18;
constexpr std::size_t kTunedCharsPerEntry = 256;
// Samples: slices of consecutive windows spread over the text, as many as these to learn from
// and to check a choice learned before, counted by hashes of so many bits. Learning from twice
// the windows, by hashes of one more bit, gains 1.5% more for twice the cost.
constexpr std::size_t kSliceWindows = 64;
constexpr std::size_t kLearnSlices = 2048;
constexpr unsigned kLearnBits = 17;
constexpr std::size_t kCheckSlices = 128;  // for texts of kCheckSlices << 13 characters or more
constexpr unsigned kCheckBits = 14;

class Anchors {
 public:
  // An anchor of a key, with what its check reads, so that one hit costs few loads.
  struct Entry {
    std::uint64_t window;  // as `window` reads it from the text, line feeds included
    std::uint32_t hash;
    std::uint32_t key;
    std::uint32_t offset;  // of the anchor in the key
    std::uint32_t at;      // of the key's characters in pool_
    std::uint32_t size;    // of the key
    bool wide;             // some character of the key lies beyond 16 bits
  };

  // The bitmap that the scan probes and the anchors' entries behind it.
  struct Table {
    unsigned bits = 12;
    // Hashed as text::marked_starts hashes, where the scan tests every start: it tests them
    // sixteen at once. A step between starts leaves them to a cheaper hash one at a time.
    bool paired = false;
    std::vector<std::uint64_t> bitmap;
    std::vector<std::uint32_t> word_start;  // per bitmap word: its first entry
    std::vector<Entry> entries;             // by ascending hash
  };

  // Nothing when some key is shorter than an anchor, or there are too many keys.
  // With `line_feeds_as_spaces`, a line feed in the text is read as a space.
  static std::optional<Anchors> create(const std::vector<std::u32string_view>& keys,
                                       const Rarity& rarity, bool line_feeds_as_spaces) {
    if (keys.empty() || keys.size() > kMostAnchoredKeys) return std::nullopt;
    std::size_t shortest = keys.front().size();
    for (const std::u32string_view key : keys) shortest = std::min(shortest, key.size());
    if (shortest < kLeastAnchorChars) return std::nullopt;
    Anchors a;
    a.line_feeds_as_spaces_ = line_feeds_as_spaces;
    a.chars_ = std::min(shortest, kMostAnchorChars);
    a.step_ = step(shortest, keys.size());
    // Pieces that several patterns share are anchored and checked once, then reported for each.
    std::map<std::u32string_view, std::uint32_t> first;
    a.same_.assign(keys.size(), kNone);
    for (std::uint32_t id = static_cast<std::uint32_t>(keys.size()); id-- > 0;) {
      const auto [it, fresh] = first.try_emplace(keys[id], id);
      if (!fresh) {
        a.same_[id] = it->second;
        it->second = id;
      }
    }
    for (std::uint32_t id = 0; id < keys.size(); ++id) {
      const std::u32string_view key = keys[id];
      if (first.at(key) != id) continue;
      // The key's characters where its checks read them, together.
      const auto pooled = static_cast<std::uint32_t>(a.pool_.size());
      a.pool_.insert(a.pool_.end(), key.begin(), key.end());
      const bool wide = std::any_of(key.begin(), key.end(), [](char32_t c) { return c > 0xFFFF; });
      Anchored& anchored = a.anchored_.emplace_back(
          Anchored{id, pooled, static_cast<std::uint32_t>(key.size()), wide,
                   static_cast<std::uint32_t>(a.windows_.size()), 0, 0});
      for (std::size_t at = 0; at + a.chars_ <= key.size(); ++at) {
        a.windows_.push_back(a.chars_ == 3 ? window<3>(key.data() + at)
                                           : window<4>(key.data() + at));
      }
      // The consecutive anchors expected least often in all.
      double rarest = std::numeric_limits<double>::infinity();
      for (std::size_t at = 0; at + a.step_ - 1 + a.chars_ <= key.size(); ++at) {
        double e = 0.0;
        for (std::size_t k = 0; k < a.step_; ++k) {
          const std::u32string_view w = key.substr(at + k, a.chars_);
          e += rarity.expected(w) * (w.front() == U' ' && w.back() == U' ' ? kShortWordOdds : 1.0);
        }
        a.expected_.push_back(e);
        ++anchored.starts;
        if (e < rarest) {
          rarest = e;
          anchored.best = static_cast<std::uint32_t>(at);
        }
      }
    }
    std::vector<std::uint32_t> chosen;
    for (const Anchored& k : a.anchored_) chosen.push_back(k.best);
    a.table_ = a.build(chosen);
    return a;
  }

  // How often each hash of `bits` bits of a window occurs in a sample of a text.
  struct Counts {
    unsigned bits;
    std::vector<std::uint16_t> of;
    std::uint16_t operator[](std::uint64_t window) const {
      return of[(window * kHashFactor) >> (64 - bits)];
    }
  };

  // Anchors chosen from a sample of a text, and their table.
  struct Learned {
    std::vector<std::uint32_t> chosen;  // per anchored key, the offset of its first anchor
    Table table;
  };

  // True when a text of `chars` characters is long enough for a sample and a new table to cost
  // little beside its scan.
  bool worth_tuning(std::size_t chars) const {
    return chars >= kLeastTunedChars && chars >= kTunedCharsPerEntry * table_.entries.size();
  }

  // The windows of `slices` runs of kSliceWindows starts, spread evenly over `text` (at least
  // kLeastTunedChars characters), counted by hash; collisions only blur the estimate.
  template <class Unit>
  Counts sample(text::Units<Unit> text, std::size_t slices, unsigned bits) const {
    Counts counts{bits, std::vector<std::uint16_t>(std::size_t{1} << bits, 0)};
    add_sample(text, slices, counts);
    return counts;
  }
  // The same, added to `counts` (for texts of 4 * kSliceWindows characters or more).
  template <class Unit>
  void add_sample(text::Units<Unit> text, std::size_t slices, Counts& counts) const {
    const std::size_t starts = text.size() - 3;
    for (std::size_t s = 0; s < slices; ++s) {
      const std::size_t from = slices > 1 ? s * (starts - kSliceWindows) / (slices - 1) : 0;
      for (std::size_t at = from; at < from + kSliceWindows; ++at) {
        const std::uint64_t x =
            chars_ == 3 ? window<3>(text.data() + at) : window<4>(text.data() + at);
        std::uint16_t& c = counts.of[(x * kHashFactor) >> (64 - counts.bits)];
        c = static_cast<std::uint16_t>(c + (c < 0xFFFF));
      }
    }
  }

  // How often the anchors from offsets `chosen` (the statistics' choice when empty) occur in
  // the sample, in all.
  std::uint64_t seen(const Counts& counts, const std::vector<std::uint32_t>& chosen) const {
    std::uint64_t all = 0;
    for (std::size_t k = 0; k < anchored_.size(); ++k) {
      const Anchored& a = anchored_[k];
      const std::uint32_t offset = chosen.empty() ? a.best : chosen[k];
      for (std::size_t i = 0; i < step_; ++i) all += counts[windows_[a.windows + offset + i]];
    }
    return all;
  }

  // Per key, the anchors seen least often in the sample, ties (mostly unseen ones) to the
  // rarest by the patterns' statistics; nothing when that is the statistics' choice. The
  // patterns tell little of how often their common runs ("ment", "place") occur in prose:
  // counted in a text, they give way to rarer ones of the same keys, and fewer hits are checked
  // for nothing.
  std::optional<Learned> learn(const Counts& counts) const {
    Learned learned;
    learned.chosen.reserve(anchored_.size());
    bool changed = false;
    std::size_t candidate = 0;
    for (const Anchored& k : anchored_) {
      std::uint32_t best = 0;
      std::pair<std::uint64_t, double> least{std::numeric_limits<std::uint64_t>::max(), 0.0};
      for (std::uint32_t at = 0; at < k.starts; ++at, ++candidate) {
        std::uint64_t found = 0;
        for (std::size_t i = 0; i < step_; ++i) found += counts[windows_[k.windows + at + i]];
        const std::pair<std::uint64_t, double> score{found, expected_[candidate]};
        if (score < least) {
          least = score;
          best = at;
        }
      }
      changed = changed || best != k.best;
      learned.chosen.push_back(best);
    }
    if (!changed) return std::nullopt;
    learned.table = build(learned.chosen);
    return learned;
  }

  // Every occurrence of a key of `shortest` characters holds an anchor starting at a multiple
  // of the step when each key contributes that many anchors at consecutive offsets: the scan
  // then tests only those starts. (Shorter anchors for a longer step let through too many.)
  static std::size_t step(std::size_t shortest, std::size_t keys) {
    return std::min({shortest - std::min(shortest, kMostAnchorChars) + 1, kMostStep,
                     std::max<std::size_t>(1, kMostSteppedAnchors / keys)});
  }

  // Calls on_hit(key, end) for every occurrence of every key in `text`, `end` ascending as the
  // automaton's scan gives them; keys numbered as given to create. Each occurrence is announced
  // to ahead(key) a block of the text before on_hit takes it, time enough to fetch what it reads.
  template <class Unit, class OnHit, class Ahead>
  void scan(text::Units<Unit> text, OnHit&& on_hit, Ahead&& ahead,
            const Table* tuned = nullptr) const {
    const Table& table = tuned != nullptr ? *tuned : table_;
    // A text that probes the table at more places than it has lines reads most of them: all at
    // once then, rather than a line at a time as its hits call for them, each a wait when the
    // caches were emptied before the search.
    const std::size_t bytes = table.bitmap.size() * sizeof(std::uint64_t) +
                              table.word_start.size() * sizeof(std::uint32_t) +
                              table.entries.size() * sizeof(Entry) +
                              pool_.size() * sizeof(char32_t);
    if (text.size() / step_ >= bytes / kCacheLine) {
      prefetch(std::span(table.bitmap));
      prefetch(std::span(table.word_start));
      prefetch(std::span(table.entries));
      prefetch(std::span(pool_));
    }
    struct Found {
      std::size_t end;
      std::uint32_t key;
    };
    std::vector<Found> found;
    // A block's hits are checked in passes, each fetching what the next reads for every hit
    // at once: the table's lines have left the caches to the text by the time a hit needs them,
    // and each hit would otherwise wait for two or three of them in turn.
    struct Candidate {
      std::size_t anchor;
      std::uint64_t window;
      std::uint32_t hash;
      std::uint32_t first;  // of its entries, then
      std::uint32_t last;
    };
    struct Held {
      std::size_t start;
      std::uint32_t entry;
    };
    std::vector<std::size_t> marked;
    std::vector<Candidate> hits;
    std::vector<Held> held;
    // Blocks of anchor starts.
    const std::size_t starts = text.size() < chars_ ? 0 : text.size() - chars_ + 1;
    for (std::size_t from = 0; from < starts; from += kScanBlock) {
      const std::size_t to = std::min(starts, from + kScanBlock);
      cancel::poll(to - from);
      hits.clear();
      const auto add = [&](std::size_t anchor) {
        const std::uint64_t x =
            chars_ == 3 ? window<3>(text.data() + anchor) : window<4>(text.data() + anchor);
        const std::uint32_t h = hash(x, table);
        __builtin_prefetch(&table.word_start[h / 64]);
        hits.push_back({anchor, x, h, 0, 0});
      };
      std::size_t anchor = (from + step_ - 1) / step_ * step_;
      // Where every start is tested, the vector code tests sixteen at once.
      if (table.paired) {
        marked.clear();
        anchor = text::marked_starts(text, anchor, to, std::span(table.bitmap), table.bits,
                                     chars_ == 3, marked);
        for (const std::size_t at : marked) add(at);
      }
      for (;; anchor += step_) {
        anchor = table.paired ? (chars_ == 3 ? next_candidate<3, true>(table, text, anchor, to)
                                             : next_candidate<4, true>(table, text, anchor, to))
                              : (chars_ == 3 ? next_candidate<3, false>(table, text, anchor, to)
                                             : next_candidate<4, false>(table, text, anchor, to));
        if (anchor >= to) break;
        add(anchor);
      }
      for (Candidate& hit : hits) {
        hit.first = table.word_start[hit.hash / 64];
        hit.last = table.word_start[hit.hash / 64 + 1];
        if (hit.first < hit.last) __builtin_prefetch(table.entries.data() + hit.first);
      }
      held.clear();
      for (const Candidate& hit : hits) {
        for (std::uint32_t e = hit.first; e < hit.last; ++e) {
          const Entry& entry = table.entries[e];
          if (entry.window != hit.window || entry.offset > hit.anchor) continue;
          __builtin_prefetch(pool_.data() + entry.at);
          held.push_back({hit.anchor - entry.offset, e});
        }
      }
      for (const auto [start, e] : held) {
        const Entry& entry = table.entries[e];
        if (start + entry.size > text.size() || !holds(text.data() + start, entry)) continue;
        for (std::uint32_t id = entry.key; id != kNone; id = same_[id]) {
          found.push_back({start + entry.size, id});
          ahead(id);
        }
      }
      // A key anchored later ends past `to`.
      std::sort(found.begin(), found.end(),
                [](const Found& a, const Found& b) { return a.end < b.end; });
      std::size_t done = 0;
      for (; done < found.size() && found[done].end <= to; ++done) {
        on_hit(found[done].key, found[done].end);
      }
      found.erase(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(done));
    }
    for (const Found& f : found) on_hit(f.key, f.end);
  }

 private:
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

  // A distinct key and the anchors it may take: the windows from each of its characters on,
  // windows_[windows...], and, from each of `starts` offsets, how often the patterns'
  // statistics expect the step's anchors there in all (expected_, in order of keys).
  struct Anchored {
    std::uint32_t key;
    std::uint32_t at;  // of the key's characters in pool_
    std::uint32_t size;
    bool wide;
    std::uint32_t windows;
    std::uint32_t starts;
    std::uint32_t best;  // the offset the statistics choose
  };

  // The table of each key's `step_` anchors from offset chosen[k] of anchored_[k].
  Table build(const std::vector<std::uint32_t>& chosen) const {
    Table t;
    const std::size_t entries = anchored_.size() * step_;
    // Some 256 bits an anchor keep false hits to one test in several hundred.
    while ((std::size_t{1} << t.bits) < 256 * entries) ++t.bits;
    t.paired = step_ == 1 && t.bits <= kMostGatheredBits;
    t.bitmap.assign((std::size_t{1} << t.bits) / 64, 0);
    for (std::size_t k = 0; k < anchored_.size(); ++k) {
      const Anchored& a = anchored_[k];
      for (std::uint32_t offset = chosen[k]; offset < chosen[k] + step_; ++offset) {
        mark(t, windows_[a.windows + offset], 0, {0, 0, a.key, offset, a.at, a.size, a.wide});
      }
    }
    std::sort(t.entries.begin(), t.entries.end(),
              [](const Entry& x, const Entry& y) { return x.hash < y.hash; });
    t.word_start.assign(t.bitmap.size() + 1, 0);
    for (const Entry& e : t.entries) ++t.word_start[e.hash / 64 + 1];
    for (std::size_t w = 1; w < t.word_start.size(); ++w) t.word_start[w] += t.word_start[w - 1];
    return t;
  }

  // Enters `entry` for its anchor `window` and, where line feeds read as spaces, every spelling
  // of it with line feeds for some of its spaces from character `from` on: the probes then read
  // the text as it is.
  void mark(Table& t, std::uint64_t window, std::size_t from, Entry entry) const {
    entry.window = window;
    entry.hash = hash(window, t);
    t.bitmap[entry.hash / 64] |= std::uint64_t{1} << (entry.hash % 64);
    t.entries.push_back(entry);
    if (!line_feeds_as_spaces_) return;
    for (std::size_t i = from; i < chars_; ++i) {
      const std::uint64_t lane = std::uint64_t{0xFFFF} << (16 * i);
      if ((window & lane) == std::uint64_t{' '} << (16 * i)) {
        mark(t, (window & ~lane) | std::uint64_t{'\n'} << (16 * i), i + 1, entry);
      }
    }
  }

  // True when the key of `entry` lies at `p`, whose anchor reads as the entry's window. A line
  // feed is looked at only where the text differs from the key.
  template <class Unit>
  bool holds(const Unit* p, const Entry& entry) const {
    const char32_t* key = pool_.data() + entry.at;
    const auto same = [&](std::size_t from, std::size_t to) {
      for (std::size_t k = from; k < to; ++k) {
        if (static_cast<char32_t>(p[k]) != key[k] &&
            !(line_feeds_as_spaces_ && key[k] == U' ' && p[k] == Unit{'\n'})) {
          return false;
        }
      }
      return true;
    };
    // The window holds 16 bits of each character: the whole of them in narrower texts, where a
    // wider character of the key occurs nowhere.
    if constexpr (sizeof(Unit) == 4) {
      return same(0, entry.size);
    } else {
      return !entry.wide && same(0, entry.offset) && same(entry.offset + chars_, entry.size);
    }
  }

  // The first anchor start in [at, to), stepping by step_, whose anchor is in the bitmap, or
  // `to` or past it. Each start is read afresh, so that no test waits for the one before; kept
  // apart from the checks, so that the loop's values stay in registers.
  template <std::size_t Chars, bool Paired, class Unit>
  [[gnu::noinline]] std::size_t next_candidate(const Table& table, text::Units<Unit> text,
                                               std::size_t at, std::size_t to) const {
    const std::uint64_t* bitmap = table.bitmap.data();
    const unsigned bits = table.bits;
    const auto found = [&](std::uint64_t x) {
      const std::uint32_t h = Paired ? text::window_hash(x, bits) : single_hash(x, bits);
      return ((bitmap[h / 64] >> (h % 64)) & 1) != 0;
    };
    const std::size_t step = step_;
    // Four units can be read at once up to the last four.
    const std::size_t wide = std::min(to, text.size() >= 4 ? text.size() - 3 : 0);
    for (; at < wide; at += step) {
      if (found(window_of_four<Chars>(text.data() + at))) return at;
    }
    for (; at < to; at += step) {
      if (found(window<Chars>(text.data() + at))) return at;
    }
    return at;
  }

  // `Chars` characters from `p` on, 16 low bits each: wider ones only collide.
  template <std::size_t Chars, class Unit>
  static std::uint64_t window(const Unit* p) {
    std::uint64_t x = 0;
    for (std::size_t k = 0; k < Chars; ++k) x |= std::uint64_t{p[k] & 0xFFFFu} << (16 * k);
    return x;
  }

  // window(p), reading the four units from p on in one or two loads where the layout allows.
  template <std::size_t Chars, class Unit>
  static std::uint64_t window_of_four(const Unit* p) {
    constexpr std::uint64_t kKept = Chars == 4 ? ~std::uint64_t{0} : (std::uint64_t{1} << 48) - 1;
    if constexpr (std::endian::native != std::endian::little) {
      return window<Chars>(p);
    } else if constexpr (sizeof(Unit) == 1) {
      std::uint32_t v;
      std::memcpy(&v, p, 4);
      std::uint64_t x = v;
      x = (x | x << 16) & 0x0000FFFF0000FFFFULL;
      x = (x | x << 8) & 0x00FF00FF00FF00FFULL;
      return x & kKept;
    } else if constexpr (sizeof(Unit) == 2) {
      std::uint64_t x;
      std::memcpy(&x, p, 8);
      return x & kKept;
    } else {
      std::uint64_t w[2];
      std::memcpy(w, p, 16);
      const auto two = [](std::uint64_t y) { return (y & 0xFFFF) | ((y >> 16) & 0xFFFF0000); };
      return (two(w[0]) | two(w[1]) << 32) & kKept;
    }
  }
  static constexpr std::uint64_t kHashFactor = 0x9E3779B97F4A7C15ULL;
  static std::uint32_t single_hash(std::uint64_t x, unsigned bits) {
    return static_cast<std::uint32_t>((x * kHashFactor) >> (64 - bits));
  }
  static std::uint32_t hash(std::uint64_t x, const Table& t) {
    return t.paired ? text::window_hash(x, t.bits) : single_hash(x, t.bits);
  }

  std::size_t chars_ = kMostAnchorChars;  // of every anchor
  std::size_t step_ = 1;                  // between two anchor starts tested
  bool line_feeds_as_spaces_ = false;
  Table table_;  // anchors chosen by the patterns' statistics
  std::vector<Anchored> anchored_;
  std::vector<std::uint64_t> windows_;
  std::vector<double> expected_;
  std::vector<char32_t> pool_;
  // Per key: the next key of the same characters, or kNone; only the first has entries.
  std::vector<std::uint32_t> same_;
};

// What a character of text costs the substring search for one piece, one anchor start the shared
// scan tests, and one unit through the automaton: rough relative measures on French prose (a
// piece's search compares two of its characters at many positions at once, and verifies the rare
// positions where both are found).
constexpr double kStreamCost = 0.4;
constexpr double kProbeCost = 2.5;
constexpr double kAutomatonCost = 4.0;

// The shortest piece the patterns are cut into, given each pattern's characters and number of
// pieces. Longer pieces let the scan step further; the pieces of patterns too short for them are
// searched for one by one, where the longer step saves more than those searches cost.
std::size_t least_piece_chars(const std::vector<std::pair<std::size_t, std::size_t>>& cuts) {
  std::size_t best = kMostAnchorChars;
  double cheapest = std::numeric_limits<double>::infinity();
  for (std::size_t step = 1; step <= kMostStep; ++step) {
    const std::size_t least = kMostAnchorChars + step - 1;
    std::size_t left = 0;  // pieces searched for one by one
    std::size_t keys = 0;
    bool anchored = true;
    for (const auto& [chars, count] : cuts) {
      if (step == 1) {
        anchored = anchored && chars >= count * kLeastAnchorChars;
        keys += count;
      } else if (chars < count * least) {
        left += count;
      } else {
        keys += count;
      }
    }
    if (step > 1 && (keys == 0 || keys > kMostAnchoredKeys || Anchors::step(least, keys) < step)) {
      continue;
    }
    const double scan = anchored && keys <= kMostAnchoredKeys
                            ? kProbeCost / static_cast<double>(step)
                            : kAutomatonCost;
    const double cost = static_cast<double>(left) * kStreamCost + scan;
    if (cost < cheapest) {
      cheapest = cost;
      best = least;
    }
  }
  return best;
}

// A pattern-indexed array of 32-bit entries, all kFree, kept by each thread from one search to
// the next: filling one per search would cost a short text with many patterns more than its
// search. The user puts back kFree in every entry it set before the array goes. (A Matcher's
// searches run on several threads at once, hence arrays per thread; each keeps at most a few,
// of 4 bytes a pattern.)
class Pooled {
 public:
  static constexpr std::uint32_t kFree = std::numeric_limits<std::uint32_t>::max();

  explicit Pooled(std::size_t size) {
    std::vector<std::vector<std::uint32_t>>& pool = kept();
    if (!pool.empty()) {
      array_ = std::move(pool.back());
      pool.pop_back();
    }
    if (array_.size() < size) array_.resize(size, kFree);
  }
  Pooled(const Pooled&) = delete;
  Pooled& operator=(const Pooled&) = delete;
  ~Pooled() {
    try {
      kept().push_back(std::move(array_));
    } catch (const std::bad_alloc&) {
      // Not kept: the next search makes another.
    }
  }

  std::uint32_t& operator[](std::size_t i) { return array_[i]; }

 private:
  static std::vector<std::vector<std::uint32_t>>& kept() {
    thread_local std::vector<std::vector<std::uint32_t>> arrays;
    return arrays;
  }

  std::vector<std::uint32_t> array_;
};

// Per-pattern state of one search, made for the patterns it meets only: the work after a scan
// then follows those, and a short text costs little more with many patterns than with few.
// References to a pattern's state stay valid as others are met.
template <class T>
class Met {
 public:
  explicit Met(std::size_t patterns) : slot_(patterns) {}
  Met(const Met&) = delete;
  Met& operator=(const Met&) = delete;
  ~Met() {
    for (const auto& [u, state] : met_) slot_[u] = Pooled::kFree;
  }

  // The state of pattern u, made on first use.
  T& operator[](std::size_t u) {
    std::uint32_t& slot = slot_[u];
    if (slot == Pooled::kFree) {
      // Set once the state is made: the destructor frees the slots of those in met_.
      met_.emplace_back(static_cast<std::uint32_t>(u), T{});
      slot = static_cast<std::uint32_t>(met_.size() - 1);
    }
    return met_[slot].second;
  }
  // (pattern, state) in the order met; none may be met while these are walked.
  auto begin() { return met_.begin(); }
  auto end() { return met_.end(); }

 private:
  Pooled slot_;
  std::deque<std::pair<std::uint32_t, T>> met_;
};

// The matches of each distinct pattern in one text, for those with some.
using MatchesMet = Met<std::vector<Match>>;

// Keyed patterns whose pieces proved too frequent in one text, left to their own engine there.
class Overflowed {
 public:
  explicit Overflowed(std::size_t patterns) : is_(patterns, false) {}
  bool operator[](std::size_t u) const { return is_[u]; }
  void add(std::size_t u) {
    is_[u] = true;
    list_.push_back(static_cast<std::uint32_t>(u));
  }
  // In the order they overflowed.
  const std::vector<std::uint32_t>& list() const { return list_; }

 private:
  std::vector<bool> is_;
  std::vector<std::uint32_t> list_;
};

}  // namespace

struct Matcher::Impl {
  // One distinct normalised pattern and the indices of the patterns that normalise to it.
  struct Pattern {
    std::u32string chars;
    // What the engine is handed for a pattern the automaton does not find: normalising it again
    // with no flag set changes nothing, so the engine's matches are those of the original.
    std::string utf8;
    std::vector<std::size_t> indices;
    bool keyed = false;  // found through the automaton rather than by its engine
    bool never = false;  // matches nothing in any text
    // Fuzzy: the characters of the trimmed pattern, the most edits a match can hold, and the
    // trimmed pattern's scorer.
    std::int64_t trimmed_chars = 0;
    std::int64_t bound = 0;
    std::optional<comparator::fuzzy::CachedSearch> compare;
    // Fuzzy raw: the longest window and the windows' growth beyond the pattern.
    std::int64_t longest = 0;
    std::int8_t margin = 0;
    // Fuzzy raw: which of 64 classes of characters the trimmed pattern holds (see `signature`).
    std::uint64_t signature = 0;
    // Fuzzy token: the tokens of a run.
    std::uint64_t window = 0;
  };

  // An automaton key: the whole trimmed pattern in the exact modes, a piece of it in the fuzzy
  // ones, `offset` characters into it.
  struct Key {
    std::uint32_t pattern;  // index into `patterns`
    std::uint32_t offset;
    std::uint32_t chars;
  };

  // Fuzzy raw: what judging an occurrence of a key reads of the key and its pattern, in one
  // line of cache: a search whose caches were emptied otherwise waits on the lines of a Key and
  // of a Pattern for each occurrence of a key it has not met yet.
  struct alignas(32) Probe {
    std::uint64_t signature;
    std::uint32_t pattern;
    std::uint32_t chars;  // of the key
    // From the occurrence, the latest start (bound - offset) and a bound on the earliest
    // (trimmed - offset - bound - longest).
    std::int32_t before;
    std::int32_t after;
    std::int32_t longest;  // characters of a window
    std::int8_t margin;
    std::uint8_t classes;  // the bound, capped at the 64 classes of a signature
  };
  static_assert(sizeof(Probe) == 32);

  Mode mode;
  Options options;
  // Raw modes with no flag set: the text is searched as given, its line feeds read as the spaces
  // they normalise to, which spares a copy of it.
  bool line_feeds_as_spaces = false;
  std::u32string separator;  // token modes: normalised
  std::string separator_utf8;
  std::vector<Pattern> patterns;
  std::optional<Automaton> automaton;
  std::vector<Key> keys;
  std::vector<Probe> probes;  // fuzzy raw: per key
  // Fuzzy modes: each key's characters, and the filter that finds them in place of the
  // automaton where it can.
  std::vector<std::u32string_view> key_chars;
  std::optional<Anchors> anchors;
  // The anchors learned from the last text that needed new ones (see tuned_anchors).
  mutable std::mutex learned_mutex;
  mutable std::shared_ptr<const Anchors::Learned> learned;  // guarded by learned_mutex
  // The windows sampled from texts too short to learn from alone (see pooled_anchors), until
  // they make a long text's sample; guarded by learned_mutex.
  mutable std::optional<Anchors::Counts> pooled;
  mutable std::size_t pooled_slices = 0;
  mutable bool pooling_done = false;
  mutable bool short_seen = false;
  // Fuzzy raw: the keys searched for one by one rather than by the scan, a pattern's together.
  std::vector<std::uint32_t> streamed;
  // The patterns that no key finds but that may match: each text is searched for them alone.
  std::vector<std::uint32_t> unkeyed;

  std::vector<Hit> find(text::TextView text, const cancel::Check& check, bool* surrogate) const;

 private:
  // Calls on_hit(key, end) for every key occurrence in `t`, `end` ascending; ahead(key) as
  // Anchors::scan does, where it is the scan.
  template <class Unit, class OnHit, class Ahead>
  void scan_pieces(text::Units<Unit> t, OnHit&& on_hit, Ahead&& ahead) const {
    if (anchors) {
      const std::shared_ptr<const Anchors::Learned> tuned =
          anchors->worth_tuning(t.size()) ? tuned_anchors(t)
          : t.size() < kLeastTunedChars   ? pooled_anchors(t)
                                          : nullptr;
      anchors->scan(t, on_hit, ahead, tuned ? &tuned->table : nullptr);
      return;
    }
    scan_automaton(t, on_hit);
  }
  // Calls on_hit(key, end) for every key occurrence the automaton finds in `t`, `end` ascending.
  template <class Unit, class OnHit>
  void scan_automaton(text::Units<Unit> t, OnHit&& on_hit) const {
    std::uint32_t state = 0;
    for (std::size_t from = 0; from < t.size(); from += kScanBlock) {
      const std::size_t size = std::min(kScanBlock, t.size() - from);
      cancel::poll(size);
      automaton->scan(t.subspan(from, size), from, state, on_hit);
    }
  }
  // The anchors learned from a text like `t`, or nothing where the statistics' serve as well.
  // Texts searched one after another are mostly alike: the anchors learned from one are kept,
  // and checked against each next one on a small sample, which costs far less than learning.
  // Measured over 1 MB of OCR French: 1,000 names take 1.49 ms instead of 1.61 (learned from
  // another MB of it, 1.55), 100 names 0.54 instead of 0.56; the first text, learned from,
  // some 0.25 ms more.
  template <class Unit>
  std::shared_ptr<const Anchors::Learned> tuned_anchors(text::Units<Unit> t) const {
    std::shared_ptr<const Anchors::Learned> held;
    {
      const std::lock_guard lock(learned_mutex);
      held = learned;
    }
    if (held) {
      const std::size_t slices = std::min(kCheckSlices, t.size() >> 13);
      const Anchors::Counts check = anchors->sample(t, slices, kCheckBits);
      if (anchors->seen(check, held->chosen) < anchors->seen(check, {})) return held;
    }
    // A quarter of the text at most, so that learning costs less than the scan.
    const std::size_t slices = std::min(kLearnSlices, t.size() / (4 * kSliceWindows));
    std::optional<Anchors::Learned> fresh = anchors->learn(anchors->sample(t, slices, kLearnBits));
    if (!fresh) return nullptr;
    held = std::make_shared<const Anchors::Learned>(std::move(*fresh));
    const std::lock_guard lock(learned_mutex);
    learned = held;
    return held;
  }
  // For a text too short to learn anchors from alone: those learned so far. Texts searched one
  // after another are mostly alike, so each such text adds a sample of its windows to theirs,
  // until they make a long text's sample to learn from. Measured over a thousand documents of
  // 5,000 characters of OCR French: 10,000 names take 41.0 ms instead of 45.7, 1,000 names
  // 14.0 instead of 14.8, once learned; each of the hundred or so texts sampled before, about
  // 2 µs more.
  template <class Unit>
  std::shared_ptr<const Anchors::Learned> pooled_anchors(text::Units<Unit> t) const {
    const std::lock_guard lock(learned_mutex);
    if (learned || pooling_done) return learned;
    // A matcher used for a single short text never pays for a sample.
    if (!pooled && !short_seen) {
      short_seen = true;
      return nullptr;
    }
    const std::size_t slices =
        std::min(t.size() / (4 * kSliceWindows), kLearnSlices - pooled_slices);
    if (slices == 0) return nullptr;
    if (!pooled) pooled = anchors->sample(t, 0, kLearnBits);
    anchors->add_sample(t, slices, *pooled);
    pooled_slices += slices;
    if (pooled_slices < kLearnSlices) return nullptr;
    std::optional<Anchors::Learned> fresh = anchors->learn(*pooled);
    pooled.reset();
    pooling_done = true;
    if (fresh) learned = std::make_shared<const Anchors::Learned>(std::move(*fresh));
    return learned;
  }
  // Calls on_hit(key, end) for every occurrence of the streamed keys `ids`, all of one pattern,
  // `end` ascending, until that pattern has overflowed.
  template <class Unit, class OnHit>
  void follow_pieces(text::Units<Unit> t, std::span<const std::uint32_t> ids,
                     const Overflowed& overflowed, OnHit&& on_hit) const;
  // follow_pieces for at most kMaxProbedNeedles keys, in one vectorised pass.
  template <class Unit, class OnHit>
  void follow_probed_pieces(text::Units<Unit> t, std::span<const std::uint32_t> ids,
                            const Overflowed& overflowed, OnHit&& on_hit) const;
  template <class Unit>
  void search_keyed(text::Units<Unit> t, MatchesMet& found, Overflowed& overflowed) const;
  template <class Unit>
  void search_near_pieces(text::Units<Unit> t, MatchesMet& found, Overflowed& overflowed) const;
  template <class Unit>
  void search_token_pieces(text::Units<Unit> t, MatchesMet& found, Overflowed& overflowed) const;
  Extraction search_one(const Pattern& p, text::TextView t, const cancel::Check& check) const;
};

std::unique_ptr<Matcher> Matcher::compile(std::vector<std::string> patterns, Options options,
                                          Error& error) {
  auto impl = std::make_unique<Impl>();
  const bool tokens = options.tokenizer_pattern.has_value();
  if (options.metric) {
    if (!comparator::fuzzy::parse_metric(*options.metric)) {
      error = {Error::Code::unknown_metric};
      return nullptr;
    }
    impl->mode = tokens ? Mode::fuzzy_token : Mode::fuzzy_raw;
  } else {
    impl->mode = tokens ? Mode::exact_token : Mode::exact_raw;
  }
  const bool ci = options.case_insensitive;
  const bool sci = options.special_char_insensitive;
  if (tokens) {
    impl->separator = preprocessor::normalise_pattern(*options.tokenizer_pattern, ci, sci);
    impl->separator_utf8 = to_utf8(impl->separator);
  }

  std::map<std::u32string, std::size_t, std::less<>> seen;
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    std::u32string normalised = preprocessor::normalise_pattern(std::move(patterns[i]), ci, sci);
    if (tokens && iterator::tokens::pattern_token_count(normalised, impl->separator) == 0) {
      error = {Error::Code::empty_token, i};
      return nullptr;
    }
    const auto [it, fresh] = seen.try_emplace(std::move(normalised), impl->patterns.size());
    if (fresh) {
      Impl::Pattern& p = impl->patterns.emplace_back();
      p.chars = it->first;
      p.utf8 = to_utf8(p.chars);
    }
    impl->patterns[it->second].indices.push_back(i);
  }

  // The automaton finds, in the raw engine, the patterns without white space at their edges
  // (every matching window is then an occurrence of the pattern itself); in the token engine,
  // with a one-character separator, those whose separators all lie between two of their tokens,
  // as the engine's occurrence search does for one token.
  std::vector<std::u32string_view> keys;
  const auto add_key = [&](std::size_t u, std::u32string_view key, std::size_t offset) {
    keys.push_back(key);
    impl->keys.push_back({static_cast<std::uint32_t>(u), static_cast<std::uint32_t>(offset),
                          static_cast<std::uint32_t>(key.size())});
  };
  const bool one_char_separator = impl->separator.size() == 1;
  const bool fuzzy = impl->mode == Mode::fuzzy_raw || impl->mode == Mode::fuzzy_token;
  std::vector<std::u32string_view> targets;
  for (const Impl::Pattern& p : impl->patterns) targets.push_back(text::trim(p.chars));
  const Rarity rarity(targets);
  // Fuzzy: each pattern to cut into pieces, and how many.
  std::vector<std::pair<std::size_t, std::size_t>> cuts;
  // Fuzzy raw: the pieces searched for one by one (pattern, offset, characters).
  std::vector<std::tuple<std::size_t, std::size_t, std::size_t>> streamed;
  // The raw searches and the exact token one read line feeds as spaces in the text as it is,
  // as its engine does, unless the separator holds white space (but for the separator " ", which
  // cuts at line feeds too); the fuzzy token search copies it.
  const bool lent_separator = impl->separator == U" " || !text::has_white_space(impl->separator);
  impl->line_feeds_as_spaces = !ci && !sci &&
                               (impl->mode == Mode::fuzzy_raw || impl->mode == Mode::exact_raw ||
                                (impl->mode == Mode::exact_token && lent_separator));
  for (std::size_t u = 0; u < impl->patterns.size(); ++u) {
    Impl::Pattern& p = impl->patterns[u];
    const std::u32string_view target = text::trim(p.chars);
    if (target.empty()) continue;
    if (fuzzy) {
      // A candidate within `bound` edits of the pattern keeps one of bound + 1 disjoint pieces
      // of it intact, as an edit breaks at most one: candidates are judged only near an
      // occurrence, as the raw engine does for one pattern. Raw windows are at most `longest`
      // characters long; runs of tokens are as long as they come, so only lengths that may
      // match bound them.
      const std::uint64_t pattern_chars = p.chars.size();
      const bool raw = impl->mode == Mode::fuzzy_raw;
      const std::int8_t margin = raw ? fuzzy_raw_extract::detail::margin(
                                           pattern_chars, options.threshold, options.threshold_kind)
                                     : 0;
      std::optional<comparator::fuzzy::CachedSearch> compare =
          comparator::fuzzy::CachedSearch::create(target, *options.metric, options.threshold_kind,
                                                  options.threshold);
      if (!compare || compare->never_matches() || margin < 0) {
        p.never = compare.has_value();
        continue;
      }
      // An empty separator cuts no run the pattern's way: the engine alone handles it.
      if (!raw && impl->separator.empty()) continue;
      const std::optional<std::size_t> longest =
          raw ? std::optional<std::size_t>(pattern_chars + static_cast<std::uint64_t>(margin))
              : longest_match(*compare, target.size());
      const std::optional<std::size_t> bound =
          longest ? compare->levenshtein_bound(*longest) : std::nullopt;
      const std::size_t n = target.size();
      if (!bound || *bound >= n || n / (*bound + 1) < kMinPieceChars) continue;
      if (raw && pattern_chars > kLongestProbedPattern) continue;
      const std::size_t count = *bound + 1;
      cuts.emplace_back(u, count);  // cut once every pattern's length is known
      p.keyed = true;
      p.trimmed_chars = static_cast<std::int64_t>(n);
      p.bound = static_cast<std::int64_t>(*bound);
      p.longest = static_cast<std::int64_t>(*longest);
      p.margin = margin;
      p.window = raw ? 0 : iterator::tokens::pattern_token_count(p.chars, impl->separator);
      p.signature = signature(target);
      p.compare = std::move(compare);
      continue;
    }
    if (impl->mode == Mode::exact_raw) {
      p.keyed = target.size() == p.chars.size();
    } else if (impl->mode == Mode::exact_token && one_char_separator) {
      // A run matches when the trimmed pattern lies in it with only white space around: its
      // separators must then be the run's, one between each two of its tokens.
      const char32_t sep = impl->separator[0];
      const auto separators =
          static_cast<std::uint64_t>(std::count(target.begin(), target.end(), sep));
      const std::u32string twice(2, sep);
      p.keyed = separators + 1 == iterator::tokens::pattern_token_count(p.chars, impl->separator) &&
                target.front() != sep && target.back() != sep &&
                target.find(twice) == std::u32string_view::npos;
    }
    if (p.keyed) add_key(u, target, 0);
  }
  if (fuzzy) {
    std::vector<std::pair<std::size_t, std::size_t>> chars_and_pieces;
    for (const auto& [u, count] : cuts) {
      chars_and_pieces.emplace_back(text::trim(impl->patterns[u].chars).size(), count);
    }
    // The token engine scores every run; its cost was not weighed against the scan's.
    const std::size_t least =
        impl->mode == Mode::fuzzy_raw ? least_piece_chars(chars_and_pieces) : kMostAnchorChars;
    for (const auto& [u, count] : cuts) {
      Impl::Pattern& p = impl->patterns[u];
      const std::u32string_view target = text::trim(p.chars);
      const auto [bounds, expected] = piece_bounds(target, count, rarity, least);
      if (expected > kMostExpected) {
        p.keyed = false;
        continue;
      }
      if (least > kMostAnchorChars && target.size() < count * least) {
        // Too short for the scan's step: its pieces are searched for one by one, without the
        // white space at their edges (an intact piece keeps its middle intact). Where line feeds
        // read as spaces a piece must hold none, as the search reads the text as it is.
        std::vector<std::pair<std::size_t, std::size_t>> trimmed;  // offset, characters
        for (std::size_t i = 0; i < count; ++i) {
          const std::u32string_view piece = target.substr(bounds[i], bounds[i + 1] - bounds[i]);
          const std::u32string_view middle = text::trim(piece);
          if (middle.empty() || (impl->line_feeds_as_spaces && text::has_white_space(middle))) {
            break;
          }
          trimmed.emplace_back(bounds[i] + static_cast<std::size_t>(middle.data() - piece.data()),
                               middle.size());
        }
        if (trimmed.size() < count) {
          p.keyed = false;
        } else {
          for (const auto& [offset, chars] : trimmed) streamed.emplace_back(u, offset, chars);
        }
        continue;
      }
      for (std::size_t i = 0; i < count; ++i) {
        add_key(u, target.substr(bounds[i], bounds[i + 1] - bounds[i]), bounds[i]);
      }
    }
  }
  // Exact patterns are found by the anchors' scan as pieces are, where they are long enough.
  impl->anchors = Anchors::create(keys, rarity, impl->line_feeds_as_spaces);
  if (!keys.empty() && !impl->anchors) impl->automaton.emplace(keys, impl->line_feeds_as_spaces);
  // Pieces searched for one by one are keys past those that the scan finds.
  for (const auto& [u, offset, chars] : streamed) {
    impl->streamed.push_back(static_cast<std::uint32_t>(keys.size()));
    add_key(u, text::trim(impl->patterns[u].chars).substr(offset, chars), offset);
  }
  if (fuzzy) impl->key_chars = std::move(keys);
  if (impl->mode == Mode::fuzzy_raw) {
    for (const Impl::Key& k : impl->keys) {
      const Impl::Pattern& p = impl->patterns[k.pattern];
      const auto offset = static_cast<std::int64_t>(k.offset);
      impl->probes.push_back(
          {p.signature, k.pattern, k.chars, static_cast<std::int32_t>(p.bound - offset),
           static_cast<std::int32_t>(p.trimmed_chars - offset - p.bound - p.longest),
           static_cast<std::int32_t>(p.longest), p.margin,
           static_cast<std::uint8_t>(std::min<std::int64_t>(p.bound, 64))});
    }
  }
  for (std::size_t u = 0; u < impl->patterns.size(); ++u) {
    const Impl::Pattern& p = impl->patterns[u];
    if (!p.keyed && !p.never) impl->unkeyed.push_back(static_cast<std::uint32_t>(u));
  }
  impl->options = std::move(options);
  return std::unique_ptr<Matcher>(new Matcher(std::move(impl)));
}

Matcher::Matcher(std::unique_ptr<const Impl> impl) : impl_(std::move(impl)) {}
Matcher::~Matcher() = default;

Extraction Matcher::Impl::search_one(const Pattern& p, text::TextView t,
                                     const cancel::Check& check) const {
  // The text and pattern are normalised already; with no flag set the engines take them as
  // they are.
  switch (mode) {
    case Mode::exact_raw:
      return exact_raw_extract::extract(t, p.utf8, false, false, options.strategies, check);
    case Mode::exact_token:
      return exact_token_extract::extract(t, p.utf8, separator_utf8, false, false, check);
    case Mode::fuzzy_raw: {
      // The engine's own search on the text normalised already: through its entry point it
      // may pass over the whole text once more for line feeds, which cost more than the search.
      // Where line feeds read as spaces, it reads them so itself for a pattern with white space
      // within; elsewhere a line feed scores as the space it normalises to, and trims alike. The
      // solver reads them so already.
      conflict_solver::StreamingSolver sink(t, options.strategies);
      fuzzy_raw_extract::detail::find_candidates(
          t, p.chars, *options.metric, options.threshold, options.threshold_kind,
          fuzzy_raw_extract::detail::Scan::near_pieces,
          [&](const Match& candidate) { sink.add(candidate); },
          fuzzy_raw_extract::detail::Scoring::rows,
          line_feeds_as_spaces && text::has_white_space(text::trim(p.chars)), nullptr,
          [&](std::uint64_t start) { return sink.settled_through(start); });
      return sink.finish();
    }
    case Mode::fuzzy_token:
      return fuzzy_token_extract::extract(t, p.utf8, separator_utf8, false, false, *options.metric,
                                          options.threshold, options.threshold_kind,
                                          options.strategies, check);
  }
  return std::vector<Match>{};
}

template <class Unit>
void Matcher::Impl::search_keyed(text::Units<Unit> t, MatchesMet& found,
                                 Overflowed& overflowed) const {
  const auto scan = [&](const auto& on_hit) { scan_pieces(t, on_hit, [](std::uint32_t) {}); };

  if (mode == Mode::exact_raw) {
    // Each pattern's occurrences reach its solver by ascending start, as the engine hands them.
    Met<std::optional<conflict_solver::StreamingSolver>> solvers(patterns.size());
    const text::TextView view(t);
    scan([&](std::uint32_t k, std::size_t end) {
      const std::uint32_t u = keys[k].pattern;
      auto& solver = solvers[u];
      if (!solver) solver.emplace(view, options.strategies);
      solver->add(Match{end - patterns[u].chars.size(), end, 0.0});
    });
    for (auto& [u, solver] : solvers) found[u] = solver->finish();
    return;
  }

  if (mode == Mode::fuzzy_raw) {
    search_near_pieces(t, found, overflowed);
    return;
  }
  if (mode == Mode::fuzzy_token) {
    search_token_pieces(t, found, overflowed);
    return;
  }

  // Exact tokens, as the engine's occurrence search: an occurrence matches when only white
  // space lies between it and the separators (or the text's ends) around it. A separator the
  // text's width cannot hold cuts nowhere.
  const bool cuts = text::fits<Unit>(separator[0]);
  const auto sep = static_cast<Unit>(separator[0]);
  // In a lent text the separator " " cuts at line feeds too.
  const bool feeds = line_feeds_as_spaces && separator[0] == U' ';
  const auto separator_at = [&](std::size_t at) {
    return cuts && (t[at] == sep || (feeds && t[at] == Unit{'\n'}));
  };
  scan([&](std::uint32_t k, std::size_t end) {
    const std::uint32_t u = keys[k].pattern;
    std::size_t begin = end - text::trim(patterns[u].chars).size();
    while (begin > 0 && !separator_at(begin - 1)) {
      if (!text::is_white_space(t[begin - 1])) return;
      --begin;
    }
    std::size_t stop = end;
    while (stop < t.size() && !separator_at(stop)) {
      if (!text::is_white_space(t[stop])) return;
      ++stop;
    }
    found[u].push_back({begin, stop, 0.0});
  });
}

namespace {

// A window as the scorer takes it: its own units, never widened.
template <class Unit>
comparator::fuzzy::Verdict score(const comparator::fuzzy::CachedSearch& compare,
                                 text::Units<Unit> window) {
  if constexpr (sizeof(Unit) == 4) {
    return compare(std::u32string_view(window.data(), window.size()));
  } else {
    return compare(window);
  }
}

// score(window) with its line feeds read as spaces: one that holds some is scored from a copy in
// `spaced`.
template <class Unit>
comparator::fuzzy::Verdict score_spaced(const comparator::fuzzy::CachedSearch& compare,
                                        text::Units<Unit> window, std::u32string& spaced) {
  if (std::find(window.begin(), window.end(), Unit{'\n'}) == window.end()) {
    return score(compare, window);
  }
  spaced.assign(window.begin(), window.end());
  std::replace(spaced.begin(), spaced.end(), U'\n', U' ');
  return compare(std::u32string_view(spaced));
}

// The piece occurrences of each pattern, counted against the budget that leaves a pattern with
// too many to its own engine.
class HitBudget {
 public:
  HitBudget(std::size_t patterns, std::size_t text_chars, std::size_t chars_per_hit,
            Overflowed& overflowed)
      : left_(patterns),
        budget_(static_cast<std::uint32_t>(std::min<std::size_t>(
            std::max(kLeastHitBudget, text_chars / chars_per_hit), Pooled::kFree - 1))),
        overflowed_(overflowed) {}
  HitBudget(const HitBudget&) = delete;
  HitBudget& operator=(const HitBudget&) = delete;
  ~HitBudget() {
    for (const std::uint32_t u : taken_) left_[u] = Pooled::kFree;
  }

  // False once pattern u has had too many: its windows are then left to its engine.
  bool take(std::size_t u) {
    if (overflowed_[u]) return false;
    std::uint32_t& left = left_[u];
    if (left == Pooled::kFree) {
      taken_.push_back(static_cast<std::uint32_t>(u));
      left = budget_;
    }
    if (left > 0) {
      --left;
      return true;
    }
    overflowed_.add(u);
    return false;
  }

 private:
  // Per pattern, the hits it may still take; kFree before its first.
  Pooled left_;
  std::uint32_t budget_;
  std::vector<std::uint32_t> taken_;
  Overflowed& overflowed_;
};

}  // namespace

template <class Unit, class OnHit>
void Matcher::Impl::follow_pieces(text::Units<Unit> t, std::span<const std::uint32_t> ids,
                                  const Overflowed& overflowed, OnHit&& on_hit) const {
  struct Stream {
    std::vector<Unit> needle;
    std::optional<text::Occurrences<Unit>> occurrences;  // reads `needle`
    std::size_t end;                                     // of the next occurrence, or npos
  };
  const std::uint32_t u = keys[ids.front()].pattern;
  if (text::has_avx2() && ids.size() <= text::kMaxProbedNeedles) {
    follow_probed_pieces(t, ids, overflowed, on_hit);
    return;
  }
  // Reserved: a stream must not move once its search reads its needle.
  std::vector<Stream> streams;
  streams.reserve(ids.size());
  const auto advance = [](Stream& s) {
    const std::size_t at = s.occurrences->next();
    s.end = at == text::npos ? text::npos : at + s.needle.size();
  };
  for (const std::uint32_t id : ids) {
    // A piece the text's width cannot hold occurs nowhere in it.
    std::optional<std::vector<Unit>> needle = text::narrow<Unit>(key_chars[id]);
    Stream& s = streams.emplace_back(
        Stream{needle ? std::move(*needle) : std::vector<Unit>{}, std::nullopt, text::npos});
    if (s.needle.empty()) continue;
    s.occurrences.emplace(t, text::Units<Unit>(s.needle));
    advance(s);
  }
  while (!overflowed[u]) {
    std::size_t next = 0;
    for (std::size_t i = 1; i < streams.size(); ++i) {
      if (streams[i].end < streams[next].end) next = i;
    }
    if (streams[next].end == text::npos) return;
    on_hit(ids[next], streams[next].end);
    advance(streams[next]);
  }
}

template <class Unit, class OnHit>
void Matcher::Impl::follow_probed_pieces(text::Units<Unit> t, std::span<const std::uint32_t> ids,
                                         const Overflowed& overflowed, OnHit&& on_hit) const {
  // One pass for all the pattern's pieces, where a search for each reads the text once per piece
  // (1 MB of OCR French with 100 names, one of them too short for the scan's step: 0.56 ms instead
  // of 0.60). Occurrences are found a block of starts at a time, and handed on by ascending end
  // once no later start can end before them.
  struct Found {
    std::size_t end;
    std::uint32_t key;
  };
  const std::uint32_t u = keys[ids.front()].pattern;
  // The pieces the text's width can hold: the others occur nowhere in it.
  std::vector<std::vector<Unit>> needles;
  std::vector<text::ProbedNeedle<Unit>> probed;
  std::vector<std::uint32_t> probed_ids;
  std::size_t shortest = std::numeric_limits<std::size_t>::max();
  for (const std::uint32_t id : ids) {
    std::optional<std::vector<Unit>> needle = text::narrow<Unit>(key_chars[id]);
    if (!needle) continue;
    const text::Units<Unit> units(*needle);
    const text::Probes at = text::probes(units);
    probed.push_back({units.size(), at, units[at.first], units[at.second]});
    probed_ids.push_back(id);
    shortest = std::min(shortest, units.size());
    needles.push_back(std::move(*needle));
  }
  if (probed.empty()) return;
  std::vector<Found> found;
  const std::function<void(std::size_t, std::size_t)> candidate = [&](std::size_t i,
                                                                      std::size_t at) {
    const std::vector<Unit>& needle = needles[i];
    if (std::equal(needle.begin(), needle.end(), t.begin() + static_cast<std::ptrdiff_t>(at))) {
      found.push_back({at + needle.size(), probed_ids[i]});
    }
  };
  for (std::size_t from = 0; from < t.size() && !overflowed[u]; from += kScanBlock) {
    const std::size_t to = std::min(t.size(), from + kScanBlock);
    cancel::poll(to - from);
    text::scan_probes<Unit>(t, from, to, probed, false, candidate);
    std::sort(found.begin(), found.end(),
              [](const Found& a, const Found& b) { return a.end < b.end; });
    // Starts from `to` on end at to + shortest or later.
    std::size_t done = 0;
    for (; done < found.size() && found[done].end <= to + shortest && !overflowed[u]; ++done) {
      on_hit(found[done].key, found[done].end);
    }
    found.erase(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(done));
  }
  for (std::size_t i = 0; i < found.size() && !overflowed[u]; ++i) {
    on_hit(found[i].key, found[i].end);
  }
}

template <class Unit>
void Matcher::Impl::search_near_pieces(text::Units<Unit> t, MatchesMet& found,
                                       Overflowed& overflowed) const {
  // The starts each piece occurrence leaves possible, as the engine's own piece search finds
  // them: the rest of the pattern but for `bound` edits must fit in the window around it. They
  // are judged in batches as the scan goes, so that memory stays bounded however many patterns
  // share a frequent piece.
  const auto text_chars = static_cast<std::int64_t>(t.size());
  struct Range {
    std::int64_t lo;
    std::int64_t hi;
  };
  struct Pending {
    std::vector<Range> ranges;
    std::optional<conflict_solver::StreamingSolver> sink;
  };
  Met<Pending> pending(patterns.size());
  HitBudget budget(patterns.size(), t.size(), kRawCharsPerHit, overflowed);
  const text::TextView whole(t);
  cancel::Meter meter;
  std::u32string spaced;
  const auto may_match_window = [&](const Pattern& p, std::uint64_t from, std::uint64_t to) {
    std::uint64_t s = 0;
    for (std::uint64_t i = from; i < to; ++i) s |= class_bit(t[i]);
    return may_match(s, p.signature, p.bound);
  };
  // Judges the starts of pattern u's ranges that end before `limit`, joined into runs.
  const auto judge = [&](std::size_t u, std::int64_t limit) {
    const Pattern& p = patterns[u];
    std::vector<Range>& runs = pending[u].ranges;
    std::sort(runs.begin(), runs.end(), [](const Range& a, const Range& b) { return a.lo < b.lo; });
    std::size_t kept = 0;
    for (std::size_t i = 1; i < runs.size(); ++i) {
      if (runs[i].lo <= runs[kept].hi + 1) {
        runs[kept].hi = std::max(runs[kept].hi, runs[i].hi);
      } else {
        runs[++kept] = runs[i];
      }
    }
    runs.resize(runs.empty() ? 0 : kept + 1);
    std::size_t ready = 0;
    while (ready < runs.size() && runs[ready].hi < limit) ++ready;
    if (ready == 0) return;
    // Made for the first match: most patterns judged have none.
    auto& sink = pending[u].sink;
    const auto add = [&](const Match& m) {
      if (!sink) sink.emplace(whole, options.strategies);
      sink->add(m);
    };
    const auto pattern_chars = static_cast<std::uint64_t>(p.chars.size());
    for (std::size_t r = 0; r < ready; ++r) {
      const Range run = runs[r];
      // A start with one window length is one comparison, and a short run of starts with
      // several costs less one window at a time than the engine's set-up of rows, which pays
      // over a longer run.
      if (p.margin == 0 || run.hi - run.lo < kLongestDirectRun) {
        for (auto start = static_cast<std::uint64_t>(run.lo);
             start <= static_cast<std::uint64_t>(run.hi); ++start) {
          meter.poll(static_cast<std::uint64_t>(p.margin) + 1);
          fuzzy_raw_extract::detail::for_each_window_at(
              start, t.size(), pattern_chars, p.margin, [&](std::uint64_t from, std::uint64_t to) {
                if (!may_match_window(p, from, to)) return;
                const text::Units<Unit> window = text::trim(t.subspan(from, to - from));
                const comparator::fuzzy::Verdict verdict =
                    line_feeds_as_spaces ? score_spaced(*p.compare, window, spaced)
                                         : score(*p.compare, window);
                if (verdict.matched) add({from, to, verdict.score});
              });
        }
        continue;
      }
      // The engine on the stretch the run's windows cover, from one character before it: at a
      // stretch's first start it forms no window shorter than the pattern, as the text's first
      // start does. The windows at the run's starts are then those of the whole text.
      const std::int64_t begin = run.lo > 0 ? run.lo - 1 : 0;
      const std::int64_t end = std::min(run.hi + p.longest, text_chars);
      const auto offset = static_cast<std::uint64_t>(begin);
      const text::TextView stretch(t.subspan(offset, static_cast<std::size_t>(end - begin)));
      fuzzy_raw_extract::detail::find_candidates(
          stretch, p.chars, *options.metric, options.threshold, options.threshold_kind,
          fuzzy_raw_extract::detail::Scan::near_pieces,
          [&](const Match& c) {
            const std::uint64_t start = c.start + offset;
            if (start < static_cast<std::uint64_t>(run.lo) ||
                start > static_cast<std::uint64_t>(run.hi)) {
              return;
            }
            add({start, c.end + offset, c.score});
          },
          fuzzy_raw_extract::detail::Scoring::rows, line_feeds_as_spaces);
    }
    runs.erase(runs.begin(), runs.begin() + static_cast<std::ptrdiff_t>(ready));
  };

  // False when no window at `start` can match: such starts are dropped while the scan has their
  // characters in cache, rather than read again from memory when judged. A start's windows
  // come by growing end, each signature the last's and more.
  const auto may_match_at = [&](const Probe& p, std::int64_t start) {
    bool may = false;
    std::uint64_t s = 0;
    auto read = static_cast<std::uint64_t>(start);
    fuzzy_raw_extract::detail::for_each_window_at(static_cast<std::uint64_t>(start), t.size(),
                                                  static_cast<std::uint64_t>(p.longest - p.margin),
                                                  p.margin, [&](std::uint64_t, std::uint64_t to) {
                                                    for (; read < to; ++read)
                                                      s |= class_bit(t[read]);
                                                    may =
                                                        may || may_match(s, p.signature, p.classes);
                                                  });
    return may;
  };
  const auto on_hit = [&](std::uint32_t k, std::size_t end) {
    const Probe& p = probes[k];
    const auto q = static_cast<std::int64_t>(end - p.chars);
    std::int64_t lo =
        std::max<std::int64_t>({0, static_cast<std::int64_t>(end) - p.longest, q + p.after});
    std::int64_t hi = std::min({q, q + p.before, text_chars - 1});
    if (lo > hi || !budget.take(p.pattern)) return;
    // First at once for every start: each window's classes are among those of all the windows'
    // characters, white space's included, which spares telling it apart.
    std::uint64_t all = 0;
    const auto reach = std::min(hi + p.longest, text_chars);
    for (std::int64_t i = lo; i < reach; ++i) {
      all |= std::uint64_t{1} << (t[static_cast<std::size_t>(i)] & 63);
    }
    if (more_than(p.signature & ~all, p.classes)) return;
    while (lo <= hi && !may_match_at(p, lo)) ++lo;
    while (hi >= lo && !may_match_at(p, hi)) --hi;
    if (lo > hi) return;
    std::vector<Range>& ranges = pending[p.pattern].ranges;
    ranges.push_back({lo, hi});
    // Every later occurrence ends no earlier, so its range starts at end - longest or after:
    // runs ending before that can neither grow nor be preceded.
    if (ranges.size() >= kPendingRanges) {
      judge(p.pattern, static_cast<std::int64_t>(end) - p.longest - 1);
    }
  };
  const auto ahead = [&](std::uint32_t k) { __builtin_prefetch(&probes[k]); };
  if (anchors || automaton) scan_pieces(t, on_hit, ahead);
  for (std::size_t i = 0; i < streamed.size();) {
    std::size_t j = i + 1;
    while (j < streamed.size() && keys[streamed[j]].pattern == keys[streamed[i]].pattern) ++j;
    follow_pieces(t, std::span(streamed).subspan(i, j - i), overflowed, on_hit);
    i = j;
  }
  for (auto& [u, left] : pending) {
    if (overflowed[u]) continue;
    if (!left.ranges.empty()) judge(u, std::numeric_limits<std::int64_t>::max());
    if (left.sink) found[u] = left.sink->finish();
  }
}

template <class Unit>
void Matcher::Impl::search_token_pieces(text::Units<Unit> t, MatchesMet& found,
                                        Overflowed& overflowed) const {
  // A matching run's trimmed text holds an occurrence of one of its pattern's pieces, begun
  // `offset` characters in but for `bound` edits: the runs to judge are those whose first
  // token's trimmed start lies there and whose last token reaches past the occurrence. They are
  // judged by ascending first token, as the engine hands them on, in batches as the scan goes.
  const iterator::tokens::Separator<Unit> sep(separator);
  const std::vector<iterator::tokens::TokenSpan> tokens = iterator::tokens::tokenize(t, sep);
  const std::size_t count = tokens.size();
  struct Pending {
    std::vector<std::uint64_t> firsts;  // first tokens of runs to judge
    std::optional<conflict_solver::StreamingSolver> sink;
  };
  Met<Pending> pending(patterns.size());
  HitBudget budget(patterns.size(), t.size(), kTokenCharsPerHit, overflowed);
  const text::TextView whole(t);
  cancel::Meter meter;
  // Judges the pending runs of pattern u that begin before token `limit`.
  const auto judge = [&](std::size_t u, std::uint64_t limit) {
    const Pattern& p = patterns[u];
    std::vector<std::uint64_t>& firsts = pending[u].firsts;
    std::sort(firsts.begin(), firsts.end());
    firsts.erase(std::unique(firsts.begin(), firsts.end()), firsts.end());
    const auto ready = static_cast<std::size_t>(
        std::lower_bound(firsts.begin(), firsts.end(), limit) - firsts.begin());
    if (ready == 0) return;
    auto& sink = pending[u].sink;
    if (!sink) sink.emplace(whole, options.strategies);
    for (std::size_t r = 0; r < ready; ++r) {
      meter.poll();
      const std::uint64_t start = tokens[firsts[r]].start;
      const std::uint64_t end = tokens[firsts[r] + p.window - 1].end;
      const text::Units<Unit> trimmed = text::trim(t.subspan(start, end - start));
      if (!p.compare->may_match_length(trimmed.size())) continue;
      meter.poll(p.compare->work(trimmed.size()));
      const comparator::fuzzy::Verdict verdict = score(*p.compare, trimmed);
      if (verdict.matched) sink->add({start, end, verdict.score});
    }
    firsts.erase(firsts.begin(), firsts.begin() + static_cast<std::ptrdiff_t>(ready));
  };

  const auto on_hit = [&](std::uint32_t k, std::size_t end) {
    const Key& key = keys[k];
    const Pattern& p = patterns[key.pattern];
    if (p.window > count) return;
    const std::uint64_t q = end - key.chars;
    // The runs that hold the occurrence: first token beginning at q or before, last token
    // ending at `end` or after.
    const auto by_start =
        std::partition_point(tokens.begin(), tokens.end(),
                             [&](const iterator::tokens::TokenSpan& s) { return s.start <= q; });
    const auto by_end =
        std::partition_point(tokens.begin(), tokens.end(),
                             [&](const iterator::tokens::TokenSpan& s) { return s.end < end; });
    if (by_start == tokens.begin() || by_end == tokens.end()) return;
    const auto last_token = static_cast<std::uint64_t>(by_end - tokens.begin());
    const std::uint64_t lowest = last_token + 1 >= p.window ? last_token + 1 - p.window : 0;
    const std::uint64_t highest =
        std::min(static_cast<std::uint64_t>(by_start - tokens.begin()) - 1, count - p.window);
    if (lowest > highest || !budget.take(key.pattern)) return;
    const auto earliest = static_cast<std::int64_t>(q) - static_cast<std::int64_t>(key.offset);
    std::vector<std::uint64_t>& firsts = pending[key.pattern].firsts;
    // Earlier first tokens trim to earlier starts.
    for (std::uint64_t first = highest + 1; first-- > lowest;) {
      std::uint64_t trimmed = tokens[first].start;
      while (trimmed <= q && text::is_white_space(t[trimmed])) ++trimmed;
      const auto at = static_cast<std::int64_t>(trimmed);
      if (trimmed > q || at > earliest + p.bound) continue;
      if (at < earliest - p.bound) break;
      firsts.push_back(first);
    }
    // Later occurrences end no earlier, so their runs begin at lowest or after.
    if (firsts.size() >= kPendingRanges) judge(key.pattern, lowest);
  };
  scan_pieces(t, on_hit, [](std::uint32_t) {});
  for (auto& [u, left] : pending) {
    if (overflowed[u] || (left.firsts.empty() && !left.sink)) continue;
    judge(u, std::numeric_limits<std::uint64_t>::max());
    found[u] = left.sink->finish();
  }
}

std::vector<Hit> Matcher::Impl::find(text::TextView text, const cancel::Check& check,
                                     bool* surrogate) const {
  const preprocessor::Normalised normalised =
      preprocessor::normalise(text, options.case_insensitive, options.special_char_insensitive,
                              !line_feeds_as_spaces, surrogate);
  if (surrogate != nullptr && *surrogate) return {};
  const text::TextView t = normalised.text();
  MatchesMet found(patterns.size());
  Overflowed overflowed(patterns.size());
  if (automaton || anchors || !streamed.empty()) {
    t.visit([&](auto units) { search_keyed(units, found, overflowed); });
  }
  const auto search_alone = [&](std::size_t u) {
    Extraction extraction = search_one(patterns[u], t, check);
    if (extraction.was_cancelled()) throw cancel::Cancelled();
    // compile rules out the engines' failures: an unknown metric, an empty token.
    if (!extraction.ok()) throw std::logic_error(extraction.message());
    if (!extraction.matches().empty()) found[u] = std::move(extraction.matches());
  };
  for (const std::uint32_t u : unkeyed) search_alone(u);
  // Keyed patterns, which all may match.
  for (const std::uint32_t u : overflowed.list()) search_alone(u);

  // Only the patterns found are read: the records of the others may have left the caches.
  std::size_t total = 0;
  for (const auto& [u, matches] : found) total += matches.size() * patterns[u].indices.size();
  std::vector<Hit> hits;
  hits.reserve(total);
  for (const auto& [u, matches] : found) {
    for (const std::size_t index : patterns[u].indices) {
      for (const Match& m : matches) hits.push_back({index, m.start, m.end, m.score});
    }
  }
  std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) {
    if (a.start != b.start) return a.start < b.start;
    if (a.pattern != b.pattern) return a.pattern < b.pattern;
    return a.end < b.end;
  });
  return hits;
}

std::optional<std::vector<Hit>> Matcher::find(text::TextView text, const cancel::Check& check,
                                              bool* surrogate) const {
  const cancel::Scope scope(check);
  try {
    return impl_->find(text, check, surrogate);
  } catch (const cancel::Cancelled&) {
    return std::nullopt;
  }
}

std::optional<std::vector<std::vector<Hit>>> Matcher::find_all(
    std::span<const text::TextView> texts, unsigned threads, const cancel::Check& check) const {
  std::vector<std::vector<Hit>> results(texts.size());
  const bool whole = find_each(texts, threads, check, [&](std::size_t i, std::vector<Hit>* hits) {
    results[i] = std::move(*hits);
    return true;
  });
  if (!whole) return std::nullopt;
  return results;
}

bool Matcher::find_each(std::span<const text::TextView> texts, unsigned threads,
                        const cancel::Check& check, const Deliver& deliver, bool vet) const {
  using Clock = std::chrono::steady_clock;
  if (texts.empty()) return true;
  if (threads == 0) threads = workers::processors();
  threads = static_cast<unsigned>(std::clamp<std::size_t>(
      threads, 1, std::min<std::size_t>(texts.size(), workers::most_threads())));

  std::atomic<std::size_t> next{0};
  // Workers cannot ask the caller's check (signal handlers run on the calling thread only): the
  // calling thread asks it and raises this flag, which the workers' own checks read.
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::condition_variable changed;
  unsigned running = 0;  // helpers in `work`; guarded by mutex
  // Null hits: a text that holds a surrogate.
  using Found = std::vector<std::pair<std::size_t, std::optional<std::vector<Hit>>>>;
  Found found;                 // guarded by mutex
  std::exception_ptr failure;  // guarded by mutex
  // Searches texts[i] under `c` into `hits`, left empty for a text that holds a surrogate; false
  // once `c` stopped it.
  const auto search = [&](std::size_t i, const cancel::Check& c,
                          std::optional<std::vector<Hit>>& hits) {
    bool lone = false;
    hits = find(texts[i], c, vet ? &lone : nullptr);
    if (lone) hits.reset();
    return lone || hits.has_value();
  };
  const cancel::Check stopped{[&] { return stop.load(std::memory_order_relaxed); }, check.interval,
                              check.first};
  const auto work = [&] {
    {
      // Counted before any text is taken: once the caller has taken the last text and sees
      // none running, every text is delivered.
      const std::lock_guard lock(mutex);
      ++running;
    }
    try {
      for (std::size_t i; !stop.load(std::memory_order_relaxed) && (i = next++) < texts.size();) {
        std::optional<std::vector<Hit>> hits;
        if (!search(i, stopped, hits)) break;
        const std::lock_guard lock(mutex);
        found.emplace_back(i, std::move(hits));
        changed.notify_one();
      }
    } catch (...) {
      const std::lock_guard lock(mutex);
      if (!failure) failure = std::current_exception();
      stop = true;
    }
    const std::lock_guard lock(mutex);
    --running;
    changed.notify_one();
  };
  // Hands over what the workers have found; false once `deliver` refused.
  const auto deliver_found = [&] {
    Found batch;
    {
      const std::lock_guard lock(mutex);
      batch.swap(found);
    }
    for (auto& [i, hits] : batch) {
      if (!deliver(i, hits ? &*hits : nullptr)) return false;
    }
    return true;
  };

  // Declared after all the workers use: its helpers are done before any of it goes away.
  const workers::Crew crew(threads - 1, work);
  // Destroyed before the crew, on every way out: no helper starts another text while it waits.
  const struct StopFirst {
    std::atomic<bool>& stop;
    ~StopFirst() { stop = true; }
  } stop_first{stop};

  // The calling thread searches too, and delivers between its texts, so that the caller's work
  // on the hits takes no thread away from the search.
  const cancel::Check mine{
      [&] { return stop.load(std::memory_order_relaxed) || (check.stop && check.stop()); },
      check.interval, check.first};
  for (std::size_t i; !stop.load(std::memory_order_relaxed) && (i = next++) < texts.size();) {
    std::optional<std::vector<Hit>> hits;
    if (!search(i, mine, hits) || !deliver(i, hits ? &*hits : nullptr) || !deliver_found()) {
      stop = true;
    }
  }
  Clock::time_point asked = Clock::now();
  std::unique_lock lock(mutex);
  for (;;) {
    if (stop) found.clear();
    if (running == 0 && found.empty()) break;
    if (found.empty()) changed.wait_for(lock, check.interval);
    lock.unlock();
    if (!stop && !deliver_found()) stop = true;
    if (!stop && check.stop && Clock::now() - asked >= check.interval) {
      if (check.stop()) stop = true;
      asked = Clock::now();
    }
    lock.lock();
  }
  if (failure) std::rethrow_exception(failure);
  return !stop;
}

}  // namespace veskal::matcher
