#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "iterator/tokens.hpp"
#include "match.hpp"

namespace veskal::fuzzy_token_extract {

// Every run of as many tokens as `pattern` holds within `threshold` of the pattern under
// `metric`, reduced by `strategies`. Fails on an unknown metric name when a run is compared, and
// when the normalised pattern and tokenizer pattern are both empty.
Extraction extract(std::string_view s, std::string pattern, std::string tokenizer_pattern,
                   bool case_insensitive, bool special_char_insensitive, std::string metric,
                   double threshold, std::uint8_t threshold_kind,
                   std::vector<std::string> strategies);

namespace detail {

// Judges a run of tokens against one normalised pattern as `extract` does.
class RunJudge {
 public:
  // Nothing when `metric` is unknown.
  static std::optional<RunJudge> create(std::string_view pattern, std::string_view metric,
                                        double threshold, std::uint8_t threshold_kind);

  RunJudge(RunJudge&&) noexcept;
  RunJudge& operator=(RunJudge&&) noexcept;
  ~RunJudge();

  // True when no run can match whatever its score.
  bool never_matches() const;
  // comparator::fuzzy::CachedSearch::levenshtein_bound for the trimmed pattern.
  std::optional<std::size_t> levenshtein_bound(std::size_t candidate_chars) const;
  // The run as a match, or nothing; `scratch` is working space.
  std::optional<Match> operator()(const iterator::tokens::Item& item,
                                  std::u32string& scratch) const;

 private:
  struct Impl;
  explicit RunJudge(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> impl_;
};

// `extract` on a text, pattern and tokenizer pattern already normalised.
Extraction extract_normalised(std::string_view text, std::string_view pattern,
                              std::string_view tokenizer_pattern, std::string_view metric,
                              double threshold, std::uint8_t threshold_kind,
                              const std::vector<std::string>& strategies);

}  // namespace detail

}  // namespace veskal::fuzzy_token_extract
