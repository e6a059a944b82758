#include "fuzzy_raw_extract.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include "conflict_solver/solver.hpp"
#include "text.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace veskal::fuzzy_raw_extract {
namespace {

using Spans = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct WindowCase {
  std::uint64_t text_chars;
  std::uint64_t pattern_chars;
  std::int8_t margin;
  Spans expected;
};

class FuzzyRawWindows : public testing::TestWithParam<WindowCase> {};

TEST_P(FuzzyRawWindows, AreEnumeratedInOrder) {
  const WindowCase& c = GetParam();
  Spans got;
  detail::for_each_window(c.text_chars, c.pattern_chars, c.margin,
                          [&](std::uint64_t s, std::uint64_t e) { got.emplace_back(s, e); });
  EXPECT_EQ(got, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FuzzyRawWindows,
    testing::Values(
        WindowCase{7,
                   3,
                   1,
                   {{0, 3},
                    {0, 4},
                    {1, 3},
                    {1, 4},
                    {1, 5},
                    {2, 4},
                    {2, 5},
                    {2, 6},
                    {3, 5},
                    {3, 6},
                    {3, 7},
                    {4, 6},
                    {4, 7},
                    {5, 7},
                    {6, 7}}},
        WindowCase{7, 3, 0, {{0, 3}, {1, 4}, {2, 5}, {3, 6}, {4, 7}, {5, 7}, {6, 7}}},
        WindowCase{4, 3, 2, {{0, 3}, {0, 4}, {1, 2}, {1, 3}, {1, 4}, {2, 3}, {2, 4}, {3, 4}}},
        // A one-character pattern never shrinks; a pattern longer than the text is cut at once.
        WindowCase{3, 1, 1, {{0, 1}, {0, 2}, {1, 2}, {1, 3}, {2, 3}}},
        WindowCase{2, 5, 3, {{0, 2}, {1, 2}}}, WindowCase{0, 3, 1, {}}, WindowCase{3, 0, 1, {}}));

TEST(FuzzyRawEnumeration, SaturatedMarginBoundsEachStart) {
  std::uint64_t at_start_one = 0;
  detail::for_each_window(1000, 200, 127, [&](std::uint64_t s, std::uint64_t e) {
    if (s == 1) {
      ++at_start_one;
      EXPECT_GE(e - s, 200u - 127u);
      EXPECT_LE(e - s, 200u + 127u);
    }
  });
  EXPECT_EQ(at_start_one, 255u);
}

struct MarginCase {
  std::uint64_t pattern_chars;
  double threshold;
  std::uint8_t kind;
  std::int8_t expected;
};

class FuzzyRawMargin : public testing::TestWithParam<MarginCase> {};

TEST_P(FuzzyRawMargin, TruncatesAndSaturates) {
  const MarginCase& c = GetParam();
  EXPECT_EQ(detail::margin(c.pattern_chars, c.threshold, c.kind), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, FuzzyRawMargin,
                         testing::Values(MarginCase{4, 0.5, 1, 2}, MarginCase{3, 0.34, 1, 1},
                                         MarginCase{3, 0.34, 0, 0}, MarginCase{3, 5.0, 0, 0},
                                         MarginCase{4, 0.74, 255, 2}, MarginCase{4, -0.5, 1, -2},
                                         MarginCase{4, -0.2, 1, 0}, MarginCase{254, 0.5, 1, 127},
                                         MarginCase{1000, 0.5, 1, 127},
                                         MarginCase{1000, -0.5, 1, -128},
                                         MarginCase{3, kInf, 1, 127}, MarginCase{3, -kInf, 1, -128},
                                         MarginCase{3, kNaN, 1, 0}, MarginCase{0, kInf, 1, 0}));

// `extract` over the UTF-8 `text` stored at every width that holds it, which must agree.
Extraction extract(std::string_view text, const std::string& pattern, bool ci, bool sci,
                   const std::string& metric, double threshold, std::uint8_t kind,
                   const std::vector<std::string>& strategies) {
  std::optional<Extraction> first;
  for (const text::OwnedText& owned : text::OwnedText::every_width(text::decode(text))) {
    Extraction got = fuzzy_raw_extract::extract(owned.view(), pattern, ci, sci, metric, threshold,
                                                kind, strategies);
    if (!first) {
      first = std::move(got);
      continue;
    }
    EXPECT_EQ(got.ok(), first->ok());
    EXPECT_EQ(got.matches(), first->matches()) << "width " << int(owned.view().width());
  }
  return std::move(*first);
}

// `detail::find_candidates` likewise, over UTF-8 text and pattern.
bool find_candidates_utf8(std::string_view text, std::string_view pattern,
                          const std::string& metric, double threshold, std::uint8_t kind,
                          detail::Scan scan, const std::function<void(const Match&)>& on_candidate,
                          detail::Scoring scoring = detail::Scoring::rows,
                          bool line_feeds_as_spaces = false) {
  const std::u32string p = text::decode(pattern);
  const std::u32string chars = text::decode(text);
  const auto run = [&](text::TextView view, bool* surrogate) {
    std::vector<Match> found;
    const bool done = detail::find_candidates(
        view, p, metric, threshold, kind, scan, [&](const Match& m) { found.push_back(m); },
        scoring, line_feeds_as_spaces, surrogate);
    return std::pair{done, found};
  };
  // Checking the text for surrogates as it is searched finds nothing else; with one in the
  // text, wherever the scan reads it, it is reported.
  if (!chars.empty()) {
    std::u32string bad = chars;
    bad[chars.size() % 2 == 0 ? chars.size() - 1 : chars.size() * 5 / 7] = 0xDC80;
    const std::u16string bad16(bad.begin(), bad.end());
    const bool fits16 = text::max_char(text::Units<char32_t>(bad)) <= 0xFFFF;
    for (const text::TextView view : {text::TextView(bad), text::TextView(bad16)}) {
      if (view.width() == text::Width::two && !fits16) continue;
      bool surrogate = false;
      if (run(view, &surrogate).first) {
        EXPECT_TRUE(surrogate) << "width " << int(view.width());
      }
    }
  }
  std::optional<std::vector<Match>> first;
  bool ok = true;
  for (const text::OwnedText& owned : text::OwnedText::every_width(chars)) {
    auto [done, found] = run(owned.view(), nullptr);
    ok = done;
    bool surrogate = true;
    EXPECT_EQ(run(owned.view(), &surrogate), std::pair(done, found));
    if (done) {
      EXPECT_FALSE(surrogate);
    }
    if (first) {
      EXPECT_EQ(found, *first) << "width " << int(owned.view().width());
    } else {
      first = std::move(found);
    }
  }
  for (const Match& m : *first) on_candidate(m);
  return ok;
}

struct ExtractCase {
  const char* name;
  std::string text;
  std::string pattern;
  std::string metric;
  double threshold;
  std::uint8_t kind;
  std::vector<Match> expected;
};

class FuzzyRawExtract : public testing::TestWithParam<ExtractCase> {};

// No strategy names: every cluster yields its first candidate.
TEST_P(FuzzyRawExtract, FindsTheExpectedWindows) {
  const ExtractCase& c = GetParam();
  const Extraction got =
      extract(c.text, c.pattern, false, false, c.metric, c.threshold, c.kind, {});
  ASSERT_TRUE(got.ok()) << got.message();
  EXPECT_EQ(got.matches(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FuzzyRawExtract,
    testing::Values(
        ExtractCase{"Exact", "abcdefg", "cde", "levenshtein", 0, 0, {{2, 5, 0.0}}},
        ExtractCase{"Typo", "the quick brwn fox", "brown", "levenshtein", 1, 0, {{9, 14, 1.0}}},
        ExtractCase{"AtTextEnd", "xxxxabc", "abc", "levenshtein", 0.34, 1, {{3, 7, 0.25}}},
        // Trimmed to "c", the window still reports its untrimmed span.
        ExtractCase{"UntrimmedSpan", "ab cd", "cd", "levenshtein", 1, 0, {{2, 4, 1.0}}},
        ExtractCase{"BlankPattern", "a  b", "  ", "levenshtein", 0, 0, {{1, 3, 0.0}}},
        ExtractCase{"NanThreshold", "abc", "abc", "levenshtein", kNaN, 1, {}},
        ExtractCase{"NegativeThreshold", "abc", "abc", "levenshtein", -1, 1, {}},
        ExtractCase{"EmptyText", "", "abc", "levenshtein", 1, 0, {}},
        ExtractCase{"EmptyPattern", "abc", "", "levenshtein", 1, 0, {}},
        // Nothing is compared, so the unknown name goes unnoticed.
        ExtractCase{"UnknownMetricNoText", "", "abc", "lev", 1, 0, {}},
        ExtractCase{"UnknownMetricNoPattern", "abc", "", "lev", 1, 0, {}},
        // A pattern wider than the text: its wide characters are edits like any other.
        ExtractCase{
            "PatternWiderThanText", "the cat", "c\u20act", "levenshtein", 1, 0, {{4, 7, 1.0}}},
        ExtractCase{"SeparateClusters",
                    "abc xxxxxxx abc",
                    "abc",
                    "levenshtein",
                    0,
                    0,
                    {{0, 3, 0.0}, {12, 15, 0.0}}}),
    [](const testing::TestParamInfo<ExtractCase>& p) { return p.param.name; });

// The candidates themselves show through the solver when every window is its own cluster:
// with "shortest" and then "best_match", each cluster keeps a distinct span.
TEST(FuzzyRawEngine, WindowsAroundAnOccurrence) {
  const auto run = [](double threshold, std::uint8_t kind, std::vector<std::string> strategies) {
    return extract("xabcx", "abc", false, false, "levenshtein", threshold, kind,
                   std::move(strategies))
        .matches();
  };
  EXPECT_EQ(run(1, 0, {}), (std::vector<Match>{{1, 4, 0.0}}));
  // (0,3) 2, (1,4) 0, (2,5) 2 form one cluster.
  EXPECT_EQ(run(2, 0, {}), (std::vector<Match>{{0, 3, 2.0}}));
  EXPECT_EQ(run(2, 0, {"best_match"}), (std::vector<Match>{{1, 4, 0.0}}));
  // (0,4) .25, (1,3) 1/3, (1,4) 0, (1,5) .25, (2,4) 1/3.
  EXPECT_EQ(run(0.34, 1, {}), (std::vector<Match>{{0, 4, 0.25}}));
  EXPECT_EQ(run(0.34, 1, {"shortest"}), (std::vector<Match>{{1, 3, 1.0 / 3.0}}));
  EXPECT_EQ(run(0.34, 1, {"longest", "best_match"}), (std::vector<Match>{{0, 4, 0.25}}));
  EXPECT_EQ(run(0.34, 1, {"best_match"}), (std::vector<Match>{{1, 4, 0.0}}));
}

TEST(FuzzyRawEngine, UnknownMetricFailsWhenAWindowIsCompared) {
  for (const double threshold : {1.0, -5.0, kNaN}) {
    const Extraction got = extract("abc", "b", false, false, "Levenshtein", threshold, 1, {});
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.message(), "Invalid distance metric");
    EXPECT_TRUE(got.matches().empty());
  }
}

TEST(FuzzyRawEngine, PositionsAreNormalisedCharacters) {
  // U+0130 lowercases to two characters, shifting every later position by one.
  const Extraction got = extract("\u0130\u00e9t\u00e9", "ETE", true, true, "levenshtein", 0, 0, {});
  EXPECT_EQ(got.matches(), (std::vector<Match>{{2, 5, 0.0}}));
}

std::vector<Match> candidates(std::string_view text, std::string_view pattern,
                              const std::string& metric, double threshold, std::uint8_t kind,
                              detail::Scan scan, bool line_feeds_as_spaces = false) {
  std::vector<Match> got;
  EXPECT_TRUE(find_candidates_utf8(
      text, pattern, metric, threshold, kind, scan, [&](const Match& m) { got.push_back(m); },
      detail::Scoring::rows, line_feeds_as_spaces));
  return got;
}

// `text` with its spaces turned into line feeds.
std::string lined(std::string text) {
  std::replace(text.begin(), text.end(), ' ', '\n');
  return text;
}

// `text` with its line feeds normalised to spaces.
std::string spaced(std::string text) {
  std::replace(text.begin(), text.end(), '\n', ' ');
  return text;
}

const std::vector<std::string> kMetrics = {
    "levenshtein", "damerau_levenshtein", "osa", "hamming", "indel", "lcs_seq", "prefix", "postfix",
    "jaro",        "jaro_winkler",
};

// Scores compared bit for bit, not by ==, which would equate 0.0 and -0.0.
std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>> exactly(
    const std::vector<Match>& matches) {
  std::vector<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>> out;
  for (const Match& m : matches) {
    out.emplace_back(m.start, m.end, std::bit_cast<std::uint64_t>(m.score));
  }
  return out;
}

// Skipping windows far from every piece of the pattern must not change a single candidate.
class FuzzyRawSkipping : public testing::TestWithParam<std::string> {};

TEST_P(FuzzyRawSkipping, FindsWhatEveryWindowFinds) {
  const std::string& metric = GetParam();
  std::mt19937_64 rng(std::hash<std::string>{}(metric));
  // Edge blanks change P but not the trimmed pattern; "abab" repeats itself, "éé中" is wide.
  // Patterns from 14 characters on have pieces long enough to be searched by sampling.
  const std::vector<std::string> patterns = {"abcabd",
                                             "ab cd ab cdd ab cd ab",
                                             "\u00e9t\u00e9 ab\u4e2d cd\u00e9t\u00e9 ab",
                                             "aaaa aaaa aaaa aaaa aaab",
                                             " abcdab",
                                             "abcd\u00e9f\t",
                                             "\u00a0ab\u4e2dcdab ",
                                             "abababab",
                                             "aabaabaaba",
                                             "cbadcbad",
                                             "ab cd",
                                             "\u00e9\u00e9\u4e2d\u00e9\u00e9\u4e2d",
                                             "dcbaabcdabcdab"};
  const std::vector<std::string> extras = {" ", "\t", "\u00a0", "\u00e9", "\u00e0", "\u4e2d", "\n"};
  const std::vector<std::pair<double, std::uint8_t>> thresholds = {
      {0, 0},   {1, 0},   {1.5, 0},  {2, 0},   {2.999, 0},     {3, 0},    {1e300, 0},
      {0.1, 1}, {0.2, 1}, {0.25, 1}, {0.3, 1}, {1.0 / 3.0, 1}, {0.34, 1}, {0.5, 1}};
  for (const std::string& pattern : patterns) {
    // Letters of the pattern make near matches common.
    std::vector<std::string> alphabet = extras;
    for (std::size_t i = 0; i < pattern.size();) {
      const std::size_t from = i;
      text::decode_at(pattern, i);
      alphabet.push_back(pattern.substr(from, i - from));
      alphabet.push_back(pattern.substr(from, i - from));
    }
    for (int trial = 0; trial < 30; ++trial) {
      std::string text;
      // Mostly copies of the pattern with a few characters changed, so that matches occur.
      for (std::size_t n = rng() % 80; n > 0; --n) {
        if (rng() % 12 == 0) {
          // Now and then with line feeds for its spaces, which normalise back to them.
          text += rng() % 2 == 0 ? pattern : lined(pattern);
        } else {
          text += alphabet[rng() % alphabet.size()];
        }
      }
      for (const auto& [threshold, kind] : thresholds) {
        const std::vector<Match> expected =
            candidates(spaced(text), pattern, metric, threshold, kind, detail::Scan::every_window);
        ASSERT_EQ(
            candidates(spaced(text), pattern, metric, threshold, kind, detail::Scan::near_pieces),
            expected)
            << "pattern '" << pattern << "' text '" << text << "' threshold " << threshold
            << " kind " << int{kind};
        // Line feeds read as spaces by the search itself.
        ASSERT_EQ(
            candidates(text, pattern, metric, threshold, kind, detail::Scan::near_pieces, true),
            expected)
            << "pattern '" << pattern << "' text '" << text << "' threshold " << threshold
            << " kind " << int{kind} << " with line feeds";
        // With a flag or none, the text normalised a few characters at a time (its letters have
        // no case): the same matches. On one threshold in four, which is enough.
        if (rng() % 4 != 0) continue;
        const std::size_t stretch = 1 + rng() % 24;
        const Extraction streamed = detail::search_streamed(
            text::OwnedText::from_utf8(text).view(), text::decode(pattern), rng() % 2 == 0, false,
            metric, threshold, kind, {}, nullptr, stretch);
        ASSERT_TRUE(streamed.ok());
        ASSERT_EQ(exactly(streamed.matches()),
                  exactly(conflict_solver::solver(text::OwnedText::from_utf8(spaced(text)).view(),
                                                  expected, {})))
            << "pattern '" << pattern << "' text '" << text << "' threshold " << threshold
            << " kind " << int{kind} << " by stretches of " << stretch;
      }
    }
  }
}

// On large texts the pieces are chosen from a sample of the text.
TEST_P(FuzzyRawSkipping, FindsWhatEveryWindowFindsInALargeText) {
  const std::string& metric = GetParam();
  std::mt19937_64 rng(std::hash<std::string>{}(metric) + 1);
  const std::vector<std::string> words = {"the ",           "cat ", "sat ",   "on ",
                                          "\u00e9t\u00e9 ", "mat ", "\u4e2d", "\u00a0",
                                          "at the ",        "\t",   "\n"};
  std::string text;
  while (text.size() < (std::size_t{1} << 16) + 4096) text += words[rng() % words.size()];
  for (const char* pattern :
       {"the cat sat on", " the mat at the\t", "\u00e9t\u00e9 cat", "on the mat at the cat sat"}) {
    for (const auto& [threshold, kind] :
         {std::pair{1.0, std::uint8_t{0}}, {2.0, 0}, {3.0, 0}, {0.2, 1}}) {
      const std::vector<Match> expected =
          candidates(spaced(text), pattern, metric, threshold, kind, detail::Scan::every_window);
      EXPECT_EQ(
          candidates(spaced(text), pattern, metric, threshold, kind, detail::Scan::near_pieces),
          expected)
          << pattern << " " << threshold << " " << int{kind};
      EXPECT_EQ(candidates(text, pattern, metric, threshold, kind, detail::Scan::near_pieces, true),
                expected)
          << pattern << " " << threshold << " " << int{kind} << " with line feeds";
    }
  }
  // The plain scan hands the rows the text in stretches; windows across their seams must score as
  // one call per window scores them.
  const std::u32string pattern = text::decode("the cat sat on");
  const text::OwnedText owned = text::OwnedText::from_utf8(text);
  // Jaro keeps per-character counts across starts, which a looser threshold leaves to more of
  // them.
  std::vector<double> thresholds{0.2};
  if (metric.starts_with("jaro")) thresholds.push_back(0.35);
  // Jaro also rules out the starts after one whose stretch it rules out by a margin: prose of
  // many letters, the pattern's among them, with damaged copies of a long pattern at random
  // places, so that runs of such starts end on starts that match.
  std::string prose;
  std::string copy = "rows of starts ruled out together end where copies begin";
  while (prose.size() < 20000) {
    for (std::size_t i = 1 + rng() % 9; i > 0; --i) prose += static_cast<char>('a' + rng() % 26);
    prose += ' ';
    if (rng() % 30 == 0) {
      copy[rng() % copy.size()] = static_cast<char>('a' + rng() % 26);
      prose += copy.substr(rng() % 3) + ' ';
    }
  }
  const text::OwnedText owned_prose = text::OwnedText::from_utf8(prose);
  const std::u32string long_pattern =
      text::decode("rows of starts ruled out together end where copies begin");
  std::vector<std::tuple<const text::OwnedText*, const std::u32string*, double>> cases;
  for (const double threshold : thresholds) cases.emplace_back(&owned, &pattern, threshold);
  if (metric.starts_with("jaro")) {
    for (const double threshold : {0.1, 0.2, 0.25}) {
      cases.emplace_back(&owned_prose, &long_pattern, threshold);
    }
  }
  for (const auto& [searched, sought, threshold] : cases) {
    std::vector<Match> rows;
    std::vector<Match> calls;
    for (const auto& [scoring, found] :
         {std::pair{detail::Scoring::rows, &rows}, {detail::Scoring::per_window, &calls}}) {
      ASSERT_TRUE(detail::find_candidates(
          searched->view(), *sought, metric, threshold, 1, detail::Scan::every_window,
          [&, found = found](const Match& m) { found->push_back(m); }, scoring));
    }
    EXPECT_EQ(exactly(rows), exactly(calls)) << threshold;
    if (threshold > 0.3 || searched == &owned_prose) {
      EXPECT_FALSE(rows.empty());
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryMetric, FuzzyRawSkipping, testing::ValuesIn(kMetrics));

// Scoring all windows of a start from shared rows and bounds must give every candidate and score
// that one rapidfuzz call per window gives: patterns on both sides of one 64-bit block, white
// space at their edges and inside the text (where several starts share one trimmed start), and
// thresholds on the very scores the windows reach.
class FuzzyRawRows : public testing::TestWithParam<std::string> {};

TEST_P(FuzzyRawRows, ScoreEveryWindowAsOneCallPerWindowDoes) {
  const std::string& metric = GetParam();
  std::mt19937_64 rng(20240611 + std::hash<std::string>{}(metric));
  const std::vector<std::string> letters = {"a", "b", "c", "\u00e9", "\u4e2d"};
  const std::vector<std::string> blanks = {" ", "\t", "\u00a0"};
  const auto pick = [&](const std::vector<std::string>& from) { return from[rng() % from.size()]; };
  // Damerau-Levenshtein and Jaro cost the per-window reference most: fewer, shorter patterns
  // (their rows are the LCS row and the multiset count, which the other metrics cover at length).
  const bool costly = metric == "damerau_levenshtein" || metric.starts_with("jaro");
  const int trials = costly ? 40 : 120;
  // Every other trial as a machine without the vector code counts.
  struct Restore {
    ~Restore() { text::detail::use_avx2(true); }
  } restore;
  for (int trial = 0; trial < trials; ++trial) {
    text::detail::use_avx2(trial % 2 == 1);
    // The first trials straddle 64 characters, where rapidfuzz changes algorithms; for Jaro,
    // one more has windows beyond 128 characters, matched word by word, and two more spell
    // patterns of up to one word with two letters, so that each character has many equal ones
    // within reach and the matching's choices decide.
    const bool jaro = metric.starts_with("jaro");
    const std::size_t n = jaro && trial < 7
                              ? (trial == 4   ? 100
                                 : trial == 5 ? 64
                                 : trial == 6 ? 40
                                              : 58 + 3 * static_cast<std::size_t>(trial))
                          : costly    ? 1 + rng() % 24
                          : trial < 8 ? 60 + static_cast<std::size_t>(trial)
                                      : 1 + rng() % 80;
    const std::vector<std::string> two = {"a", "b"};
    const std::vector<std::string>& alphabet = jaro && (trial == 5 || trial == 6) ? two : letters;
    std::string core;
    for (std::size_t i = 0; i < n; ++i) core += rng() % 8 == 0 ? pick(blanks) : pick(alphabet);
    std::string pattern = core;
    if (rng() % 2 == 0) pattern = pick(blanks) + pattern;
    if (rng() % 2 == 0) pattern += pick(blanks) + pick(blanks);

    // The pattern's characters, shuffled apart now and then: windows that share them but not
    // their order, which Jaro's bounds by common subsequence must judge as the scorer does.
    std::vector<std::string> shuffled;
    for (std::size_t i = 0; i < core.size();) {
      const std::size_t from = i;
      text::decode_at(core, i);
      shuffled.push_back(core.substr(from, i - from));
    }
    const std::vector<std::string> in_order = shuffled;
    std::string text;
    for (std::size_t length = rng() % (3 * n + 40); text.size() < length;) {
      switch (rng() % 8) {
        case 7:  // starts ruled out in runs (the pattern's characters in reverse), then a match
          for (auto c = shuffled.rbegin(); c != shuffled.rend(); ++c) text += *c;
          for (std::size_t i = rng() % 4; i > 0; --i) text += "xyzw"[rng() % 4];
          text += core;
          break;
        case 6:
          for (std::size_t i = shuffled.size(); i > 1; --i) {
            if (rng() % 3 == 0) std::swap(shuffled[i - 1], shuffled[rng() % i]);
          }
          for (const std::string& c : shuffled) text += c;
          break;
        case 0: {  // the pattern with a few characters replaced
          std::string copy;
          for (std::size_t i = 0; i < core.size();) {
            const std::size_t from = i;
            text::decode_at(core, i);
            copy += rng() % 10 == 0 ? pick(alphabet) : core.substr(from, i - from);
          }
          text += copy;
          break;
        }
        case 5:  // white space, then the pattern cut short: a match only as a shorter window
          text += std::string(rng() % 4, ' ');
          for (std::size_t i = 0, cut = in_order.size() / 2 + rng() % (in_order.size() / 2 + 1);
               i < cut; ++i) {
            text += in_order[i];
          }
          text += pick(alphabet);
          break;
        case 1:
          text += std::string(rng() % 12, ' ');
          break;
        case 2:
          text += pick(blanks);
          break;
        default:
          text += pick(alphabet);
      }
    }

    std::vector<double> thresholds = {0.1, 0.2, 0.3, 0.5, 0.7, 0.9};
    for (int i = 0; i < 4; ++i) {
      const double m = static_cast<double>(n + 2 + rng() % 6) - 4.0;
      if (m < 1.0) continue;
      const double boundary = static_cast<double>(rng() % static_cast<std::uint64_t>(m)) / m;
      thresholds.push_back(boundary);
      thresholds.push_back(std::nextafter(boundary, 0.0));
    }
    for (const double threshold : thresholds) {
      for (const detail::Scan scan : {detail::Scan::every_window, detail::Scan::near_pieces}) {
        std::vector<Match> rows;
        std::vector<Match> calls;
        ASSERT_TRUE(find_candidates_utf8(
            text, pattern, metric, threshold, 1, scan, [&](const Match& m) { rows.push_back(m); },
            detail::Scoring::rows));
        // The rows agree across widths above, so the costly reference runs at one.
        ASSERT_TRUE(detail::find_candidates(
            text::OwnedText::from_utf8(text).view(), text::decode(pattern), metric, threshold, 1,
            scan, [&](const Match& m) { calls.push_back(m); }, detail::Scoring::per_window));
        ASSERT_EQ(exactly(rows), exactly(calls))
            << "pattern '" << pattern << "' text '" << text << "' threshold " << threshold;
        // A receiver that keeps the first member of each cluster is handed only what decides
        // the clusters; one that weighs every member ("longest"), everything.
        const text::OwnedText owned = text::OwnedText::from_utf8(text);
        for (const std::vector<std::string>& strategies :
             {std::vector<std::string>{}, std::vector<std::string>{"longest"}}) {
          conflict_solver::StreamingSolver sink(owned.view(), strategies);
          ASSERT_TRUE(detail::find_candidates(
              owned.view(), text::decode(pattern), metric, threshold, 1, scan,
              [&](const Match& m) { sink.add(m); }, detail::Scoring::rows, false, nullptr,
              [&](std::uint64_t start) { return sink.settled_through(start); }));
          ASSERT_EQ(exactly(sink.finish()),
                    exactly(conflict_solver::solver(owned.view(), calls, strategies)))
              << "pattern '" << pattern << "' text '" << text << "' threshold " << threshold
              << " strategies " << strategies.size();
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryMetric, FuzzyRawRows, testing::ValuesIn(kMetrics));

}  // namespace
}  // namespace veskal::fuzzy_raw_extract
