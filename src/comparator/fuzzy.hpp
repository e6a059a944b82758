#pragma once

#include <cstdint>
#include <optional>
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

}  // namespace veskal::comparator::fuzzy
