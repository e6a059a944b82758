#include "comparator/fuzzy.hpp"

#include <rapidfuzz/distance.hpp>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "comparator/rows.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace veskal::comparator::fuzzy {

namespace detail {

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx512f,avx512bw,avx512vbmi2"))) std::size_t differ_in_order(
    std::uint64_t taken, const std::uint8_t* places, const std::uint8_t* sequence,
    std::size_t count) {
  const __m512i chosen = _mm512_maskz_compress_epi8(taken, _mm512_loadu_si512(places));
  const std::uint64_t kept = count >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << count) - 1;
  return static_cast<std::size_t>(
      std::popcount(_mm512_mask_cmpneq_epi8_mask(kept, chosen, _mm512_loadu_si512(sequence))));
}
#else
std::size_t differ_in_order(std::uint64_t taken, const std::uint8_t* places,
                            const std::uint8_t* sequence, std::size_t count) {
  std::size_t differ = 0;
  for (std::size_t k = 0; k < count; ++k, taken &= taken - 1) {
    differ += places[std::countr_zero(taken)] != sequence[k];
  }
  return differ;
}
#endif

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx512f,avx512bw"))) void extend_jaro_lanes(
    const std::size_t* slots, const std::uint64_t* masks, std::size_t from, std::size_t to,
    std::size_t first_bound, std::uint64_t* state, std::uint64_t* opens, std::uint8_t* matched,
    std::uint8_t* slot_bytes) {
  __m512i open = _mm512_loadu_si512(state);
  __m512i reach = _mm512_loadu_si512(state + kJaroLanes);
  const __m512i bounds = _mm512_add_epi64(_mm512_set1_epi64(static_cast<long long>(first_bound)),
                                          _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7));
  const __m512i one = _mm512_set1_epi64(1);
  __m512i at = _mm512_set1_epi64(static_cast<long long>(from));
  for (std::size_t i = from; i < to; ++i) {
    const std::size_t slot = slots[i];
    const __m512i in_reach =
        _mm512_and_si512(_mm512_set1_epi64(static_cast<long long>(masks[slot])), reach);
    // As in the one-bound pass: the lowest free place in reach is taken, lane by lane.
    const __m512i free = _mm512_and_si512(in_reach, open);
    open = _mm512_xor_si512(open,
                            _mm512_and_si512(free, _mm512_sub_epi64(_mm512_setzero_si512(), free)));
    matched[i] = static_cast<std::uint8_t>(_mm512_test_epi64_mask(free, free));
    slot_bytes[i] = static_cast<std::uint8_t>(slot);
    _mm512_storeu_si512(opens + kJaroLanes * (i + 1), open);
    // reach << 1, by an addition: GCC 12 warns of its own shift intrinsic.
    const __m512i shifted = _mm512_add_epi64(reach, reach);
    reach = _mm512_mask_or_epi64(shifted, _mm512_cmplt_epu64_mask(at, bounds), shifted, one);
    at = _mm512_add_epi64(at, one);
  }
  _mm512_storeu_si512(state, open);
  _mm512_storeu_si512(state + kJaroLanes, reach);
}

__attribute__((target("avx512f,avx512bw,avx512vbmi2"))) std::size_t jaro_lane_matches(
    const std::uint8_t* matched, const std::uint8_t* slot_bytes, std::size_t n, unsigned lane,
    std::uint8_t* sequence) {
  const __m512i bit = _mm512_set1_epi8(static_cast<char>(1u << lane));
  std::size_t count = 0;
  for (std::size_t at = 0; at < n; at += 64) {
    std::uint64_t took = _mm512_test_epi8_mask(_mm512_loadu_si512(matched + at), bit);
    if (n - at < 64) took &= (std::uint64_t{1} << (n - at)) - 1;
    if (sequence != nullptr) {
      _mm512_storeu_si512(sequence + count,
                          _mm512_maskz_compress_epi8(took, _mm512_loadu_si512(slot_bytes + at)));
    }
    count += static_cast<std::size_t>(std::popcount(took));
  }
  return count;
}
#else
void extend_jaro_lanes(const std::size_t* slots, const std::uint64_t* masks, std::size_t from,
                       std::size_t to, std::size_t first_bound, std::uint64_t* state,
                       std::uint64_t* opens, std::uint8_t* matched, std::uint8_t* slot_bytes) {
  for (std::size_t i = from; i < to; ++i) {
    matched[i] = 0;
    slot_bytes[i] = static_cast<std::uint8_t>(slots[i]);
    for (std::size_t k = 0; k < kJaroLanes; ++k) {
      const std::uint64_t free = masks[slots[i]] & state[kJaroLanes + k] & state[k];
      state[k] ^= free & (~free + 1);
      matched[i] |= static_cast<std::uint8_t>((free != 0) << k);
      opens[kJaroLanes * (i + 1) + k] = state[k];
      state[kJaroLanes + k] = (state[kJaroLanes + k] << 1) | (i < first_bound + k ? 1 : 0);
    }
  }
}

std::size_t jaro_lane_matches(const std::uint8_t* matched, const std::uint8_t* slot_bytes,
                              std::size_t n, unsigned lane, std::uint8_t* sequence) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if ((matched[i] >> lane & 1) == 0) continue;
    if (sequence != nullptr) sequence[count] = slot_bytes[i];
    ++count;
  }
  return count;
}
#endif

namespace {

// A table for a very long pattern would cost more than the windows it spares.
constexpr std::size_t kMostJaroEntries = std::size_t{1} << 20;

std::shared_ptr<const JaroTables> build_jaro_tables(const CachedSearch& compare, std::size_t m,
                                                    std::size_t longest) {
  constexpr std::uint32_t kNever = JaroTables::kNever;
  auto tables = std::make_shared<JaroTables>();
  JaroTables& t = *tables;
  const std::size_t prefixes = compare.metric() == Metric::jaro_winkler ? 5 : 1;
  if (prefixes * (longest + 1) * (m + 1) > kMostJaroEntries) return tables;
  // The test of a whole stretch, by its common prefix and shared characters (at most m
  // count).
  t.best_ok.resize(5 * (m + 1));
  for (std::size_t p = 0; p < 5; ++p) {
    for (std::size_t c = 0; c <= m; ++c) {
      t.best_ok[p * (m + 1) + c] = compare.may_match_jaro(std::max<std::size_t>(c, 1), c, p);
    }
  }
  t.lcs_needed.assign(prefixes * (longest + 1) * (m + 1), kNever);
  t.most_transpositions.assign(prefixes * (longest + 1) * (m + 1), 0);
  for (std::size_t p = 0; p < prefixes; ++p) {
    for (std::size_t n = 1; n <= longest; ++n) {
      std::uint32_t* needed = &t.lcs_needed[(p * (longest + 1) + n) * (m + 1)];
      std::uint32_t* allowed = &t.most_transpositions[(p * (longest + 1) + n) * (m + 1)];
      // The most transpositions with which c matches may match grows with c, as the score
      // does.
      std::size_t most = 0;
      std::uint32_t least = kNever;
      for (std::size_t c = 0; c <= m; ++c) {
        if (c <= n && compare.may_match_jaro(n, c, p)) {
          while (most + 1 <= c / 2 && compare.may_match_jaro(n, c, p, most + 1)) ++most;
          allowed[c] = static_cast<std::uint32_t>(most);
          // (c - L) / 2 <= most holds from this L on.
          least = std::min<std::uint32_t>(
              least, static_cast<std::uint32_t>(c >= 2 * most + 1 ? c - 2 * most - 1 : 0));
        }
        needed[c] = least;
      }
    }
  }
  // Per LCS and shared count, the longest window whose entry without a prefix they meet (0:
  // none): a window of a later start shares, and has in common, no more than the prefix of
  // this stretch that ends where it does, so it may match only if no longer than that.
  if ((m + 1) * (m + 1) > kMostJaroEntries) return tables;
  t.longest.assign((m + 1) * (m + 1), 0);
  std::vector<std::uint32_t> longest_at(m + 1);
  for (std::size_t c = 0; c <= m; ++c) {
    std::fill(longest_at.begin(), longest_at.end(), 0);
    for (std::size_t n = 1; n <= longest; ++n) {
      const std::uint32_t needed = t.lcs_needed[n * (m + 1) + c];
      if (needed <= m) longest_at[needed] = static_cast<std::uint32_t>(n);
    }
    std::uint32_t most = 0;
    for (std::size_t lcs = 0; lcs <= m; ++lcs) {
      most = std::max(most, longest_at[lcs]);
      t.longest[lcs * (m + 1) + c] = most;
    }
  }
  return tables;
}

}  // namespace

std::shared_ptr<const JaroTables> jaro_tables(const CachedSearch& compare, std::size_t m,
                                              std::size_t longest) {
  // Consecutive stretches of a text, consecutive calls, and a matcher's patterns of one length
  // build the same tables, which cost Jaro-Winkler ten times the search of a short text (200
  // characters, pattern 64: 332 µs instead of 27): the sets last used on this thread serve
  // again, as many as the memory below keeps (a 64-character pattern under Jaro-Winkler takes
  // 230 KB, a name of 15 about 12 KB).
  struct Key {
    Metric metric;
    std::uint64_t threshold;  // bit for bit: a NaN threshold matches itself
    bool never;
    std::size_t m;
    std::size_t longest;
    bool operator==(const Key&) const = default;
  };
  struct Kept {
    Key key;
    std::size_t entries;
    std::shared_ptr<const JaroTables> tables;
  };
  constexpr std::size_t kMostKeptSets = 64;
  // 4 MB.
  constexpr std::size_t kMostKeptEntries = std::size_t{1} << 20;
  thread_local std::vector<Kept> kept;  // the last used first
  const Key key{compare.metric(), std::bit_cast<std::uint64_t>(compare.threshold()),
                compare.never_matches(), m, longest};
  const auto found =
      std::find_if(kept.begin(), kept.end(), [&](const Kept& k) { return k.key == key; });
  if (found != kept.end()) {
    std::rotate(kept.begin(), found, found + 1);
    return kept.front().tables;
  }
  std::shared_ptr<const JaroTables> tables = build_jaro_tables(compare, m, longest);
  const std::size_t entries = tables->lcs_needed.size() + tables->most_transpositions.size() +
                              tables->longest.size() + tables->best_ok.size() / 4;
  // A set over a quarter of that (Jaro-Winkler, a pattern of some 130 characters) is not kept:
  // it would push out many small ones.
  if (entries > kMostKeptEntries / 4) return tables;
  kept.insert(kept.begin(), {key, entries, tables});
  std::size_t total = 0;
  std::size_t keep = 0;
  while (keep < kept.size() && keep < kMostKeptSets &&
         total + kept[keep].entries <= kMostKeptEntries) {
    total += kept[keep++].entries;
  }
  kept.resize(keep);
  return tables;
}

}  // namespace detail

namespace {

constexpr double kJaroWinklerPrefixWeight = 0.1;
constexpr double kNoScore = std::numeric_limits<double>::quiet_NaN();
// How far a bound on a similarity computed in floating point is widened before it rules out a
// candidate: far beyond the rounding of a handful of operations on values at most 1.
constexpr double kBoundSlack = 1e-9;

// An integer distance as the score of its kind: the same division as rapidfuzz's normalised
// distances, so that scores agree bit for bit.
double to_score(std::size_t distance, std::size_t maximum, bool normalised) {
  if (!normalised) return static_cast<double>(distance);
  return maximum != 0 ? static_cast<double>(distance) / static_cast<double>(maximum) : 0.0;
}

// The score of `candidate` against `pattern`, every metric computed in full. The candidate is a
// sequence of code units of any width, each equal to its code point.
template <class Candidate = std::u32string_view>
double reference_score(Metric metric, const Candidate& c, std::u32string_view p, bool normalised) {
  switch (metric) {
    case Metric::levenshtein:
      return normalised ? rapidfuzz::levenshtein_normalized_distance(c, p)
                        : static_cast<double>(rapidfuzz::levenshtein_distance(c, p));
    case Metric::damerau_levenshtein:
      return normalised
                 ? rapidfuzz::experimental::damerau_levenshtein_normalized_distance(c, p)
                 : static_cast<double>(rapidfuzz::experimental::damerau_levenshtein_distance(c, p));
    case Metric::osa:
      return normalised ? rapidfuzz::osa_normalized_distance(c, p)
                        : static_cast<double>(rapidfuzz::osa_distance(c, p));
    case Metric::hamming:
      // rapidfuzz would pad or refuse strings of unequal length; their score is fixed here.
      if (c.size() != p.size()) {
        return normalised ? 1.0 : static_cast<double>(std::max(c.size(), p.size()));
      }
      return normalised ? rapidfuzz::hamming_normalized_distance(c, p)
                        : static_cast<double>(rapidfuzz::hamming_distance(c, p));
    case Metric::indel: {
      const std::size_t lcs = rapidfuzz::lcs_seq_similarity(c, p, 0);
      return to_score(c.size() + p.size() - 2 * lcs, c.size() + p.size(), normalised);
    }
    case Metric::lcs_seq:
      return normalised ? rapidfuzz::lcs_seq_normalized_distance(c, p)
                        : static_cast<double>(rapidfuzz::lcs_seq_distance(c, p));
    case Metric::prefix:
      return normalised ? rapidfuzz::prefix_normalized_distance(c, p)
                        : static_cast<double>(rapidfuzz::prefix_distance(c, p));
    case Metric::postfix:
      return normalised ? rapidfuzz::postfix_normalized_distance(c, p)
                        : static_cast<double>(rapidfuzz::postfix_distance(c, p));
    case Metric::jaro:
      return rapidfuzz::jaro_normalized_distance(c, p);
    case Metric::jaro_winkler:
      return rapidfuzz::jaro_winkler_normalized_distance(c, p, kJaroWinklerPrefixWeight);
  }
  return kNoScore;  // unreachable: every metric is handled above
}

// The largest integer distance whose score lies within `threshold` (not NaN, not negative),
// for a candidate whose distance cannot exceed `maximum`. Handing it to rapidfuzz as the cutoff
// is exact: every distance up to it comes back exact, and every larger one fails the threshold.
std::size_t allowed_within(std::size_t maximum, bool normalised, double threshold) {
  const auto m = static_cast<double>(maximum);
  if (!normalised) {
    // An integer d is <= threshold exactly when it is <= floor(threshold).
    return threshold >= m ? maximum : static_cast<std::size_t>(threshold);
  }
  if (maximum == 0 || threshold >= 1.0) return maximum;
  // fl(k / m) never decreases as k grows, so the distances within the threshold are 0..k for
  // one k; the rounded product lands next to it, and the two loops settle it exactly.
  auto k = static_cast<std::size_t>(threshold * m);
  while (k < maximum && static_cast<double>(k + 1) / m <= threshold) ++k;
  while (k > 0 && static_cast<double>(k) / m > threshold) --k;
  return k;
}

}  // namespace

std::optional<Metric> parse_metric(std::string_view name) {
  static constexpr std::pair<std::string_view, Metric> kNames[] = {
      {"levenshtein", Metric::levenshtein},
      {"damerau_levenshtein", Metric::damerau_levenshtein},
      {"osa", Metric::osa},
      {"hamming", Metric::hamming},
      {"indel", Metric::indel},
      {"lcs_seq", Metric::lcs_seq},
      {"prefix", Metric::prefix},
      {"postfix", Metric::postfix},
      {"jaro", Metric::jaro},
      {"jaro_winkler", Metric::jaro_winkler},
  };
  for (const auto& [known, metric] : kNames) {
    if (name == known) return metric;
  }
  return std::nullopt;
}

std::optional<Verdict> search(std::u32string_view candidate, std::u32string_view pattern,
                              std::string_view metric, std::uint8_t threshold_kind,
                              double threshold) {
  const std::optional<Metric> selected = parse_metric(metric);
  if (!selected) return std::nullopt;
  const double score = reference_score(*selected, candidate, pattern, threshold_kind != 0);
  return Verdict{score <= threshold, score};
}

struct CachedSearch::Impl {
  Metric metric;
  bool normalised;
  double threshold;
  bool never;
  // Jaro and Jaro-Winkler: a similarity below this scores beyond the threshold (a slack below
  // 1 - threshold), so rapidfuzz may give up on it early.
  double similarity_cutoff = 0.0;
  std::u32string pattern;
  // Built from the pattern once; Jaro and Jaro-Winkler keep none, so that the candidate stays
  // the first string exactly as in `search` (their greedy matching is not obviously symmetric).
  std::variant<std::monostate, rapidfuzz::CachedLevenshtein<char32_t>,
               rapidfuzz::experimental::CachedDamerauLevenshtein<char32_t>,
               rapidfuzz::CachedOSA<char32_t>, rapidfuzz::CachedHamming<char32_t>,
               rapidfuzz::CachedLCSseq<char32_t>, rapidfuzz::CachedPrefix<char32_t>,
               rapidfuzz::CachedPostfix<char32_t>>
      scorer;
  // Damerau-Levenshtein: rules out most candidates before the full computation.
  std::optional<rapidfuzz::CachedLCSseq<char32_t>> lcs_bound;

  Verdict judge(double score) const { return {score <= threshold, score}; }

  // The divisor of the metric's normalised distance.
  std::size_t maximum(std::size_t candidate_chars) const;

  // The verdict of a metric whose distance never exceeds `maximum`; `distance(cutoff)` must be
  // exact up to the cutoff and above it beyond.
  template <class Distance>
  Verdict within(std::size_t maximum, Distance&& distance) const {
    const std::size_t allowed = allowed_within(maximum, normalised, threshold);
    const std::size_t found = distance(allowed);
    if (found > allowed) return {false, kNoScore};
    return judge(to_score(found, maximum, normalised));
  }

  // `within`, with the exact cutoff handed to the cached scorer.
  template <class Scorer, class Candidate>
  Verdict by_distance(const Candidate& c, std::size_t maximum) const {
    return within(maximum, [&](std::size_t allowed) {
      return std::get<Scorer>(scorer).distance(c, allowed);
    });
  }

  template <class Candidate>
  Verdict indel(const Candidate& c) const {
    const std::size_t total = c.size() + pattern.size();
    const std::size_t allowed = allowed_within(total, normalised, threshold);
    // total - 2 * lcs <= allowed exactly when lcs reaches this; shorter ones come back as 0.
    const std::size_t needed = allowed >= total ? 0 : (total - allowed + 1) / 2;
    const std::size_t lcs =
        std::get<rapidfuzz::CachedLCSseq<char32_t>>(scorer).similarity(c, needed);
    if (lcs < needed) return {false, kNoScore};
    return judge(to_score(total - 2 * lcs, total, normalised));
  }

  // The verdict for a candidate of code units of any width, each one character.
  template <class Candidate>
  Verdict verdict(const Candidate& c) const;

  // Latin-1 candidates. Bit b of latin1_in_pattern[b / 64] is set when the pattern holds byte b.
  std::uint64_t latin1_in_pattern[4] = {0, 0, 0, 0};

  bool in_pattern(std::uint8_t b) const { return (latin1_in_pattern[b >> 6] >> (b & 63)) & 1; }

  // False when `c` holds more characters that the pattern lacks than the threshold allows edits:
  // under every distance metric each of them costs an edit of its own, so it cannot match. Only
  // Latin-1 characters are looked up; wider ones are not counted.
  template <class Unit>
  bool may_match(std::span<const Unit> c) const;
};

std::optional<CachedSearch> CachedSearch::create(std::u32string_view pattern,
                                                 std::string_view metric,
                                                 std::uint8_t threshold_kind, double threshold) {
  const std::optional<Metric> selected = parse_metric(metric);
  if (!selected) return std::nullopt;
  auto impl = std::make_unique<Impl>();
  impl->metric = *selected;
  impl->normalised = threshold_kind != 0;
  impl->threshold = threshold;
  // Scores are never negative, so -0.0 still admits exact matches.
  impl->never = std::isnan(threshold) || threshold < 0.0;
  impl->pattern.assign(pattern);
  if (!impl->never) impl->similarity_cutoff = std::max(0.0, 1.0 - threshold - kBoundSlack);
  for (const char32_t ch : pattern) {
    if (ch < 256) impl->latin1_in_pattern[ch >> 6] |= std::uint64_t{1} << (ch & 63);
  }
  // An empty pattern takes the reference path: rapidfuzz's cached scorers are not built for it.
  if (!pattern.empty() && !impl->never) {
    const std::u32string& p = impl->pattern;
    switch (*selected) {
      case Metric::levenshtein:
        impl->scorer.emplace<rapidfuzz::CachedLevenshtein<char32_t>>(p);
        break;
      case Metric::damerau_levenshtein:
        impl->scorer.emplace<rapidfuzz::experimental::CachedDamerauLevenshtein<char32_t>>(p);
        impl->lcs_bound.emplace(p);
        break;
      case Metric::osa:
        impl->scorer.emplace<rapidfuzz::CachedOSA<char32_t>>(p);
        break;
      case Metric::hamming:
        impl->scorer.emplace<rapidfuzz::CachedHamming<char32_t>>(p);
        break;
      case Metric::indel:
      case Metric::lcs_seq:
        impl->scorer.emplace<rapidfuzz::CachedLCSseq<char32_t>>(p);
        break;
      case Metric::prefix:
        impl->scorer.emplace<rapidfuzz::CachedPrefix<char32_t>>(p);
        break;
      case Metric::postfix:
        impl->scorer.emplace<rapidfuzz::CachedPostfix<char32_t>>(p);
        break;
      case Metric::jaro:
      case Metric::jaro_winkler:
        break;
    }
  }
  return CachedSearch(std::move(impl));
}

namespace {

// What one verdict costs per character of the candidate, in poll() units.
std::uint64_t work_per_char(Metric metric, std::uint64_t pattern_chars) {
  switch (metric) {
    case Metric::hamming:
    case Metric::prefix:
    case Metric::postfix:
      return 1;
    // A cell of its matrix per pair of characters.
    case Metric::damerau_levenshtein:
      return pattern_chars / 8 + 1;
    // Bit-parallel: a step per character and 64 characters of the pattern.
    default:
      return pattern_chars / 64 + 1;
  }
}

}  // namespace

CachedSearch::CachedSearch(std::unique_ptr<Impl> impl)
    : impl_(std::move(impl)), work_per_char_(work_per_char(impl_->metric, impl_->pattern.size())) {}
CachedSearch::CachedSearch(CachedSearch&&) noexcept = default;
CachedSearch& CachedSearch::operator=(CachedSearch&&) noexcept = default;
CachedSearch::~CachedSearch() = default;

bool CachedSearch::never_matches() const {
  return impl_->never;
}

std::optional<std::size_t> CachedSearch::levenshtein_bound(std::size_t candidate_chars) const {
  const Impl& s = *impl_;
  if (s.never) return 0;
  // Every distance below is at most the divisor of its normalised score, and the divisor only
  // grows with the candidate, so the allowed distance at the largest divisor bounds them all.
  const std::size_t longer = std::max(candidate_chars, s.pattern.size());
  switch (s.metric) {
    case Metric::levenshtein:
    // Substitutions only; unequal lengths score the longer length, which bounds the distance.
    case Metric::hamming:
    // Edits beyond the common prefix (suffix) turn one string into the other.
    case Metric::prefix:
    case Metric::postfix:
      return allowed_within(longer, s.normalised, s.threshold);
    case Metric::indel:
      return allowed_within(candidate_chars + s.pattern.size(), s.normalised, s.threshold);
    // A transposition costs two Levenshtein edits, and so does every step the unrestricted
    // variant takes; max(len) - LCS is at least half the indel distance.
    case Metric::damerau_levenshtein:
    case Metric::osa:
    case Metric::lcs_seq:
      return 2 * allowed_within(longer, s.normalised, s.threshold);
    case Metric::jaro:
    case Metric::jaro_winkler:
      break;
  }
  return std::nullopt;
}

Metric CachedSearch::metric() const {
  return impl_->metric;
}

double CachedSearch::threshold() const {
  return impl_->threshold;
}

std::size_t CachedSearch::Impl::maximum(std::size_t candidate_chars) const {
  return metric == Metric::indel ? candidate_chars + pattern.size()
                                 : std::max(candidate_chars, pattern.size());
}

// Kept in step with the branches of verdict(), which it must equal.
Verdict CachedSearch::distance_verdict(std::size_t distance, std::size_t candidate_chars) const {
  const Impl& s = *impl_;
  if (s.never) return {false, kNoScore};
  if (candidate_chars == 0 || s.pattern.empty() ||
      (s.metric == Metric::hamming && candidate_chars != s.pattern.size())) {
    // Only the lengths count: the reference scores such a pair as wholly different, or both
    // empty as equal.
    const std::size_t longer = std::max(candidate_chars, s.pattern.size());
    return s.judge(longer == 0 ? 0.0 : s.normalised ? 1.0 : static_cast<double>(longer));
  }
  return s.within(s.maximum(candidate_chars), [distance](std::size_t) { return distance; });
}

std::size_t CachedSearch::allowed_distance(std::size_t candidate_chars) const {
  const Impl& s = *impl_;
  return allowed_within(s.maximum(candidate_chars), s.normalised, s.threshold);
}

bool CachedSearch::may_match_length(std::size_t candidate_chars) const {
  const Impl& s = *impl_;
  if (s.never) return false;
  const std::size_t n = candidate_chars;
  const std::size_t m = s.pattern.size();
  // Empty strings have scores of their own.
  if (n == 0 || m == 0) return true;
  switch (s.metric) {
    case Metric::hamming:
      return n == m || s.judge(s.normalised ? 1.0 : static_cast<double>(std::max(n, m))).matched;
    case Metric::jaro:
    case Metric::jaro_winkler:
      return may_match_jaro(n, std::min(n, m), std::min<std::size_t>({n, m, 4}));
    default:
      // Every edit changes the length by one character at most.
      return (n > m ? n - m : m - n) <= allowed_distance(n);
  }
}

Verdict CachedSearch::similarity_verdict(double similarity) const {
  const Impl& s = *impl_;
  if (s.never) return {false, kNoScore};
  // The normalised distance rapidfuzz derives: 1 - similarity, divided by a maximum of 1.
  return s.judge(1.0 - similarity);
}

bool CachedSearch::may_match_jaro(std::size_t candidate_chars, std::size_t common,
                                  std::size_t prefix, std::size_t transpositions) const {
  const Impl& s = *impl_;
  if (s.never) return false;
  const std::size_t n = candidate_chars;
  const std::size_t m = s.pattern.size();
  if (n == 0 || m == 0) return true;
  // Jaro counts at most min(n, m) and at most `common` characters as matching, and no
  // transposition makes it higher; the bound is the real-valued one, widened by far more than
  // the rounding of rapidfuzz's few operations, so that it never rules out a match.
  const std::size_t counted = std::min({common, n, m});
  const auto shared = static_cast<double>(counted);
  // Fewer transpositions than given score higher; none beyond half the matches are counted.
  const double kept =
      counted == 0 ? 1.0
                   : static_cast<double>(counted - std::min(transpositions, counted / 2)) / shared;
  double bound = (shared / static_cast<double>(n) + shared / static_cast<double>(m) + kept) / 3.0;
  if (s.metric == Metric::jaro_winkler && bound > 0.7) {
    bound += static_cast<double>(prefix) * kJaroWinklerPrefixWeight * (1.0 - bound);
  }
  return 1.0 - bound - kBoundSlack <= s.threshold;
}

template <class Candidate>
Verdict CachedSearch::Impl::verdict(const Candidate& c) const {
  if (never) return {false, kNoScore};
  const std::u32string_view p = pattern;
  if (c.empty() || p.empty()) return judge(reference_score(metric, c, p, normalised));
  const std::size_t longer = std::max(c.size(), p.size());
  switch (metric) {
    case Metric::levenshtein:
      return by_distance<rapidfuzz::CachedLevenshtein<char32_t>>(c, longer);
    case Metric::damerau_levenshtein: {
      // Each edit loses the LCS one character at most, so max(n, m) - LCS bounds the distance
      // from below; the bit-parallel LCS costs little beside the full matrix it spares.
      const std::size_t allowed = allowed_within(longer, normalised, threshold);
      if (allowed < longer && lcs_bound->similarity(c, longer - allowed) < longer - allowed) {
        return {false, kNoScore};
      }
      return by_distance<rapidfuzz::experimental::CachedDamerauLevenshtein<char32_t>>(c, longer);
    }
    case Metric::osa:
      return by_distance<rapidfuzz::CachedOSA<char32_t>>(c, longer);
    case Metric::hamming:
      if (c.size() != p.size()) return judge(reference_score(metric, c, p, normalised));
      return by_distance<rapidfuzz::CachedHamming<char32_t>>(c, longer);
    case Metric::indel:
      return indel(c);
    case Metric::lcs_seq:
      return by_distance<rapidfuzz::CachedLCSseq<char32_t>>(c, longer);
    case Metric::prefix:
      return by_distance<rapidfuzz::CachedPrefix<char32_t>>(c, longer);
    case Metric::postfix:
      return by_distance<rapidfuzz::CachedPostfix<char32_t>>(c, longer);
    case Metric::jaro:
    case Metric::jaro_winkler: {
      // The similarity the reference computes, given up early once it cannot reach the cutoff.
      const double sim = metric == Metric::jaro
                             ? rapidfuzz::jaro_similarity(c, p, similarity_cutoff)
                             : rapidfuzz::jaro_winkler_similarity(c, p, kJaroWinklerPrefixWeight,
                                                                  similarity_cutoff);
      if (similarity_cutoff > 0.0 && (sim == 0.0 || sim < similarity_cutoff)) {
        return {false, kNoScore};
      }
      return judge(1.0 - sim);
    }
  }
  return judge(reference_score(metric, c, p, normalised));
}

Verdict CachedSearch::operator()(std::u32string_view c) const {
  return impl_->verdict(c);
}

// ---- Latin-1 and UCS-2 candidates --------------------------------------------------------------
// The scorers compare elements by value, so narrow units need no widening: each is its code point.

template <class Unit>
bool CachedSearch::Impl::may_match(std::span<const Unit> c) const {
  // Empty strings take the reference path, Jaro has no edits to count.
  if (never || c.empty() || pattern.empty() || metric == Metric::jaro ||
      metric == Metric::jaro_winkler) {
    return true;
  }
  // The divisor of every normalised distance: a bound on the distance, which it stays within.
  const std::size_t maximum =
      metric == Metric::indel ? c.size() + pattern.size() : std::max(c.size(), pattern.size());
  const std::size_t allowed = allowed_within(maximum, normalised, threshold);
  // Counted in full: a branch per byte would mispredict on every other one.
  std::size_t absent = 0;
  for (const Unit u : c) {
    if constexpr (sizeof(Unit) == 1) {
      absent += !in_pattern(u);
    } else {
      absent += u < 256 && !in_pattern(static_cast<std::uint8_t>(u));
    }
  }
  return absent <= allowed;
}

Verdict CachedSearch::operator()(std::span<const std::uint8_t> c) const {
  if (!impl_->may_match(c)) return {false, kNoScore};
  return impl_->verdict(c);
}

Verdict CachedSearch::operator()(std::span<const char16_t> c) const {
  if (!impl_->may_match(c)) return {false, kNoScore};
  return impl_->verdict(c);
}

// ---- end of Latin-1 and UCS-2 candidates -------------------------------------------------------

}  // namespace veskal::comparator::fuzzy
