#include "comparator/fuzzy.hpp"

#include <gtest/gtest.h>
#include <rapidfuzz/distance.hpp>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace veskal::comparator::fuzzy {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const std::vector<std::string> kMetrics = {
    "levenshtein", "damerau_levenshtein", "osa", "hamming", "indel", "lcs_seq", "prefix", "postfix",
    "jaro",        "jaro_winkler",
};

bool is_jaro(const std::string& metric) {
  return metric.rfind("jaro", 0) == 0;
}

double score(std::u32string_view candidate, std::u32string_view pattern, const std::string& metric,
             std::uint8_t kind) {
  return search(candidate, pattern, metric, kind, kInf)->score;
}

struct ScoreCase {
  const char* metric;
  std::u32string candidate;
  std::u32string pattern;
  std::uint8_t kind;
  double expected;
};

class FuzzyScores : public testing::TestWithParam<ScoreCase> {};

TEST_P(FuzzyScores, MatchTheMetricTable) {
  const ScoreCase& c = GetParam();
  EXPECT_NEAR(score(c.candidate, c.pattern, c.metric, c.kind), c.expected, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FuzzyScores,
    testing::Values(ScoreCase{"levenshtein", U"saturday", U"sunday", 0, 3.0},
                    ScoreCase{"levenshtein", U"saturday", U"sunday", 1, 3.0 / 8.0},
                    ScoreCase{"levenshtein", U"saturday", U"sunday", 2, 3.0 / 8.0},
                    ScoreCase{"hamming", U"abc", U"abd", 0, 1.0},
                    ScoreCase{"hamming", U"abc", U"abd", 1, 1.0 / 3.0},
                    ScoreCase{"hamming", U"abc", U"abcd", 0, 4.0},
                    ScoreCase{"hamming", U"abc", U"abcd", 1, 1.0},
                    // Lengths are characters: two 2-byte letters against three ASCII ones.
                    ScoreCase{"hamming", U"\u00e9\u00e9", U"abc", 0, 3.0},
                    ScoreCase{"indel", U"abc", U"abd", 0, 2.0},
                    ScoreCase{"indel", U"abc", U"abd", 1, 2.0 / 6.0},
                    ScoreCase{"lcs_seq", U"abcx", U"abd", 0, 2.0},
                    ScoreCase{"prefix", U"abcx", U"abd", 0, 2.0},
                    ScoreCase{"postfix", U"xbc", U"abc", 1, 1.0 / 3.0},
                    // Unrestricted transpositions: "ca" -> "abc" costs 2, OSA needs 3.
                    ScoreCase{"damerau_levenshtein", U"ca", U"abc", 0, 2.0},
                    ScoreCase{"osa", U"ca", U"abc", 0, 3.0},
                    ScoreCase{"jaro", U"martha", U"marhta", 0, 1.0 - 17.0 / 18.0},
                    ScoreCase{"jaro", U"martha", U"marhta", 1, 1.0 - 17.0 / 18.0}));

TEST(FuzzySearch, RawThresholdIsInclusive) {
  EXPECT_TRUE(search(U"saturday", U"sunday", "levenshtein", 0, 3.0)->matched);
  EXPECT_FALSE(search(U"saturday", U"sunday", "levenshtein", 0, 2.9)->matched);
}

TEST(FuzzySearch, EmptyStrings) {
  for (const std::string& metric : kMetrics) {
    for (const std::uint8_t kind : {std::uint8_t{0}, std::uint8_t{1}}) {
      SCOPED_TRACE(metric + " kind " + std::to_string(kind));
      const Verdict both = *search(U"", U"", metric, kind, 0.0);
      EXPECT_TRUE(both.matched);
      EXPECT_EQ(both.score, 0.0);
      const double one_sided = kind != 0 || is_jaro(metric) ? 1.0 : 4.0;
      EXPECT_EQ(score(U"", U"ab\u00e9d", metric, kind), one_sided);
      EXPECT_EQ(score(U"ab\u00e9d", U"", metric, kind), one_sided);
    }
  }
}

TEST(FuzzySearch, NanThresholdMatchesNothing) {
  for (const std::string& metric : kMetrics) {
    EXPECT_FALSE(search(U"abc", U"abc", metric, 0, kNaN)->matched) << metric;
    EXPECT_FALSE(search(U"", U"", metric, 1, kNaN)->matched) << metric;
  }
}

TEST(FuzzyParseMetric, OnlyExactNames) {
  for (const std::string& metric : kMetrics) EXPECT_TRUE(parse_metric(metric)) << metric;
  for (const char* name :
       {"Levenshtein", "lev", "", " levenshtein", "levenshtein ", "jaro-winkler"}) {
    EXPECT_FALSE(parse_metric(name)) << name;
    EXPECT_FALSE(search(U"a", U"a", name, 0, 1.0)) << name;
    EXPECT_FALSE(CachedSearch::create(U"a", name, 0, 1.0)) << name;
  }
  EXPECT_FALSE(parse_metric(std::string_view("osa\0", 4)));
}

// The bytes of `s` when every character is ASCII, else nothing.
// `s` as units of `Unit`, when every character fits one.
template <class Unit>
std::optional<std::vector<Unit>> narrow(std::u32string_view s) {
  std::vector<Unit> out;
  for (const char32_t c : s) {
    if (c > std::numeric_limits<Unit>::max()) return std::nullopt;
    out.push_back(static_cast<Unit>(c));
  }
  return out;
}

// The distance a metric scores, for the verdicts of distances computed in bulk (Indel's from the
// LCS; Hamming's only for equal lengths).
std::size_t distance(const std::string& metric, std::u32string_view c, std::u32string_view p) {
  namespace rf = rapidfuzz;
  if (metric == "levenshtein") return rf::levenshtein_distance(c, p);
  if (metric == "damerau_levenshtein") return rf::experimental::damerau_levenshtein_distance(c, p);
  if (metric == "osa") return rf::osa_distance(c, p);
  if (metric == "hamming") return c.size() == p.size() ? rf::hamming_distance(c, p) : 0;
  if (metric == "indel") return c.size() + p.size() - 2 * rf::lcs_seq_similarity(c, p);
  if (metric == "lcs_seq") return rf::lcs_seq_distance(c, p);
  if (metric == "prefix") return rf::prefix_distance(c, p);
  return rf::postfix_distance(c, p);
}

// How many characters two strings share as multisets.
std::size_t shared(std::u32string c, std::u32string p) {
  std::sort(c.begin(), c.end());
  std::sort(p.begin(), p.end());
  std::u32string both;
  std::set_intersection(c.begin(), c.end(), p.begin(), p.end(), std::back_inserter(both));
  return both.size();
}

// The cached scorer hands rapidfuzz exact cutoffs and compares ASCII candidates undecoded; it
// must agree with the full computation on every verdict, and bit for bit on the score of every
// match.
class FuzzyCachedAgreesWithSearch
    : public testing::TestWithParam<std::tuple<std::string, std::u32string>> {};

TEST_P(FuzzyCachedAgreesWithSearch, OnRandomStrings) {
  const std::string& metric = std::get<0>(GetParam());
  const std::u32string& alphabet = std::get<1>(GetParam());
  std::mt19937_64 rng(std::hash<std::string>{}(metric) + alphabet.size());
  const auto random_string = [&](std::size_t max_len) {
    std::u32string s(rng() % (max_len + 1), U'a');
    for (char32_t& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
  };
  const auto mutate = [&](std::u32string s) {
    for (int edits = static_cast<int>(rng() % 4); edits > 0; --edits) {
      const std::size_t at = s.empty() ? 0 : rng() % s.size();
      switch (rng() % 3) {
        case 0:
          s.insert(s.begin() + static_cast<std::ptrdiff_t>(at), alphabet[rng() % alphabet.size()]);
          break;
        case 1:
          if (!s.empty()) s.erase(at, 1);
          break;
        default:
          if (!s.empty()) s[at] = alphabet[rng() % alphabet.size()];
      }
    }
    return s;
  };
  for (int trial = 0; trial < 800; ++trial) {
    // Past 64 characters rapidfuzz switches to its multi-word algorithms.
    const std::u32string pattern = random_string(trial % 5 == 0 ? 140 : 24);
    for (const std::uint8_t kind : {std::uint8_t{0}, std::uint8_t{1}, std::uint8_t{7}}) {
      std::vector<double> thresholds = {kNaN, -kInf, -1.0, -0.0, 0.0, kInf, 0.5, 1.0, 2.0};
      std::vector<std::u32string> candidates = {pattern, random_string(30)};
      for (int i = 0; i < 4; ++i) candidates.push_back(mutate(pattern));
      for (const std::u32string& c : candidates) {
        // Thresholds on and next to the exact score, and at k / n for nearby k and n.
        const double s = score(c, pattern, metric, kind);
        thresholds.insert(thresholds.end(),
                          {s, std::nextafter(s, -kInf), std::nextafter(s, kInf), s - 1.0});
        const auto n = static_cast<double>(std::max(c.size(), pattern.size()) + rng() % 3);
        const auto k = static_cast<double>(rng() % 6);
        thresholds.push_back(k / std::max(n, 1.0));
      }
      for (const double threshold : thresholds) {
        const std::optional<CachedSearch> cached =
            CachedSearch::create(pattern, metric, kind, threshold);
        ASSERT_TRUE(cached);
        for (const std::u32string& c : candidates) {
          const Verdict expected = *search(c, pattern, metric, kind, threshold);
          const Verdict got = (*cached)(c);
          ASSERT_EQ(got.matched, expected.matched)
              << "kind " << int{kind} << " threshold " << threshold << " len " << c.size() << "/"
              << pattern.size();
          // Candidates at narrower widths are compared unwidened, to the same verdict.
          std::optional<Verdict> narrower[2];
          if (const auto bytes = narrow<std::uint8_t>(c)) {
            narrower[0] = (*cached)(std::span<const std::uint8_t>(*bytes));
          }
          if (const auto units = narrow<char16_t>(c)) {
            narrower[1] = (*cached)(std::span<const char16_t>(*units));
          }
          for (const std::optional<Verdict>& verdict : narrower) {
            if (!verdict) continue;
            ASSERT_EQ(verdict->matched, expected.matched)
                << "narrow, kind " << int{kind} << " threshold " << threshold;
            if (expected.matched) {
              ASSERT_EQ(std::bit_cast<std::uint64_t>(verdict->score),
                        std::bit_cast<std::uint64_t>(expected.score));
            }
          }
          // The bounds that let the engines skip candidates hold for every match, and distances
          // computed in bulk get the very verdicts.
          if (expected.matched) {
            ASSERT_TRUE(cached->may_match_length(c.size()));
            std::size_t prefix = 0;
            while (prefix < 4 && prefix < c.size() && prefix < pattern.size() &&
                   c[prefix] == pattern[prefix]) {
              ++prefix;
            }
            if (is_jaro(metric)) {
              ASSERT_TRUE(cached->may_match_jaro(c.size(), shared(c, pattern), prefix));
            }
          }
          if (!is_jaro(metric)) {
            const Verdict bulk = cached->distance_verdict(distance(metric, c, pattern), c.size());
            ASSERT_EQ(bulk.matched, expected.matched) << "bulk, threshold " << threshold;
            if (expected.matched) {
              ASSERT_EQ(std::bit_cast<std::uint64_t>(bulk.score),
                        std::bit_cast<std::uint64_t>(expected.score));
            }
          }
          if (expected.matched) {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(got.score),
                      std::bit_cast<std::uint64_t>(expected.score));
            // The bound that lets the raw engine skip windows must hold for every match, also
            // when it is asked for candidates longer than this one.
            const std::optional<std::size_t> bound =
                cached->levenshtein_bound(c.size() + rng() % 3);
            ASSERT_EQ(bound.has_value(), !is_jaro(metric));
            if (bound) {
              ASSERT_LE(rapidfuzz::levenshtein_distance(c, pattern), *bound)
                  << "kind " << int{kind} << " threshold " << threshold;
            }
          }
        }
      }
    }
  }
}

// A small alphabet makes near matches common. The first has white space and wide characters
// ride along; the second is ASCII throughout, with letters the pattern often lacks; the third
// is Latin-1 beyond ASCII, which Latin-1 candidates filter by a table of their own.
INSTANTIATE_TEST_SUITE_P(EveryMetric, FuzzyCachedAgreesWithSearch,
                         testing::Combine(testing::ValuesIn(kMetrics),
                                          testing::Values(U"abcab \u00e9\u4e2d\U0001F600",
                                                          U"abcab xyz.",
                                                          U"ab\u00e9\u00e0 \u00ffx")));

}  // namespace
}  // namespace veskal::comparator::fuzzy
