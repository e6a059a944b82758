#include "fuzzy_token_extract.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "comparator/fuzzy.hpp"
#include "conflict_solver/solver.hpp"
#include "iterator/tokens.hpp"
#include "preprocessor.hpp"
#include "text.hpp"

namespace veskal::fuzzy_token_extract {
namespace {

// `extract` over the UTF-8 `text` stored at every width that holds it, which must agree.
Extraction extract(std::string_view text, const std::string& pattern, const std::string& separator,
                   bool ci, bool sci, const std::string& metric, double threshold,
                   std::uint8_t kind, const std::vector<std::string>& strategies) {
  std::optional<Extraction> first;
  for (const text::OwnedText& owned : text::OwnedText::every_width(text::decode(text))) {
    Extraction got = fuzzy_token_extract::extract(owned.view(), pattern, separator, ci, sci, metric,
                                                  threshold, kind, strategies);
    if (!first) {
      first = std::move(got);
      continue;
    }
    EXPECT_EQ(got.ok(), first->ok());
    EXPECT_EQ(got.matches(), first->matches()) << "width " << int(owned.view().width());
  }
  return std::move(*first);
}

struct TokenCase {
  const char* name;
  std::string text;
  std::string pattern;
  std::string separator;
  double threshold;
  std::uint8_t kind;
  std::vector<Match> expected;
  bool case_insensitive = false;
};

class FuzzyTokenExtract : public testing::TestWithParam<TokenCase> {};

TEST_P(FuzzyTokenExtract, FindsTheExpectedRuns) {
  const TokenCase& c = GetParam();
  const Extraction got = extract(c.text, c.pattern, c.separator, c.case_insensitive, false,
                                 "levenshtein", c.threshold, c.kind, {});
  ASSERT_TRUE(got.ok()) << got.message();
  EXPECT_EQ(got.matches(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FuzzyTokenExtract,
    testing::Values(
        TokenCase{"SingleToken", "a b", "b", " ", 0, 0, {{2, 3, 0.0}}},
        // Items (0,8) "new york" scores 2, (4,13) "york city" scores 8.
        TokenCase{"TwoTokens", "new york city", "new yrok", " ", 2, 0, {{0, 8, 2.0}}},
        TokenCase{"TwoTokensNormalised", "new york city", "new yrok", " ", 0.25, 1, {{0, 8, 0.25}}},
        TokenCase{"FewerTokensThanPattern", "new york", "new york city", " ", 100, 0, {}},
        // The blanks between tokens take part in the comparison.
        TokenCase{"SeparatorsInside", "new   york", "new york", " ", 2, 0, {{0, 10, 2.0}}},
        TokenCase{"SeparatorsInsideTooFar", "new   york", "new york", " ", 1, 0, {}},
        // Two blanks make three pattern tokens; trimmed, the pattern keeps both blanks.
        TokenCase{"EmptyPieceCounts", "a b c d", "b  d", " ", 1, 0, {{2, 7, 1.0}}},
        // A trailing separator adds a token to the window but is trimmed from the pattern.
        TokenCase{"TrailingSeparator", "x ab cd", "ab ", " ", 2, 0, {{0, 4, 2.0}}},
        // The separator is normalised with the text: "X" cuts at every "x".
        TokenCase{"NormalisedSeparator", "axbxc", "B", "X", 0, 0, {{2, 3, 0.0}}, true},
        // A line feed compares as the space it normalises to, inside a run or between tokens.
        TokenCase{"LineFeedInsideARun", "x-new\nyork-y", "new york", "-", 0, 0, {{2, 10, 0.0}}},
        TokenCase{"LineFeedBetweenTokens", "new\nyork", "new york", " ", 0, 0, {{0, 8, 0.0}}}),
    [](const testing::TestParamInfo<TokenCase>& p) { return p.param.name; });

TEST(FuzzyTokenEngine, EmptyPatternAndSeparatorFault) {
  for (const char* metric : {"levenshtein", "lev"}) {
    const Extraction got = extract("abc", "", "", false, false, metric, 1, 0, {});
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.message().rfind("index out of bounds: the len is 1 but the index is ", 0), 0u)
        << got.message();
  }
}

TEST(FuzzyTokenEngine, UnknownMetricFailsOnlyWhenARunIsCompared) {
  const Extraction compared = extract("a b", "b", " ", false, false, "lev", 1, 0, {});
  ASSERT_FALSE(compared.ok());
  EXPECT_EQ(compared.message(), "Invalid distance metric");
  const Extraction none = extract("a b", "a b c", " ", false, false, "lev", 1, 0, {});
  EXPECT_TRUE(none.ok());
  EXPECT_TRUE(none.matches().empty());
}

TEST(FuzzyTokenEngine, KindChangesOnlyTheComparison) {
  // Every item matches under both kinds; the spans agree, the scores follow the kind.
  const auto spans = [](std::uint8_t kind, double threshold) {
    const Extraction got =
        extract("ab cd ef gh", "xx yy", " ", false, false, "hamming", threshold, kind, {"longest"});
    std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
    for (const Match& m : got.matches()) out.emplace_back(m.start, m.end);
    return out;
  };
  EXPECT_EQ(spans(0, 10), spans(1, 1.0));
}

// Every run compared in full, with no shortcut: what the engine must equal whatever it skips.
Extraction every_run(const std::string& text, const std::string& pattern,
                     const std::string& separator, const std::string& metric, double threshold,
                     std::uint8_t kind, const std::vector<std::string>& strategies,
                     bool ci = false) {
  return detail::every_run(text::decode(preprocessor::preprocess(text, ci, false)),
                           text::decode(preprocessor::preprocess(pattern, ci, false)),
                           text::decode(preprocessor::preprocess(separator, ci, false)), metric,
                           threshold, kind, strategies);
}

// Runs are skipped by their length alone, or by the characters they hold that the pattern lacks,
// where the metric allows it; the thresholds sit on and next to the values that a difference in
// length can score, raw and normalised. U+1061 shares a bit of the character filter with 'a'.
TEST(FuzzyTokenEngine, SkippingByLengthAndCharactersChangesNothing) {
  std::mt19937 rng(31);
  const std::vector<std::string> alphabet = {
      "a", "b",  " ",        " ",        "\xC3\xA9",         "\xC2\xA0",    "c",
      "-", "\n", "\xC5\x93", "\xC3\xBF", "\xF0\x9F\x98\x80", "\xE1\x81\xA1"};
  const std::vector<std::string> metrics = {"levenshtein", "damerau_levenshtein",
                                            "osa",         "indel",
                                            "lcs_seq",     "hamming",
                                            "prefix",      "postfix",
                                            "jaro",        "jaro_winkler"};
  const double thresholds[] = {0,   1,   1.5,     2,
                               3,   0.2, 0.25,    1.0 / 3,
                               0.4, 0.5, 2.0 / 3, std::numeric_limits<double>::infinity()};
  const auto random_text = [&](std::size_t max_chars) {
    std::string s;
    for (std::size_t k = rng() % (max_chars + 1); k > 0; --k) {
      s += alphabet[rng() % alphabet.size()];
    }
    return s;
  };
  for (int trial = 0; trial < 6000; ++trial) {
    const std::string text = random_text(30);
    const std::string pattern = random_text(trial % 3 == 0 ? 12 : 7);
    const std::string separator = rng() % 4 == 0 ? "-" : " ";
    const std::string& metric = metrics[rng() % metrics.size()];
    const double threshold = thresholds[rng() % std::size(thresholds)];
    const auto kind = static_cast<std::uint8_t>(rng() % 2);
    const std::vector<std::string> strategies =
        rng() % 2 == 0 ? std::vector<std::string>{} : std::vector<std::string>{"best_match"};
    const Extraction got =
        extract(text, pattern, separator, false, false, metric, threshold, kind, strategies);
    const Extraction want =
        every_run(text, pattern, separator, metric, threshold, kind, strategies);
    ASSERT_EQ(got.ok(), want.ok());
    ASSERT_EQ(got.matches(), want.matches())
        << "text=" << text << " pattern=" << pattern << " metric=" << metric
        << " threshold=" << threshold << " kind=" << int(kind);
    // With a flag the text is normalised by stretches of a few units, each holding a few units
    // beyond its last start: wherever that search answers, its runs are the copy's.
    if (trial % 2 == 0) {
      const std::string upper = text + "\xC3\x89 \xC4\xB0" + text;
      const text::OwnedText owned = text::OwnedText::from_utf8(upper);
      const auto streamed = detail::search_streamed(
          owned.view(), preprocessor::normalise_pattern(pattern, true, false),
          preprocessor::normalise_pattern(separator, true, false), true, false, metric, threshold,
          kind, strategies, nullptr, 1 + rng() % 8, 1 + rng() % 12);
      if (streamed) {
        ASSERT_EQ(streamed->matches(),
                  every_run(upper, pattern, separator, metric, threshold, kind, strategies, true)
                      .matches())
            << "text=" << upper << " pattern=" << pattern << " metric=" << metric;
      }
    }
  }
}

}  // namespace
}  // namespace veskal::fuzzy_token_extract
