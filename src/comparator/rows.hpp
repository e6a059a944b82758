#pragma once

// Scores of every prefix of one stretch of text against one pattern. The windows of one start
// trim to prefixes of one stretch, so a row of the dynamic-programming matrix, extended a
// character at a time, scores them all where rapidfuzz would take one call per window.

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "cancel.hpp"
#include "comparator/fuzzy.hpp"
#include "text.hpp"

namespace veskal::comparator::fuzzy {

namespace detail {

// Makes `v` a value of its own: an operand of a chain of dependent steps, computed apart from it
// rather than folded in by the compiler, which would lengthen every step's wait.
inline void compute_apart(std::uint64_t& v) {
#if defined(__GNUC__)
  asm("" : "+r"(v));
#endif
}

// How many of the first `count` bytes of `sequence` differ from the bytes of `places` at the
// bits of `taken`, in order. Both arrays have 64 bytes; only where text::has_avx512_vbmi2().
std::size_t differ_in_order(std::uint64_t taken, const std::uint8_t* places,
                            const std::uint8_t* sequence, std::size_t count);

// The one-bound pass of PrefixScorer's Jaro matching (patterns of one word), under the bounds
// first_bound to first_bound + 7 at once, lane k under first_bound + k, over window characters
// [from, to) by their slots and the pattern places of each slot. `state` holds each lane's open
// places, then its reach, as the pass left them; after character i, opens[8 (i + 1) + k] holds
// lane k's open places, bit k of matched[i] whether it matched, and slot_bytes[i] the slot.
inline constexpr std::size_t kJaroLanes = 8;
void extend_jaro_lanes(const std::size_t* slots, const std::uint64_t* masks, std::size_t from,
                       std::size_t to, std::size_t first_bound, std::uint64_t* state,
                       std::uint64_t* opens, std::uint8_t* matched, std::uint8_t* slot_bytes);

// How many of the first `n` window characters lane `lane` matched, and their slots in order to
// `sequence` unless null (which takes 64 bytes beyond them). Reads matched and slot_bytes in
// blocks of 64. Both only where text::has_avx512_vbmi2().
std::size_t jaro_lane_matches(const std::uint8_t* matched, const std::uint8_t* slot_bytes,
                              std::size_t n, unsigned lane, std::uint8_t* sequence);

// Jaro's matching characters, as many transpositions as half the places where the two
// sequences of them differ, and each sequence a subsequence of its string: the places where they
// agree form a common subsequence, so a window whose longest common subsequence with the
// pattern is L counts at least (c - L) / 2 transpositions among c matches. Per window length,
// prefix length (Jaro-Winkler) and cap on c, the least L with which some c up to the cap may
// match; from the lengths alone, so built once.
struct JaroTables {
  // The least longest common subsequence that may match, by prefix, window length (0 to
  // `longest`) and cap on the matches (empty when too large); kNever where none may.
  std::vector<std::uint32_t> lcs_needed;
  // Whether a stretch may hold a match, by prefix and shared characters (empty with
  // lcs_needed).
  std::vector<unsigned char> best_ok;
  // The most transpositions with which each count of matches may match, indexed as
  // lcs_needed (and built with it).
  std::vector<std::uint32_t> most_transpositions;
  // Per LCS and shared count, the longest window that may match without a prefix, by
  // lcs_needed (empty with it, or when too large).
  std::vector<std::uint32_t> longest;

  static constexpr std::uint32_t kNever = std::numeric_limits<std::uint32_t>::max();
};

// The tables of a Jaro or Jaro-Winkler search of a pattern of `m` characters whose windows hold
// up to `longest`; shared, and read-only.
std::shared_ptr<const JaroTables> jaro_tables(const CachedSearch& compare, std::size_t m,
                                              std::size_t longest);

}  // namespace detail

// Per character, the positions it takes in the pattern, one 64-bit mask per block of 64.
class PatternMasks {
 public:
  explicit PatternMasks(std::u32string_view pattern)
      : words_((pattern.size() + 63) / 64), low_(kLow * words_, 0), absent_(words_, 0) {
    for (std::size_t i = 0; i < pattern.size(); ++i) {
      const char32_t c = pattern[i];
      std::uint64_t* masks;
      if (c < kLow) {
        masks = &low_[c * words_];
      } else {
        const auto it = std::lower_bound(others_.begin(), others_.end(), c);
        const auto k = static_cast<std::size_t>(it - others_.begin());
        if (it == others_.end() || *it != c) {
          others_.insert(it, c);
          other_masks_.insert(other_masks_.begin() + static_cast<std::ptrdiff_t>(k * words_),
                              words_, 0);
        }
        masks = &other_masks_[k * words_];
      }
      masks[i / 64] |= std::uint64_t{1} << (i % 64);
    }
  }

  std::size_t words() const { return words_; }

  // The masks of `c` (all zero when the pattern lacks it), one per block.
  const std::uint64_t* operator()(char32_t c) const {
    if (c < kLow) return &low_[c * words_];
    const auto it = std::lower_bound(others_.begin(), others_.end(), c);
    if (it == others_.end() || *it != c) return absent_.data();
    return &other_masks_[static_cast<std::size_t>(it - others_.begin()) * words_];
  }

 private:
  // Latin-1 by table, the rare others by search.
  static constexpr char32_t kLow = 256;

  std::size_t words_;
  std::vector<std::uint64_t> low_;
  std::vector<char32_t> others_;
  std::vector<std::uint64_t> other_masks_;
  std::vector<std::uint64_t> absent_;
};

// The bit-parallel rows below keep the last column of the matrix between the pattern (down) and
// a text growing one character at a time (across): `push` takes the masks of the next text
// character and returns the value for the text so far.

// Levenshtein distance (Myers, Hyyrö's block form) and, with `kTranspositions`, optimal string
// alignment distance (Hyyrö 2003: adjacent transpositions too, each substring edited once), in
// the block form rapidfuzz uses.
template <bool kTranspositions>
class EditRow {
 public:
  // `search`: the text may begin anywhere, so the top row stays 0 (the least distance to any
  // suffix of the text so far).
  explicit EditRow(std::size_t pattern_chars, bool search = false)
      : search_(search),
        m_(pattern_chars),
        words_((pattern_chars + 63) / 64),
        last_(std::uint64_t{1} << ((pattern_chars - 1) % 64)),
        vp_(words_),
        vn_(words_),
        d0_(kTranspositions ? words_ : 0),
        pm_old_(kTranspositions ? words_ : 0) {
    reset();
  }

  void reset() {
    std::fill(vp_.begin(), vp_.end(), ~std::uint64_t{0});
    std::fill(vn_.begin(), vn_.end(), 0);
    std::fill(d0_.begin(), d0_.end(), 0);
    std::fill(pm_old_.begin(), pm_old_.end(), 0);
    distance_ = m_;
  }

  // push() for each of `chars`, masks from `masks`, the values to `out`.
  template <class Unit>
  void push_all(text::Units<Unit> chars, const PatternMasks& masks, std::size_t* out) {
    if (words_ != 1) {
      for (const Unit c : chars) *out++ = push(masks(static_cast<char32_t>(c)));
      return;
    }
    // One block: the state stays in registers.
    std::uint64_t vp = vp_[0];
    std::uint64_t vn = vn_[0];
    std::uint64_t d0_old = kTranspositions ? d0_[0] : 0;
    std::uint64_t pm_old = kTranspositions ? pm_old_[0] : 0;
    const std::uint64_t carry = search_ ? 0 : 1;
    for (const Unit c : chars) {
      const std::uint64_t x = *masks(static_cast<char32_t>(c));
      const std::uint64_t tr = kTranspositions ? (((~d0_old) & x) << 1) & pm_old : 0;
      const std::uint64_t d0 = (((x & vp) + vp) ^ vp) | x | vn | tr;
      std::uint64_t hp = vn | ~(d0 | vp);
      std::uint64_t hn = d0 & vp;
      distance_ += (hp & last_) != 0;
      distance_ -= (hn & last_) != 0;
      hp = (hp << 1) | carry;
      hn <<= 1;
      vp = hn | ~(d0 | hp);
      vn = hp & d0;
      d0_old = d0;
      pm_old = x;
      *out++ = distance_;
    }
    vp_[0] = vp;
    vn_[0] = vn;
    if constexpr (kTranspositions) {
      d0_[0] = d0_old;
      pm_old_[0] = pm_old;
    }
  }

  std::size_t push(const std::uint64_t* pm) {
    // The top row grows by one per text character; a block hands its top step to the next.
    std::uint64_t hp_carry = search_ ? 0 : 1;
    std::uint64_t hn_carry = 0;
    // The previous block's D0 and masks, from this step and the last, carry transpositions over
    // block borders.
    std::uint64_t d0_below_old = 0;
    std::uint64_t pm_below = 0;
    for (std::size_t w = 0; w < words_; ++w) {
      const std::uint64_t vp = vp_[w];
      const std::uint64_t vn = vn_[w];
      const std::uint64_t x = pm[w];
      std::uint64_t tr = 0;
      if constexpr (kTranspositions) {
        const std::uint64_t d0_old = d0_[w];
        tr = ((((~d0_old) & x) << 1) | (((~d0_below_old) & pm_below) >> 63)) & pm_old_[w];
        d0_below_old = d0_old;
        pm_below = x;
      }
      const std::uint64_t xc = x | hn_carry;
      const std::uint64_t d0 = (((xc & vp) + vp) ^ vp) | xc | vn | tr;
      std::uint64_t hp = vn | ~(d0 | vp);
      std::uint64_t hn = d0 & vp;
      if (w + 1 == words_) {
        distance_ += (hp & last_) != 0;
        distance_ -= (hn & last_) != 0;
      }
      const std::uint64_t hp_in = hp_carry;
      const std::uint64_t hn_in = hn_carry;
      hp_carry = hp >> 63;
      hn_carry = hn >> 63;
      hp = (hp << 1) | hp_in;
      hn = (hn << 1) | hn_in;
      vp_[w] = hn | ~(d0 | hp);
      vn_[w] = hp & d0;
      if constexpr (kTranspositions) {
        d0_[w] = d0;
        pm_old_[w] = x;
      }
    }
    return distance_;
  }

 private:
  bool search_;
  std::size_t m_;
  std::size_t words_;
  std::uint64_t last_;
  std::vector<std::uint64_t> vp_;
  std::vector<std::uint64_t> vn_;
  // Transpositions only: the last step's D0 and masks.
  std::vector<std::uint64_t> d0_;
  std::vector<std::uint64_t> pm_old_;
  std::size_t distance_ = 0;
};

using LevenshteinRow = EditRow<false>;
using OsaRow = EditRow<true>;

// Length of the longest common subsequence (Allison-Dix, Hyyrö's block form).
class LcsRow {
 public:
  explicit LcsRow(std::size_t pattern_chars) : words_((pattern_chars + 63) / 64), s_(words_) {
    reset();
  }

  void reset() {
    std::fill(s_.begin(), s_.end(), ~std::uint64_t{0});
    lcs_ = 0;
  }

  // push() for each of `chars`, masks from `masks`, the values to `out`.
  template <class Unit>
  void push_all(text::Units<Unit> chars, const PatternMasks& masks, std::size_t* out) {
    if (words_ != 1) {
      for (const Unit c : chars) *out++ = push(masks(static_cast<char32_t>(c)));
      return;
    }
    // One block: the state stays in a register.
    std::uint64_t s = s_[0];
    std::size_t lcs = lcs_;
    for (const Unit c : chars) {
      const std::uint64_t u = s & *masks(static_cast<char32_t>(c));
      const std::uint64_t sum = s + u;
      lcs += sum < s;
      s = sum | (s - u);
      *out++ = lcs;
    }
    s_[0] = s;
    lcs_ = lcs;
  }

  // push_all() for a pattern of one word, each character given by its slot and the masks by
  // slot: a table lookup fewer than by character.
  void push_slots(const std::size_t* slots, std::size_t count, const std::uint64_t* slot_masks,
                  std::size_t* out) {
    std::uint64_t s = s_[0];
    std::size_t lcs = lcs_;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t u = s & slot_masks[slots[i]];
      const std::uint64_t sum = s + u;
      lcs += sum < s;
      s = sum | (s - u);
      out[i] = lcs;
    }
    s_[0] = s;
    lcs_ = lcs;
  }

  // push_slots(), counting in the same pass how many characters each prefix shares with the
  // pattern as multisets, to `shared_out` from `shared`: a character's k-th occurrence takes
  // its k-th place in the pattern, if any, and `taken` keeps the places taken.
  void push_slots_sharing(const std::size_t* slots, std::size_t count,
                          const std::uint64_t* slot_masks, std::size_t* out, std::uint64_t& taken,
                          std::size_t shared, std::size_t* shared_out) {
    std::uint64_t s = s_[0];
    std::size_t lcs = lcs_;
    // The places not taken, so that the count's chain is four operations long.
    std::uint64_t open = ~taken;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t mask = slot_masks[slots[i]];
      const std::uint64_t u = s & mask;
      const std::uint64_t sum = s + u;
      lcs += sum < s;
      s = sum | (s - u);
      out[i] = lcs;
      const std::uint64_t free = mask & open;
      open ^= free & (~free + 1);
      shared += free != 0;
      shared_out[i] = shared;
    }
    s_[0] = s;
    lcs_ = lcs;
    taken = ~open;
  }

  // The LCS is the count of zero bits, which grows by one exactly when the sum carries out of
  // the pattern's top bit; the bits beyond the pattern stay set (they match nothing, and S - u
  // never borrows), so that carry leaves the top block.
  std::size_t push(const std::uint64_t* pm) {
    std::uint64_t carry = 0;
    for (std::size_t w = 0; w < words_; ++w) {
      const std::uint64_t s = s_[w];
      const std::uint64_t u = s & pm[w];
      const std::uint64_t sum = s + u;
      const std::uint64_t x = sum + carry;
      carry = (sum < s) | (x < sum);
      s_[w] = x | (s - u);
    }
    lcs_ += carry;
    return lcs_;
  }

 private:
  std::size_t words_;
  std::vector<std::uint64_t> s_;
  std::size_t lcs_ = 0;
};

// The verdicts `compare` gives every prefix of one stretch of text, from rows shared by all the
// prefixes. Prepared once for a pattern; `restart` moves to another stretch, `verdict` judges a
// prefix. Unit is the text's code unit; the pattern is a sequence of code points.
template <class Unit>
class PrefixScorer {
 public:
  // `pattern` is the one `compare` was created with, non-empty; both must outlive the scorer.
  // Prefixes up to `longest` characters are judged fastest. Windows run from as many characters
  // below the untrimmed pattern's length to as many above, `longest` at most: Jaro's look at a
  // start leaves out prefixes shorter than any of its windows.
  PrefixScorer(const CachedSearch& compare, std::u32string_view pattern, std::size_t longest)
      : compare_(compare),
        metric_(compare.metric()),
        pattern_(pattern),
        masks_(pattern),
        levenshtein_(pattern.size()),
        osa_(pattern.size()),
        lcs_(pattern.size()),
        counts_(pattern.size() + 1, 0),
        needed_(pattern.size() + 1, 0),
        slide_counts_(pattern.size() + 1, 0) {
    // Jaro: the multiset of the pattern, by the first position of each character.
    for (char32_t c = 0; c < kLowSlots; ++c) low_slots_[c] = first_position(c);
    pattern_slots_.resize(pattern.size());
    for (std::size_t i = 0; i < pattern.size(); ++i) {
      pattern_slots_[i] = slot(pattern[i]);
      ++needed_[pattern_slots_[i]];
    }
    // Most prefixes are ruled out by one comparison with these.
    length_ok_.resize(longest + 1);
    allowed_.resize(longest + 1);
    for (std::size_t n = 0; n <= longest; ++n) {
      length_ok_[n] = compare.may_match_length(n);
      allowed_[n] = compare.allowed_distance(n);
      unequal_may_match_ |= n != 0 && n != pattern.size() && length_ok_[n] != 0;
    }
    if (metric_ == Metric::jaro || metric_ == Metric::jaro_winkler) {
      // The fewest shared characters a prefix of each length needs even with the longest common
      // prefix (the bound grows with both).
      shared_needed_.resize(longest + 1);
      for (std::size_t n = 1; n <= longest; ++n) {
        std::size_t lo = 0;
        std::size_t hi = std::min(n, pattern.size()) + 1;
        while (lo < hi) {
          const std::size_t mid = (lo + hi) / 2;
          if (compare.may_match_jaro(n, mid, 4)) {
            hi = mid;
          } else {
            lo = mid + 1;
          }
        }
        // A length ruled out needs more than any window holds: one test for both.
        shared_needed_[n] = length_ok_[n] != 0 ? lo : npos;
      }
      while (jaro_shortest_ <= longest && shared_needed_[jaro_shortest_] == npos) ++jaro_shortest_;
      jaro_by_window_ = pattern.size() <= 64;
      if (jaro_by_window_) {
        // Slot m stands for the characters the pattern lacks.
        jaro_slot_masks_.assign(pattern.size() + 1, 0);
        for (std::size_t j = 0; j < pattern.size(); ++j) {
          jaro_slot_masks_[pattern_slots_[j]] |= std::uint64_t{1} << j;
          jaro_slot_bytes_[j] = static_cast<std::uint8_t>(pattern_slots_[j]);
        }
        jaro_compress_ = text::has_avx512_vbmi2();
      }
      jaro_tables_ = detail::jaro_tables(compare, pattern.size(), longest);
      jt_ = jaro_tables_.get();
      // Per count of characters shared, the longest window that may share enough.
      jaro_last_window_.assign(longest + 1, 0);
      for (std::size_t c = 0; c <= longest; ++c) {
        for (std::size_t n = 1; n <= longest; ++n) {
          if (shared_needed_[n] <= std::min(n, c)) jaro_last_window_[c] = n;
        }
      }
    }
  }

  // Moves to `stretch`; `same_start`: it begins where the last one did, with the same
  // characters, only longer, so what was computed holds.
  void restart(text::Units<Unit> stretch, bool same_start = false) {
    stretch_ = stretch;
    prefix_ = npos;
    jaro_bound_ = npos;
    jaro_pass_.bound = npos;
    jaro_lanes_.first = npos;
    jaro_matching_ = npos;
    if (metric_ == Metric::jaro || metric_ == Metric::jaro_winkler) {
      if (!same_start) clear_counts();
      point_slots();
    }
    if (same_start) return;
    dl_rows_ = 0;
    filled_ = 0;
    // The rows keep their room from start to start: only the counts say what holds.
    if (values_.empty()) values_.resize(1);
    values_[0] = initial();
    if (metric_ == Metric::jaro || metric_ == Metric::jaro_winkler) {
      if (common_.empty()) common_.resize(1);
    }
    switch (metric_) {
      case Metric::levenshtein:
        levenshtein_.reset();
        break;
      case Metric::osa:
        osa_.reset();
        break;
      case Metric::damerau_levenshtein:
      case Metric::indel:
      case Metric::lcs_seq:
      case Metric::jaro:
      case Metric::jaro_winkler:
        lcs_.reset();
        break;
      default:
        break;
    }
  }

  // Sets ends[j] (j = 0..chunk.size()) to the number of ends i <= j at which some window
  // chunk[s, i) of at most `longest` characters may match, as far as a search of the whole chunk
  // tells: the least Levenshtein (or OSA) distance of the pattern to a window ending at i
  // bounds the metric's distance from below. Every end counts where the metric offers no such
  // bound, and where a window wholly different from the pattern may match.
  void count_viable_ends(text::Units<Unit> chunk, std::vector<std::uint32_t>& ends) {
    // A new chunk: what slid over the old one may lie at the same addresses.
    fresh_chunk_ = true;
    ends.resize(chunk.size() + 1);
    ends[0] = 0;
    // The metric's distance is at least the search distance divided by this.
    std::size_t divisor = 1;
    bool osa = false;
    switch (metric_) {
      case Metric::levenshtein:
      case Metric::indel:
      case Metric::hamming:
      case Metric::prefix:
      case Metric::postfix:
        break;
      case Metric::osa:
        osa = true;
        break;
      // Both are at least max(n, m) - LCS, and Levenshtein at most twice that.
      case Metric::lcs_seq:
      case Metric::damerau_levenshtein:
        divisor = 2;
        break;
      case Metric::jaro:
      case Metric::jaro_winkler:
        for (std::size_t j = 1; j <= chunk.size(); ++j) ends[j] = static_cast<std::uint32_t>(j);
        // Every start recounts the characters of its stretch: look each one up once.
        clear_counts();
        chunk_ = chunk;
        chunk_slots_.resize(chunk.size());
        for (std::size_t j = 0; j < chunk.size(); ++j) {
          chunk_slots_[j] = slot(static_cast<char32_t>(chunk[j]));
        }
        return;
    }
    const std::size_t longest = allowed_.size() - 1;
    // Allowed distances never shrink as candidates grow; a wholly different candidate scores
    // its length (or 1), matching only when the threshold admits anything.
    const std::size_t allowed = allowed_[longest];
    if (allowed >= std::max(longest, pattern_.size())) {
      for (std::size_t j = 1; j <= chunk.size(); ++j) ends[j] = static_cast<std::uint32_t>(j);
      return;
    }
    LevenshteinRow levenshtein(pattern_.size(), true);
    OsaRow osa_row(pattern_.size(), true);
    // Postfix: a window must end in the last `kept` characters of the pattern, since it loses
    // the rest.
    const std::size_t m = pattern_.size();
    const std::size_t kept = metric_ == Metric::postfix ? m - std::min(m, allowed) : 0;
    std::uint32_t count = 0;
    // The search distances in blocks, each in one tight loop.
    std::size_t least[1024];
    for (std::size_t j = 0; j < chunk.size(); ++j) {
      const std::size_t slot = j % std::size(least);
      if (slot == 0) {
        const text::Units<Unit> block =
            chunk.subspan(j, std::min(std::size(least), chunk.size() - j));
        // A chunk may be the whole text.
        cancel::poll(block.size());
        if (osa) {
          osa_row.push_all(block, masks_, least);
        } else {
          levenshtein.push_all(block, masks_, least);
        }
      }
      bool viable = (least[slot] + divisor - 1) / divisor <= allowed;
      if (viable && kept > 0) {
        viable = j + 1 >= kept;
        for (std::size_t k = 0; viable && k < kept; ++k) {
          viable = static_cast<char32_t>(chunk[j - k]) == pattern_[m - 1 - k];
        }
      }
      count += viable;
      ends[j + 1] = count;
    }
  }

  // The most that the distance of a prefix of 1 to `longest` characters falls short of the
  // distance allowed (negative when none can match), from the rows in one pass; the largest
  // value wherever the metric has no row. Dropping a character from the front or adding one at
  // the end moves any of these distances (or the bound max(n, m) - LCS that stands for
  // Damerau-Levenshtein) by one at most, so a stretch starting d characters later has a slack
  // of at most this plus 2d. Jaro leaves out the prefixes that end in white space, which no
  // window trims to.
  std::ptrdiff_t slack(std::size_t longest) {
    constexpr std::ptrdiff_t kNoRow = std::numeric_limits<std::ptrdiff_t>::max();
    longest = std::min({longest, stretch_.size(), allowed_.size() - 1});
    const std::size_t m = pattern_.size();
    // The metrics without a row rule out this stretch alone (-1) or nothing.
    switch (metric_) {
      case Metric::levenshtein:
      case Metric::osa:
      case Metric::indel:
      case Metric::lcs_seq:
      case Metric::damerau_levenshtein:
        break;
      case Metric::hamming:
        // Only the window of the pattern's length can match, unless any can.
        if (unequal_may_match_) return kNoRow;
        if (longest < m || !mismatches_within(allowed_[m])) return -1;
        return kNoRow;
      case Metric::prefix:
        // Every window misses at least the pattern's characters beyond the common prefix.
        return m - common_prefix() > allowed_[allowed_.size() - 1] ? -1 : kNoRow;
      case Metric::jaro:
      case Metric::jaro_winkler: {
        // Jaro counts no more matches than the longest window shares with the pattern, and
        // scores best where the window holds just those.
        // The whole stretch: every window holds a part of it.
        const std::size_t shared = sliding_common(std::exchange(fresh_chunk_, false));
        const std::size_t head = std::min<std::size_t>(common_prefix(), 4);
        if (!jt_->best_ok.empty()
                ? jt_->best_ok[head * (m + 1) + std::min(shared, m)] == 0
                : !compare_.may_match_jaro(std::max<std::size_t>(std::min(shared, m), 1), shared,
                                           head)) {
          return -1;
        }
        if (jt_->lcs_needed.empty() || longest == 0) return kNoRow;
        // Window by window, from the LCS row and the shared counts: most stretches have none
        // that may match. No window shares more than the stretch, which rules out the longer
        // ones unseen.
        const std::size_t last = std::min(longest, jaro_last_window_[std::min(shared, longest)]);
        if (last == 0) return jaro_hopeless();
        common(last);
        const std::size_t rows = length_ok_.size();
        // The row only once some window shares enough characters.
        std::size_t n = std::max(jaro_shortest_, shortest_window(stretch_.data(), stretch_.size()));
        while (n <= last && common_[n] < shared_needed_[n]) ++n;
        if (n > last) return jaro_hopeless();
        value(last);
        bool judged = false;
        for (; n <= last; ++n) {
          // The table holds the test by shared characters too; no prefix shares more than its
          // length.
          const std::size_t prefix = metric_ == Metric::jaro ? 0 : std::min(head, n);
          if (values_[n] >= jt_->lcs_needed[(prefix * rows + n) * (m + 1) + common_[n]]) {
            if (!jaro_by_window_) return kNoRow;
            // Most stretches that pass the bounds still have no window that matches, which
            // their exact scores, from one pass per bound, tell for less than a verdict per
            // window. Windows end on a character that is not white space.
            if (text::is_white_space(static_cast<char32_t>(stretch_[n - 1]))) continue;
            judged = true;
            if (jaro(n).matched) return kNoRow;
          }
        }
        return judged ? -1 : jaro_hopeless();
      }
      default:
        return kNoRow;
    }
    value(longest);
    std::ptrdiff_t best = std::numeric_limits<std::ptrdiff_t>::min();
    for (std::size_t n = 1; n <= longest; ++n) {
      const std::size_t v = values_[n];
      std::size_t distance = v;
      if (metric_ == Metric::indel) {
        distance = n + m - 2 * v;
      } else if (metric_ == Metric::lcs_seq || metric_ == Metric::damerau_levenshtein) {
        distance = std::max(n, m) - v;
      }
      best = std::max(
          best, static_cast<std::ptrdiff_t>(allowed_[n]) - static_cast<std::ptrdiff_t>(distance));
    }
    return best;
  }

  // Whether the `size` characters from `begin` lie within the chunk. Pointers into other arrays
  // are ordered by std::less_equal alone.
  bool in_chunk(const Unit* begin, std::size_t size) const {
    const std::less_equal<const Unit*> before;
    return !chunk_.empty() && before(chunk_.data(), begin) &&
           before(begin + size, chunk_.data() + chunk_.size());
  }

  // The shortest prefix a window trims to of the stretch of `size` characters from `begin`
  // (within the chunk), or 0 when unknown. Windows are at most as many characters shorter than
  // the untrimmed pattern as the longest is longer, so none is shorter than 2m - longest; the
  // start may lie in the white space before the stretch.
  std::size_t shortest_window(const Unit* begin, std::size_t size) const {
    const std::size_t longest = length_ok_.size() - 1;
    const std::size_t m = pattern_.size();
    if (2 * m <= longest || !in_chunk(begin, size)) return 0;
    std::size_t end = 2 * m - longest;
    for (const Unit* c = begin;
         c > chunk_.data() && end > 0 && text::is_white_space(static_cast<char32_t>(c[-1])); --c) {
      --end;
    }
    end = std::min(end, size);
    while (end > 0 && text::is_white_space(static_cast<char32_t>(begin[end - 1]))) --end;
    return end;
  }

  // The slack of a Jaro stretch none of whose windows may match: -(2k + 1) when the stretches
  // of the next k characters have none either. A window of a start d characters later lies
  // within the first d + n characters here, which share at least as many characters with the
  // pattern, and as long a common subsequence: the bounds by shared characters and common
  // subsequence, fed those counts, rule it out when they rule out the stretch of that start.
  // Neighbouring starts of text far from the pattern mostly fall together.
  std::ptrdiff_t jaro_hopeless() {
    // A short stretch is judged anew for less than the look ahead costs (measured).
    constexpr std::size_t kShortest = 32;
    if (stretch_.size() < kShortest) return -1;
    const Unit* begin = stretch_.data();
    // The later starts' characters are known only within the chunk.
    if (!in_chunk(begin, stretch_.size())) return -1;
    // The look stops at the first start that may match and extends the rows only as far as it
    // goes, so looking further costs only where the starts are hopeless: 128 rather than 32
    // takes 14 % off a text far from a 64-character pattern (Jaro-Winkler, threshold 0.1), and
    // more gains nothing (measured).
    constexpr std::size_t kAhead = 128;
    const std::size_t longest = length_ok_.size() - 1;
    const std::size_t room = static_cast<std::size_t>(chunk_.data() + chunk_.size() - begin);
    const std::size_t wide = std::min(stretch_.size() + kAhead, room);
    // The rows over the grown stretch, as far as each later start needs: its prefixes are this
    // stretch's, so the rows still hold for it.
    const text::Units<Unit> stretch = stretch_;
    stretch_ = text::Units<Unit>(begin, wide);
    const std::size_t m = pattern_.size();
    const std::size_t rows = length_ok_.size();
    std::size_t hopeless = 0;
    // Without a prefix, per end of windows, the first later start from which a window ending
    // there may match, by the longest it may be (jt_->longest).
    std::size_t firsts = 1;
    if (jaro_first_start_.size() < wide + 1) jaro_first_start_.resize(wide + 1);
    // The windows of a start d characters later reach min(d + longest, room) at most.
    for (std::size_t d = 1; d < wide && std::min(d + longest, room) <= wide; ++d) {
      // White space begins no stretch.
      if (!text::is_white_space(static_cast<char32_t>(begin[d]))) {
        const std::size_t reach = std::min(longest, room - d);
        const std::size_t shortest = std::max(jaro_shortest_, shortest_window(begin + d, reach));
        common(d + reach);
        value(d + reach);
        std::size_t head = 0;
        if (metric_ == Metric::jaro_winkler) {
          while (head < 4 && head < m && d + head < wide &&
                 static_cast<char32_t>(begin[d + head]) == pattern_[head]) {
            ++head;
          }
        }
        if (head == 0 && !jt_->longest.empty()) {
          std::int32_t* first = jaro_first_start_.data();
          for (; firsts <= d + reach; ++firsts) {
            first[firsts] = static_cast<std::int32_t>(firsts) -
                            static_cast<std::int32_t>(
                                jt_->longest[values_[firsts] * (m + 1) + common_[firsts]]);
          }
          // The least of them in reach, in one pass that vectorises.
          std::int32_t least = std::numeric_limits<std::int32_t>::max();
          for (std::size_t e = d + shortest; e <= d + reach; ++e) {
            least = std::min(least, first[e]);
          }
          if (least <= static_cast<std::int32_t>(d)) break;
          hopeless = d;
          continue;
        }
        // The table holds the test by shared characters too (kNever where too few), and the
        // same entry for every count from n on: one lookup a length.
        bool ruled_out = true;
        std::size_t n = shortest;
        for (; n <= reach && n < head && ruled_out; ++n) {
          ruled_out = values_[d + n] < jt_->lcs_needed[(n * rows + n) * (m + 1) + common_[d + n]];
        }
        // From n = head on, the prefix stays `head`: one table row after another.
        if (ruled_out && n <= reach) {
          const std::uint32_t* needed = jt_->lcs_needed.data() + (head * rows + n) * (m + 1);
          while ((ruled_out = values_[d + n] < needed[common_[d + n]]) && n < reach) {
            ++n;
            needed += m + 1;
          }
        }
        if (!ruled_out) break;
      }
      hopeless = d;
    }
    stretch_ = stretch;
    return -2 * static_cast<std::ptrdiff_t>(hopeless) - 1;
  }

  // The verdict `compare` gives the first `n` characters of the stretch.
  Verdict verdict(std::size_t n) {
    const text::Units<Unit> window = stretch_.first(n);
    if (n == 0) return judge_units(window);
    const bool tabled = n < length_ok_.size();
    if (!(tabled ? length_ok_[n] != 0 : compare_.may_match_length(n))) return {false, kNoScore};
    const std::size_t allowed = tabled ? allowed_[n] : compare_.allowed_distance(n);
    const std::size_t m = pattern_.size();
    // The exact verdict is left to the few distances within reach.
    const auto by_distance = [&](std::size_t distance) -> Verdict {
      if (distance > allowed) return {false, kNoScore};
      return compare_.distance_verdict(distance, n);
    };
    switch (metric_) {
      case Metric::levenshtein:
      case Metric::osa:
        return by_distance(value(n));
      case Metric::indel:
        return by_distance(n + m - 2 * value(n));
      case Metric::lcs_seq:
        return by_distance(std::max(n, m) - value(n));
      case Metric::damerau_levenshtein:
        // max(n, m) - LCS never exceeds it: each edit loses the LCS one character at most.
        if (std::max(n, m) - value(n) > allowed) return {false, kNoScore};
        return by_distance(damerau_levenshtein(n));
      case Metric::hamming:
        if (n != m) return compare_.distance_verdict(0, n);
        return compare_.distance_verdict(mismatches(window), n);
      case Metric::prefix:
        return by_distance(std::max(n, m) - std::min(n, common_prefix()));
      case Metric::postfix:
        return by_distance(std::max(n, m) - common_suffix(window));
      case Metric::jaro:
      case Metric::jaro_winkler: {
        const std::size_t shared = common(n);
        const std::size_t prefix = std::min<std::size_t>({common_prefix(), n, 4});
        if (tabled && shared < shared_needed_[n]) return {false, kNoScore};
        // The table holds the test without transpositions too.
        if (tabled && !jt_->lcs_needed.empty()
                ? !jaro_lcs_may_match(n, std::min({shared, n, m}), prefix)
                : !compare_.may_match_jaro(n, shared, prefix)) {
          return {false, kNoScore};
        }
        return jaro(n);
      }
    }
    return judge_units(window);
  }

 private:
  static constexpr std::size_t npos = static_cast<std::size_t>(-1);
  static constexpr double kNoScore = std::numeric_limits<double>::quiet_NaN();

  // `compare` on a window of the stretch: UCS-4 as the code points it holds, narrower units
  // as they are.
  Verdict judge_units(text::Units<Unit> window) const {
    if constexpr (sizeof(Unit) == 4) {
      return compare_(std::u32string_view(window.data(), window.size()));
    } else {
      return compare_(window);
    }
  }

  std::size_t initial() const {
    return metric_ == Metric::levenshtein || metric_ == Metric::osa ? pattern_.size() : 0;
  }

  // The row's value for the first `n` characters (at most the stretch).
  std::size_t value(std::size_t n) {
    if (filled_ < n) {
      if (values_.size() <= n) values_.resize(n + 1);
      const text::Units<Unit> more = stretch_.subspan(filled_, n - filled_);
      std::size_t* out = &values_[filled_ + 1];
      switch (metric_) {
        case Metric::levenshtein:
          levenshtein_.push_all(more, masks_, out);
          break;
        case Metric::osa:
          osa_.push_all(more, masks_, out);
          break;
        default:
          if (jaro_by_window_) {
            jaro_rows(n);
          } else {
            lcs_.push_all(more, masks_, out);
          }
          break;
      }
      filled_ = n;
    }
    return values_[n];
  }

  // Whether the first m characters of the stretch differ from the pattern's in `allowed`
  // places at most.
  bool mismatches_within(std::size_t allowed) const {
    std::size_t differ = 0;
    for (std::size_t i = 0; i < pattern_.size(); ++i) {
      differ += static_cast<char32_t>(stretch_[i]) != pattern_[i];
      if (differ > allowed) return false;
    }
    return true;
  }

  std::size_t mismatches(text::Units<Unit> window) const {
    std::size_t differ = 0;
    for (std::size_t i = 0; i < window.size(); ++i) {
      differ += static_cast<char32_t>(window[i]) != pattern_[i];
    }
    return differ;
  }

  // The common prefix of the stretch and the pattern.
  std::size_t common_prefix() {
    if (prefix_ == npos) {
      const std::size_t limit = std::min(stretch_.size(), pattern_.size());
      prefix_ = 0;
      while (prefix_ < limit && static_cast<char32_t>(stretch_[prefix_]) == pattern_[prefix_]) {
        ++prefix_;
      }
    }
    return prefix_;
  }

  std::size_t common_suffix(text::Units<Unit> window) const {
    const std::size_t limit = std::min(window.size(), pattern_.size());
    std::size_t k = 0;
    while (k < limit && static_cast<char32_t>(window[window.size() - 1 - k]) ==
                            pattern_[pattern_.size() - 1 - k]) {
      ++k;
    }
    return k;
  }

  // Where the first occurrence of `c` lies in the pattern, or the pattern's length.
  std::size_t first_position(char32_t c) const {
    const std::uint64_t* pm = masks_(c);
    for (std::size_t w = 0; w < masks_.words(); ++w) {
      if (pm[w] != 0) return w * 64 + static_cast<std::size_t>(std::countr_zero(pm[w]));
    }
    return pattern_.size();
  }

  // False when no window of the first `n` characters with at most `cap` matches and `prefix`
  // common leading characters can match, by its longest common subsequence with the pattern.
  bool jaro_lcs_may_match(std::size_t n, std::size_t cap, std::size_t prefix) {
    if (jt_->lcs_needed.empty()) return true;
    const std::size_t m = pattern_.size();
    const std::size_t rows = length_ok_.size();
    if (metric_ == Metric::jaro) prefix = 0;
    return value(n) >= jt_->lcs_needed[(prefix * rows + n) * (m + 1) + cap];
  }

  // Jaro and Jaro-Winkler of the first `n` characters (n >= 1) as rapidfuzz computes them, the
  // candidate first. rapidfuzz matches each pattern character in turn to the first unmatched
  // equal candidate character within `bound` places; a longer candidate only adds places at its
  // end, so the matching of a prefix is that of the whole stretch cut at its end, and one
  // matching serves every prefix of one bound.
  Verdict jaro(std::size_t n) {
    const std::size_t m = pattern_.size();
    if (n == 1 && m == 1) return judge_units(stretch_.first(1));
    const std::size_t bound = std::max(n, m) / 2 - 1;
    std::size_t shared;
    if (jaro_by_window_) {
      shared = match_jaro_window(bound, n);
    } else {
      if (bound != jaro_bound_) match_jaro(bound);
      // Each matched candidate position has its own pattern character.
      shared = jaro_matched_before(n);
    }
    const std::size_t prefix = std::min<std::size_t>({common_prefix(), n, 4});
    if (n < length_ok_.size() && !jt_->lcs_needed.empty()
            ? !jaro_lcs_may_match(n, shared, prefix)
            : !compare_.may_match_jaro(n, shared, prefix)) {
      return {false, kNoScore};
    }
    if (shared == 0) return compare_.similarity_verdict(0.0);
    // Counting stops once the transpositions exceed what may match.
    std::size_t most_differ = 2 * shared + 1;
    if (n < length_ok_.size() && !jt_->most_transpositions.empty()) {
      const std::size_t at =
          ((metric_ == Metric::jaro ? 0 : prefix) * length_ok_.size() + n) * (m + 1) + shared;
      most_differ = 2 * std::size_t{jt_->most_transpositions[at]} + 1;
    }
    // Windows of one matching that end between the same two matched places hold the same
    // matches, so the same transpositions: most windows reuse the count of a shorter one.
    if (shared != jaro_differ_shared_ || (!jaro_differ_exact_ && jaro_differ_ <= most_differ)) {
      // A new count, or counting stopped short of what this window may have.
      jaro_differ_shared_ = shared;
      jaro_differ_ = jaro_by_window_ ? count_differ_window(n, shared, most_differ)
                                     : count_differ(n, most_differ);
      jaro_differ_exact_ = jaro_differ_ <= most_differ;
    }
    if (jaro_differ_ > most_differ) return {false, kNoScore};
    const std::size_t transpositions = jaro_differ_ / 2;
    // The very operations of rapidfuzz, in its order.
    const auto common = static_cast<double>(shared);
    double sim = 0;
    sim += common / static_cast<double>(n);
    sim += common / static_cast<double>(m);
    sim += (common - static_cast<double>(transpositions)) / common;
    sim /= 3.0;
    if (metric_ == Metric::jaro_winkler && sim > 0.7) {
      sim += static_cast<double>(prefix) * kJaroWinklerWeight * (1.0 - sim);
      sim = std::min(sim, 1.0);
    }
    return compare_.similarity_verdict(sim);
  }

  // Where matched characters in pattern order differ from matched characters in candidate
  // order, among those of the first `n` characters: the count, or most + 1 once it exceeds most.
  std::size_t count_differ(std::size_t n, std::size_t most) const {
    std::size_t differ = 0;
    std::size_t w = 0;
    std::uint64_t taken = jaro_taken_.empty() ? 0 : jaro_taken_[0];
    for (std::size_t k = 0; k < jaro_count_; ++k) {
      if (jaro_match_[k] >= n) continue;
      const std::size_t j = jaro_matched_[k];
      while (taken == 0) taken = jaro_taken_[++w];
      const std::size_t i = w * 64 + static_cast<std::size_t>(std::countr_zero(taken));
      taken &= taken - 1;
      differ += static_cast<char32_t>(stretch_[i]) != pattern_[j];
      if (differ > most) break;
    }
    return differ;
  }

  // The matching of the first `n` characters under `bound`, for patterns of one word: rapidfuzz
  // matches each pattern character to the first free equal window character in reach, which
  // per character is two sorted lists merged, dropping whichever head is out of reach of the
  // other; the merge is the same taken from either side, so here each window character takes
  // the first free equal pattern character in reach. A character's step does not look past it,
  // so the steps made for a shorter window of this bound hold for a longer one: each start makes
  // one pass per bound, as far as its windows ask. Returns how many the first `n` matched.
  // Windows longer than the pattern have a bound of their own every two characters, which would
  // take a pass each: in vectors, eight bounds take one.
  std::size_t match_jaro_window(std::size_t bound, std::size_t n) {
    if (bound != jaro_matching_) {
      jaro_matching_ = bound;
      jaro_differ_shared_ = npos;
    }
    const std::size_t m = pattern_.size();
    if (jaro_compress_ && bound >= m / 2) {
      const std::size_t first = bound - (bound - m / 2) % detail::kJaroLanes;
      if (first != jaro_lanes_.first) jaro_lanes_.reset(first, stretch_.size());
      jaro_lanes_.extend(stretch_slots_, jaro_slot_masks_.data(), n);
      jaro_lane_ = static_cast<unsigned>(bound - first);
      return detail::jaro_lane_matches(jaro_lanes_.matched.data(), jaro_lanes_.slot_bytes.data(), n,
                                       jaro_lane_, nullptr);
    }
    jaro_lane_ = kNoLane;
    if (bound != jaro_pass_.bound) jaro_pass_.reset(bound, stretch_.size());
    jaro_pass_.template extend<true>(stretch_slots_, jaro_slot_masks_.data(), n);
    return jaro_pass_.counts[n];
  }

  // count_differ() for match_jaro_window(): the first `shared` window characters matched, in
  // order, against the pattern characters taken by the first `n`.
  std::size_t count_differ_window(std::size_t n, std::size_t shared, std::size_t most) {
    if (jaro_lane_ != kNoLane) {
      detail::jaro_lane_matches(jaro_lanes_.matched.data(), jaro_lanes_.slot_bytes.data(), n,
                                jaro_lane_, jaro_lanes_.sequence.data());
      return detail::differ_in_order(~jaro_lanes_.opens[detail::kJaroLanes * n + jaro_lane_],
                                     jaro_slot_bytes_.data(), jaro_lanes_.sequence.data(), shared);
    }
    std::uint64_t taken = jaro_pass_.takens[n];
    const std::uint8_t* matched = jaro_pass_.matched.data();
    if (jaro_compress_) {
      return detail::differ_in_order(taken, jaro_slot_bytes_.data(), matched, shared);
    }
    const std::uint64_t* masks = jaro_slot_masks_.data();
    std::size_t differ = 0;
    for (std::size_t k = 0; k < shared; ++k) {
      // The lowest pattern place taken holds the k-th window character matched, or differs.
      const std::uint64_t lowest = taken & (~taken + 1);
      differ += (masks[matched[k]] & lowest) == 0;
      taken ^= lowest;
      if (differ > most) break;
    }
    return differ;
  }

  // How many of the first `n` positions of the stretch the matching took.
  std::size_t jaro_matched_before(std::size_t n) const {
    const std::size_t w = n / 64;
    std::size_t count = jaro_taken_before_[w];
    if (n % 64 != 0) {
      count += static_cast<std::size_t>(
          std::popcount(jaro_taken_[w] & ((std::uint64_t{1} << (n % 64)) - 1)));
    }
    return count;
  }

  // The greedy matching of the whole stretch under `bound`: the k-th pattern character matched
  // (ascending) is jaro_matched_[k], at jaro_match_[k]; bit i of jaro_taken_ tells whether
  // position i matched. The first jaro_count_ entries of the lists hold.
  void match_jaro(std::size_t bound) {
    const std::size_t m = pattern_.size();
    const std::size_t words = (stretch_.size() + 63) / 64;
    // Two words at least, so that the short path reads both; row 0 stays empty.
    const std::size_t stride = std::max<std::size_t>(words, 2);
    // Where each pattern character occurs in the stretch, once for every bound: one row of
    // masks for each character the two share, numbered as met (a long pattern has many slots).
    if (jaro_bound_ == npos) {
      if (jaro_row_.size() != m + 1) jaro_row_.assign(m + 1, 0);
      for (const std::size_t at : jaro_rowed_) jaro_row_[at] = 0;
      jaro_rowed_.clear();
      jaro_positions_.assign(stride, 0);
      for (std::size_t i = 0; i < stretch_.size(); ++i) {
        const std::size_t at = stretch_slots_[i];
        if (at == m) continue;
        if (jaro_row_[at] == 0) {
          jaro_row_[at] = jaro_positions_.size();
          jaro_rowed_.push_back(at);
          jaro_positions_.resize(jaro_positions_.size() + stride, 0);
        }
        jaro_positions_[jaro_row_[at] + i / 64] |= std::uint64_t{1} << (i % 64);
      }
      jaro_row_of_.resize(m);
      for (std::size_t j = 0; j < m; ++j) jaro_row_of_[j] = jaro_row_[pattern_slots_[j]];
      if (jaro_matched_.size() != m) {
        jaro_matched_.resize(m);
        jaro_match_.resize(m);
      }
    }
    // No window longer than 2 * bound + 3 characters has this bound: the matching stops there.
    const std::size_t length = std::min(stretch_.size(), 2 * bound + 3);
    // One word beyond, so that counting up to the very end needs no test.
    jaro_taken_.assign(words + 1, 0);
    jaro_count_ = length == 0  ? 0
                  : words <= 2 ? match_jaro_short(bound, length)
                               : match_jaro_long(bound, length);
    jaro_taken_before_.resize(words + 1);
    std::size_t before = 0;
    for (std::size_t w = 0; w <= words; ++w) {
      jaro_taken_before_[w] = before;
      before += static_cast<std::size_t>(std::popcount(jaro_taken_[w]));
    }
    jaro_bound_ = bound;
    jaro_differ_shared_ = npos;
  }

  // match_jaro() on a stretch of at most 128 characters, the usual one, with the state in
  // registers: the range of places of pattern character j, as two words, moves up one place
  // with j. Returns how many matched.
  std::size_t match_jaro_short(std::size_t bound, std::size_t length) {
    const std::size_t m = pattern_.size();
    const std::uint64_t* rows = jaro_positions_.data();
    const std::size_t* row_of = jaro_row_of_.data();
    std::size_t* matched = jaro_matched_.data();
    std::size_t* at = jaro_match_.data();
    // Places below `length`, and the range of j = 0, 0..bound, each as two words.
    const std::uint64_t keep0 = length >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << length) - 1;
    const std::uint64_t keep1 = length <= 64    ? 0
                                : length >= 128 ? ~std::uint64_t{0}
                                                : (std::uint64_t{1} << (length - 64)) - 1;
    std::uint64_t range0 = bound >= 63 ? ~std::uint64_t{0} : (std::uint64_t{2} << bound) - 1;
    std::uint64_t range1 = bound < 64     ? 0
                           : bound >= 127 ? ~std::uint64_t{0}
                                          : (std::uint64_t{2} << (bound - 64)) - 1;
    // Places from `length` on count as taken, which spares a mask a character.
    std::uint64_t taken0 = ~keep0;
    std::uint64_t taken1 = ~keep1;
    std::size_t count = 0;
    // Pattern characters from length + bound on have no place left.
    const std::size_t end = std::min(m, length + bound);
    for (std::size_t j = 0; j < end; ++j) {
      const std::uint64_t* occurs = rows + row_of[j];
      const std::uint64_t free0 = occurs[0] & ~taken0 & range0;
      const std::uint64_t free1 = occurs[1] & ~taken1 & range1;
      // The lowest free place, in whichever word holds it.
      const std::uint64_t pick0 = free0 & (~free0 + 1);
      const std::uint64_t pick1 = free0 == 0 ? free1 & (~free1 + 1) : 0;
      taken0 |= pick0;
      taken1 |= pick1;
      matched[count] = j;
      at[count] = free0 != 0 ? static_cast<std::size_t>(std::countr_zero(free0))
                             : 64 + static_cast<std::size_t>(std::countr_zero(free1));
      count += (free0 | free1) != 0;
      // The next character's range: one place up, from place 0 while j < bound.
      range1 = (range1 << 1) | (range0 >> 63);
      range0 = (range0 << 1) | (j < bound ? 1 : 0);
    }
    jaro_taken_[0] = taken0 & keep0;
    if (jaro_taken_.size() > 2) jaro_taken_[1] = taken1 & keep1;
    return count;
  }

  std::size_t match_jaro_long(std::size_t bound, std::size_t length) {
    const std::size_t m = pattern_.size();
    std::size_t count = 0;
    for (std::size_t j = 0; j < m; ++j) {
      const std::size_t lo = j > bound ? j - bound : 0;
      const std::size_t hi = std::min(j + bound, length - 1);
      // Later pattern characters lie further beyond the stretch.
      if (lo > hi) break;
      // Row 0: the character is not in the stretch.
      if (jaro_row_of_[j] == 0) continue;
      const std::uint64_t* occurs = &jaro_positions_[jaro_row_of_[j]];
      for (std::size_t w = lo / 64; w <= hi / 64; ++w) {
        std::uint64_t candidates = occurs[w] & ~jaro_taken_[w];
        if (w == lo / 64) candidates &= ~std::uint64_t{0} << (lo % 64);
        if (w == hi / 64 && hi % 64 != 63) candidates &= (std::uint64_t{1} << (hi % 64 + 1)) - 1;
        if (candidates == 0) continue;
        const std::uint64_t bit = candidates & (~candidates + 1);
        jaro_taken_[w] |= bit;
        jaro_matched_[count] = j;
        jaro_match_[count] = w * 64 + static_cast<std::size_t>(std::countr_zero(bit));
        ++count;
        break;
      }
    }
    return count;
  }

  // The Damerau-Levenshtein distance of the first `n` characters: rapidfuzz's algorithm (Zhao
  // and Sahni's linear-space form of Lowrance and Wagner's), whose matrix runs over the
  // candidate's characters row by row, so that row i holds the distance of the first i.
  std::size_t damerau_levenshtein(std::size_t n) {
    const std::size_t m = pattern_.size();
    // Stands in for infinity: no real distance comes near it.
    constexpr std::int64_t kFar = std::int64_t{1} << 40;
    if (dl_rows_ == 0) {
      dl_r_.assign(m + 2, kFar);
      dl_r1_.assign(m + 2, kFar);
      dl_fr_.assign(m + 2, kFar);
      for (std::size_t j = 0; j <= m; ++j) dl_r_[j + 1] = static_cast<std::int64_t>(j);
      dl_last_row_.assign(m + 1, -1);
      dl_.assign(1, m);
    }
    for (; dl_rows_ < n; ++dl_rows_) {
      // A row costs the pattern's length: long patterns make it long work.
      cancel::poll(1 + m / 8);
      const auto i = static_cast<std::int64_t>(dl_rows_ + 1);
      std::swap(dl_r_, dl_r1_);
      // Offset by one, as in rapidfuzz: index -1 holds infinity.
      std::int64_t* r = &dl_r_[1];
      const std::int64_t* r1 = &dl_r1_[1];
      std::int64_t* fr = &dl_fr_[1];
      const auto c = static_cast<char32_t>(stretch_[dl_rows_]);
      std::int64_t last_col = -1;
      std::int64_t last_i2l1 = r[0];
      r[0] = i;
      std::int64_t t = kFar;
      for (std::size_t jj = 1; jj <= m; ++jj) {
        const auto j = static_cast<std::int64_t>(jj);
        const char32_t p = pattern_[jj - 1];
        const std::int64_t diag = r1[j - 1] + (c != p);
        const std::int64_t left = r[j - 1] + 1;
        const std::int64_t up = r1[j] + 1;
        std::int64_t temp = std::min({diag, left, up});
        if (c == p) {
          last_col = j;
          fr[j] = r1[j - 2];
          t = last_i2l1;
        } else {
          const std::int64_t k = dl_last_row_[pattern_slots_[jj - 1]];
          const std::int64_t l = last_col;
          if (j - l == 1) {
            temp = std::min(temp, fr[j] + (i - k));
          } else if (i - k == 1) {
            temp = std::min(temp, t + (j - l));
          }
        }
        last_i2l1 = r[j];
        r[j] = temp;
      }
      const std::size_t at = slot(c);
      if (at < m) dl_last_row_[at] = i;
      dl_.push_back(static_cast<std::size_t>(r[static_cast<std::int64_t>(m)]));
    }
    return dl_[n];
  }

  // first_position() by table for Latin-1.
  std::size_t slot(char32_t c) const { return c < kLowSlots ? low_slots_[c] : first_position(c); }

  // How many characters the stretch shares with the pattern, as multisets, counted by a window
  // that slides along the chunk (reset when `fresh`) rather than anew for each stretch.
  std::size_t sliding_common(bool fresh) {
    const Unit* begin = stretch_.data();
    const Unit* end = begin + stretch_.size();
    if (fresh) {
      // The old chunk's characters may be gone.
      std::fill(slide_counts_.begin(), slide_counts_.end(), 0);
      slide_begin_ = slide_end_ = begin;
      slide_common_ = 0;
    } else if (begin < slide_begin_ || begin > slide_end_ || end < slide_end_) {
      for (const Unit* c = slide_begin_; c < slide_end_; ++c) --slide_counts_[slot(*c)];
      slide_begin_ = slide_end_ = begin;
      slide_common_ = 0;
    }
    // Within the chunk, the slots looked up once for it. Characters the pattern lacks share a
    // slot that needs none, so they never count.
    const Unit* const from = slide_begin_;
    const std::size_t* slots = in_chunk(from, static_cast<std::size_t>(end - from))
                                   ? chunk_slots_.data() + (from - chunk_.data())
                                   : nullptr;
    for (; slide_begin_ < begin; ++slide_begin_) {
      const std::size_t at = slots != nullptr ? slots[slide_begin_ - from] : slot(*slide_begin_);
      slide_common_ -= slide_counts_[at] <= needed_[at];
      --slide_counts_[at];
    }
    for (; slide_end_ < end; ++slide_end_) {
      const std::size_t at = slots != nullptr ? slots[slide_end_ - from] : slot(*slide_end_);
      ++slide_counts_[at];
      slide_common_ += slide_counts_[at] <= needed_[at];
    }
    return slide_common_;
  }

  // Zeroes the counts of the stretch by its slots, which must not have changed since.
  void clear_counts() {
    if (jaro_by_window_) {
      // The count and the LCS row go together (jaro_rows()).
      shared_taken_ = 0;
      counted_ = 1;
      filled_ = 0;
      lcs_.reset();
      return;
    }
    // Zeroing them all takes fewer steps once more characters than slots were counted.
    if (counted_ > counts_.size()) {
      std::fill(counts_.begin(), counts_.end(), 0);
    } else {
      for (std::size_t k = 0; k + 1 < counted_; ++k) counts_[stretch_slots_[k]] = 0;
    }
    counted_ = 1;
  }

  // Points stretch_slots_ at the slots of the stretch: within the last chunk counted, or
  // looked up here.
  void point_slots() {
    const std::less_equal<const Unit*> before;
    const Unit* begin = stretch_.data();
    if (!chunk_.empty() && before(chunk_.data(), begin) &&
        before(begin + stretch_.size(), chunk_.data() + chunk_.size())) {
      stretch_slots_ = chunk_slots_.data() + (begin - chunk_.data());
      return;
    }
    own_slots_.resize(stretch_.size());
    for (std::size_t i = 0; i < stretch_.size(); ++i) {
      own_slots_[i] = slot(static_cast<char32_t>(stretch_[i]));
    }
    stretch_slots_ = own_slots_.data();
  }

  // How many characters the first `n` of the stretch share with the pattern, as multisets.
  std::size_t common(std::size_t n) {
    if (jaro_by_window_) {
      jaro_rows(n);
      return common_[n];
    }
    std::size_t k = counted_;
    if (k <= n) {
      if (common_.size() <= n) common_.resize(n + 1);
      std::size_t shared = common_[k - 1];
      // Characters outside the pattern count in the spare last entry, never needed.
      for (; k <= n; ++k) {
        const std::size_t at = stretch_slots_[k - 1];
        shared += counts_[at] < needed_[at];
        ++counts_[at];
        common_[k] = shared;
      }
      counted_ = n + 1;
    }
    return common_[n];
  }

  // common() and the LCS row's value() for patterns of one word, through the first `n`
  // characters: one pass makes both, the row's chain of steps and the count's overlapping.
  void jaro_rows(std::size_t n) {
    if (filled_ >= n) return;
    if (common_.size() <= n) common_.resize(n + 1);
    if (values_.size() <= n) values_.resize(n + 1);
    lcs_.push_slots_sharing(stretch_slots_ + filled_, n - filled_, jaro_slot_masks_.data(),
                            &values_[filled_ + 1], shared_taken_, common_[filled_],
                            &common_[filled_ + 1]);
    filled_ = n;
    counted_ = n + 1;
  }

  const CachedSearch& compare_;
  Metric metric_;
  std::u32string_view pattern_;
  PatternMasks masks_;
  LevenshteinRow levenshtein_;
  OsaRow osa_;
  LcsRow lcs_;
  text::Units<Unit> stretch_;
  // values_[j]: the row's value for the first j characters, j <= filled_.
  std::vector<std::size_t> values_;
  std::size_t filled_ = 0;
  std::size_t prefix_ = npos;
  // Jaro: counts_ and needed_ per character (by its first position in the pattern), common_[j]
  // for the first j characters.
  std::vector<std::size_t> counts_;
  std::vector<std::size_t> needed_;
  // common_[j] holds for j < counted_; the counts are of the first counted_ - 1 characters.
  std::size_t counted_ = 1;
  // Patterns of one word: the pattern places the counted characters took, for the counts.
  std::uint64_t shared_taken_ = 0;
  std::vector<std::size_t> pattern_slots_;
  std::vector<std::size_t> common_;
  static constexpr char32_t kLowSlots = 256;
  std::vector<std::size_t> low_slots_ = std::vector<std::size_t>(kLowSlots);
  // The sliding count: characters [slide_begin_, slide_end_) of the chunk.
  std::vector<std::size_t> slide_counts_;
  const Unit* slide_begin_ = nullptr;
  const Unit* slide_end_ = nullptr;
  std::size_t slide_common_ = 0;
  bool fresh_chunk_ = true;
  // Jaro: the slot of every character of the last chunk counted, and of the stretch.
  text::Units<Unit> chunk_;
  std::vector<std::size_t> chunk_slots_;
  std::vector<std::size_t> own_slots_;
  const std::size_t* stretch_slots_ = nullptr;
  // Jaro: the matching under jaro_bound_ (npos: none yet) of the current stretch.
  std::size_t jaro_bound_ = npos;
  // The mismatches counted last under this matching, for how many matches, and whether the
  // count ran to the end (else it is a floor).
  std::size_t jaro_differ_ = 0;
  std::size_t jaro_differ_shared_ = npos;
  bool jaro_differ_exact_ = false;
  std::vector<std::uint64_t> jaro_positions_;
  std::vector<std::size_t> jaro_row_;
  std::vector<std::size_t> jaro_rowed_;
  // Bit i: position i of the stretch matched; per word, how many positions before it did.
  std::vector<std::uint64_t> jaro_taken_;
  std::vector<std::size_t> jaro_taken_before_;
  std::vector<std::size_t> jaro_match_;
  std::vector<std::size_t> jaro_matched_;
  std::size_t jaro_count_ = 0;
  // Per pattern character, the offset of its row in jaro_positions_.
  std::vector<std::size_t> jaro_row_of_;
  // Patterns of one word: per slot, where its character lies in the pattern.
  bool jaro_by_window_ = false;
  std::vector<std::uint64_t> jaro_slot_masks_;
  // And per pattern place, its slot; whether count_differ_window() compares them in vectors.
  std::array<std::uint8_t, 64> jaro_slot_bytes_{};
  bool jaro_compress_ = false;
  // A pass of match_jaro_window() over the first `done` characters of the stretch: the pattern
  // places taken and how many, after each character, and the slots of those matched, in order.
  struct JaroPass {
    std::size_t bound = npos;
    std::size_t done = 0;
    std::uint64_t taken = 0;
    std::uint64_t reach = 0;
    std::size_t count = 0;
    std::vector<std::size_t> counts;
    std::vector<std::uint64_t> takens;
    // 64 at least, as differ_in_order() reads.
    std::vector<std::uint8_t> matched;

    void reset(std::size_t b, std::size_t length) {
      bound = b;
      done = 0;
      taken = 0;
      count = 0;
      reach = b >= 63 ? ~std::uint64_t{0} : (std::uint64_t{2} << b) - 1;
      if (counts.size() <= length) {
        counts.resize(length + 1);
        takens.resize(length + 1);
        matched.resize(std::max<std::size_t>(length + 1, 64));
      }
      counts[0] = 0;
      takens[0] = 0;
    }

    // Through the first `n` characters; with kFull, what a transposition count needs too.
    template <bool kFull>
    void extend(const std::size_t* slots, const std::uint64_t* masks, std::size_t n) {
      if (done >= n) return;
      // The places not taken, the chain each step waits on: four operations long.
      std::uint64_t open = ~taken;
      std::uint64_t r = reach;
      std::size_t c = count;
      std::size_t* by = counts.data();
      std::uint64_t* taken_by = takens.data();
      std::uint8_t* order = matched.data();
      const auto step = [&](std::size_t i) {
        const std::size_t at = slots[i];
        std::uint64_t in_reach = masks[at] & r;
        detail::compute_apart(in_reach);
        const std::uint64_t free = in_reach & open;
        open ^= free & (~free + 1);
        if constexpr (kFull) {
          // Written always, kept only when matched: no branch to mispredict.
          order[c] = static_cast<std::uint8_t>(at);
          taken_by[i + 1] = ~open;
        }
        c += free != 0;
        by[i + 1] = c;
      };
      // The next window character reaches one pattern place further, from place 0 while
      // within `bound` of it.
      std::size_t i = done;
      for (const std::size_t rising = std::min(n, bound); i < rising; ++i) {
        step(i);
        r = (r << 1) | 1;
      }
      for (; i < n; ++i) {
        step(i);
        r <<= 1;
      }
      taken = ~open;
      reach = r;
      count = c;
      done = n;
    }
  };
  JaroPass jaro_pass_;
  // The bound of the matching match_jaro_window() last gave, and its lane (kNoLane: the pass).
  std::size_t jaro_matching_ = npos;
  static constexpr unsigned kNoLane = ~0u;
  unsigned jaro_lane_ = kNoLane;
  // Eight passes in vectors over the first `done` characters of the stretch, under the bounds
  // from `first` on (npos: none yet); as detail::extend_jaro_lanes() leaves them.
  struct JaroLanes {
    std::size_t first = npos;
    std::size_t done = 0;
    std::array<std::uint64_t, 2 * detail::kJaroLanes> state{};
    std::vector<std::uint64_t> opens;
    // In blocks of 64, as detail::jaro_lane_matches() reads them.
    std::vector<std::uint8_t> matched;
    std::vector<std::uint8_t> slot_bytes;
    std::array<std::uint8_t, 128> sequence{};

    void reset(std::size_t bound, std::size_t length) {
      first = bound;
      done = 0;
      for (std::size_t k = 0; k < detail::kJaroLanes; ++k) {
        const std::size_t b = bound + k;
        state[k] = ~std::uint64_t{0};
        state[detail::kJaroLanes + k] = b >= 63 ? ~std::uint64_t{0} : (std::uint64_t{2} << b) - 1;
      }
      const std::size_t blocks = (length + 63) / 64 * 64;
      if (matched.size() < blocks) {
        matched.resize(blocks);
        slot_bytes.resize(blocks);
      }
      if (opens.size() < detail::kJaroLanes * (length + 1)) {
        opens.resize(detail::kJaroLanes * (length + 1));
      }
      std::fill_n(opens.begin(), detail::kJaroLanes, ~std::uint64_t{0});
    }

    void extend(const std::size_t* slots, const std::uint64_t* masks, std::size_t n) {
      if (done >= n) return;
      detail::extend_jaro_lanes(slots, masks, done, n, first, state.data(), opens.data(),
                                matched.data(), slot_bytes.data());
      done = n;
    }
  };
  JaroLanes jaro_lanes_;
  // Shared with every scorer alike on this thread (detail::jaro_tables()), never changed after.
  std::shared_ptr<const detail::JaroTables> jaro_tables_;
  const detail::JaroTables* jt_ = &kNoJaroTables;
  static inline const detail::JaroTables kNoJaroTables{};
  // Per end, as jaro_hopeless() reads them, the first start from which a window ending there
  // may match.
  std::vector<std::int32_t> jaro_first_start_;
  static constexpr double kJaroWinklerWeight = 0.1;
  // Damerau-Levenshtein: the two last rows, the saved diagonals, the last row of each pattern
  // character (by slot), and dl_[i] for the first i characters, i <= dl_rows_.
  std::vector<std::int64_t> dl_r_;
  std::vector<std::int64_t> dl_r1_;
  std::vector<std::int64_t> dl_fr_;
  std::vector<std::int64_t> dl_last_row_;
  std::vector<std::size_t> dl_;
  std::size_t dl_rows_ = 0;
  // Per prefix length: whether it may match by its length alone, and the largest distance that
  // matches.
  std::vector<unsigned char> length_ok_;
  // Jaro: per prefix length, the fewest shared characters that may match, and the shortest
  // length that may.
  std::vector<std::size_t> shared_needed_;
  std::size_t jaro_shortest_ = 1;
  // Jaro: per count of characters a stretch shares, the longest window that may match.
  std::vector<std::size_t> jaro_last_window_;
  // Whether a prefix of another length than the pattern's may match by its length.
  bool unequal_may_match_ = false;
  std::vector<std::size_t> allowed_;
};

}  // namespace veskal::comparator::fuzzy
