#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>

namespace veskal::comparator::fuzzy {

// The ten metrics a name can select.
enum class Metric {
  levenshtein,
  damerau_levenshtein,
  osa,
  hamming,
  indel,
  lcs_seq,
  prefix,
  postfix,
  jaro,
  jaro_winkler,
};

// The metric that `name` names exactly (case-sensitive, untrimmed), or nothing.
std::optional<Metric> parse_metric(std::string_view name);

// Whether a candidate lies within the threshold, and its score (reported either way).
struct Verdict {
  bool matched;
  double score;

  friend bool operator==(const Verdict&, const Verdict&) = default;
};

// Scores `candidate` (first string) against `pattern` under `metric`: raw distance when
// `threshold_kind` is 0, normalised otherwise; matched when score <= threshold. Nothing when the
// metric name is unknown.
std::optional<Verdict> search(std::u32string_view candidate, std::u32string_view pattern,
                              std::string_view metric, std::uint8_t threshold_kind,
                              double threshold);

// `search` against one fixed pattern, prepared once for the many candidates of one extraction.
// Verdicts equal those of `search`; the score equals it bit for bit whenever the candidate
// matches, and is meaningless otherwise.
class CachedSearch {
 public:
  // Nothing when the metric name is unknown.
  static std::optional<CachedSearch> create(std::u32string_view pattern, std::string_view metric,
                                            std::uint8_t threshold_kind, double threshold);

  CachedSearch(CachedSearch&&) noexcept;
  CachedSearch& operator=(CachedSearch&&) noexcept;
  ~CachedSearch();

  // The verdict for `candidate`, which is compared as the first string.
  Verdict operator()(std::u32string_view candidate) const;

  // operator() for candidates stored at narrower widths: Latin-1 bytes and UCS-2 units, each
  // one character. The same verdicts, without widening them.
  Verdict operator()(std::span<const std::uint8_t> candidate) const;
  Verdict operator()(std::span<const char16_t> candidate) const;

  // True when no candidate can match whatever its score (a NaN or negative threshold).
  bool never_matches() const;

  // An upper bound on the Levenshtein distance between the pattern and every matching candidate
  // of at most `candidate_chars` characters; nothing when the metric offers none (Jaro,
  // Jaro-Winkler).
  std::optional<std::size_t> levenshtein_bound(std::size_t candidate_chars) const;

  // The metric selected.
  Metric metric() const;

  // The threshold as the verdicts apply it: with metric() and never_matches(), all that
  // may_match_jaro() reads of the search besides the pattern's length.
  double threshold() const;

  // The verdict operator() gives a candidate of `candidate_chars` characters at distance
  // `distance` from the pattern under the metric, for callers that compute distances in bulk:
  // Hamming's for a candidate of the pattern's length (any other length ignores `distance`),
  // Indel's from the LCS as n + m - 2 * LCS. Not for Jaro and Jaro-Winkler.
  Verdict distance_verdict(std::size_t distance, std::size_t candidate_chars) const;

  // False only when no candidate of `candidate_chars` characters can match, whatever its
  // characters: the difference in length alone scores beyond the threshold.
  bool may_match_length(std::size_t candidate_chars) const;

  // The largest distance at which a candidate of `candidate_chars` characters matches under a
  // metric scored by a distance (not Jaro, Jaro-Winkler).
  std::size_t allowed_distance(std::size_t candidate_chars) const;

  // The verdict for a Jaro or Jaro-Winkler similarity computed in bulk, as rapidfuzz's.
  Verdict similarity_verdict(double similarity) const;

  // False only when no candidate of `candidate_chars` characters that shares at most `common`
  // characters with the pattern (as multisets) and begins with at most `prefix` of its first
  // characters (up to four) can match under Jaro or Jaro-Winkler, counting at least
  // `transpositions` transpositions among the matching characters.
  bool may_match_jaro(std::size_t candidate_chars, std::size_t common, std::size_t prefix,
                      std::size_t transpositions = 0) const;

  // Roughly what one verdict on a candidate of `candidate_chars` characters costs, in the units
  // cancel::poll() counts: searches whose candidates vary widely in length count each by it, so
  // that a run of long ones cannot hold off the check.
  std::uint64_t work(std::size_t candidate_chars) const {
    return candidate_chars * work_per_char_ + 1;
  }

 private:
  struct Impl;
  explicit CachedSearch(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> impl_;
  std::uint64_t work_per_char_;
};

}  // namespace veskal::comparator::fuzzy
