#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "conflict_solver/solver.hpp"
#include "text.hpp"

namespace veskal::conflict_solver {
namespace {

using Names = std::vector<std::string>;
using Matches = std::vector<Match>;

// The solver over the UTF-8 `text` stored at `width` (by default the narrowest that holds it).
Matches solve(std::string_view text, const Matches& candidates, const Names& names,
              std::optional<veskal::text::Width> width = std::nullopt) {
  const std::u32string chars = veskal::text::decode(text);
  const veskal::text::OwnedText owned = width ? *veskal::text::OwnedText::of_width(chars, *width)
                                              : veskal::text::OwnedText::narrowest(chars);
  return solver(owned.view(), candidates, names);
}

// ---- The rules taken literally, to check the solver against. ----

struct LiteralGroup {
  std::uint64_t start;
  std::uint64_t end;
  Matches members;
};

std::vector<LiteralGroup> literal_groups(const Matches& candidates) {
  std::vector<LiteralGroup> groups;
  for (const Match& c : candidates) groups.push_back({c.start, c.end, {c}});
  bool merged = true;
  while (merged && groups.size() >= 2) {
    merged = false;
    for (std::size_t i = 0; i + 1 < groups.size(); ++i) {
      LiteralGroup& a = groups[i];
      const LiteralGroup& b = groups[i + 1];
      const bool overlap = (a.start <= b.start && b.end <= a.end) ||
                           (b.start <= a.start && a.start <= b.end) ||
                           (b.start <= a.end && a.end <= b.end);
      if (!overlap) continue;
      a.start = std::min(a.start, b.start);
      a.end = std::max(a.end, b.end);
      a.members.insert(a.members.end(), b.members.begin(), b.members.end());
      groups.erase(groups.begin() + static_cast<std::ptrdiff_t>(i) + 1);
      merged = true;
      break;
    }
  }
  return groups;
}

// Characters beyond the text read as non-spaces.
std::uint64_t literal_isolated(const std::u32string& text, std::uint64_t s, std::uint64_t e) {
  if (s >= e) return 0;
  const auto space = [&](std::uint64_t p) { return p < text.size() && text[p] == U' '; };
  std::uint64_t count = 0;
  for (std::uint64_t p = s; p < e; ++p) {
    const std::uint64_t prev = p > s ? p - 1 : s;
    const std::uint64_t next = p < e - 1 ? p + 1 : e - 1;
    if ((p == s && space(next)) || (p == e - 1 && space(prev)) || (space(prev) && space(next))) {
      ++count;
    }
  }
  return count;
}

// IEEE totalOrder, spelled out by sign and magnitude.
bool total_less(double a, double b) {
  const auto x = std::bit_cast<std::uint64_t>(a);
  const auto y = std::bit_cast<std::uint64_t>(b);
  const bool na = x >> 63;
  const bool nb = y >> 63;
  if (na != nb) return na;
  return na ? x > y : x < y;
}

Matches literal_solver(const std::string& utf8, const Matches& candidates, const Names& names) {
  std::u32string text = veskal::text::decode(utf8);
  // A line feed counts as the space it normalises to.
  std::replace(text.begin(), text.end(), U'\n', U' ');
  Matches out;
  for (const LiteralGroup& g : literal_groups(candidates)) {
    Matches alive = g.members;
    for (const std::string& name : names) {
      if (alive.size() == 1) break;
      std::vector<std::uint64_t> values;
      if (name == "best_match") {
        double target = alive[0].score;
        for (const Match& c : alive) {
          if (total_less(c.score, target)) target = c.score;
        }
        Matches kept;
        for (const Match& c : alive) {
          const bool same = std::isnan(target) ? std::bit_cast<std::uint64_t>(c.score) ==
                                                     std::bit_cast<std::uint64_t>(target)
                                               : c.score == target;
          if (same) kept.push_back(c);
        }
        alive = kept;
        continue;
      }
      if (name == "shortest" || name == "longest") {
        for (const Match& c : alive) values.push_back(c.end - c.start);
      } else if (name == "minimum_isolated_character") {
        for (const Match& c : alive) values.push_back(literal_isolated(text, c.start, c.end));
      } else {
        alive.resize(1);
        break;
      }
      const std::uint64_t target = name == "longest"
                                       ? *std::max_element(values.begin(), values.end())
                                       : *std::min_element(values.begin(), values.end());
      Matches kept;
      for (std::size_t i = 0; i < alive.size(); ++i) {
        if (values[i] == target) kept.push_back(alive[i]);
      }
      alive = kept;
    }
    out.push_back(alive[0]);
  }
  return out;
}

// ---- Fixed cases. ----

struct Case {
  const char* name;
  std::string text;
  Matches candidates;
  Names names;
  Matches expected;
};

class SolverCases : public testing::TestWithParam<Case> {};

// Scores compared bit for bit, so that NaN and the sign of zero are checked too.
std::string show(const Matches& ms) {
  std::ostringstream out;
  for (const Match& m : ms) {
    out << "(" << m.start << ", " << m.end << ", " << (std::signbit(m.score) ? "-" : "+")
        << std::abs(m.score) << ") ";
  }
  return out.str();
}

bool same(const Matches& a, const Matches& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].start != b[i].start || a[i].end != b[i].end ||
        std::bit_cast<std::uint64_t>(a[i].score) != std::bit_cast<std::uint64_t>(b[i].score)) {
      return false;
    }
  }
  return true;
}

TEST_P(SolverCases, ChoosesOnePerGroup) {
  const Case& c = GetParam();
  const Matches got = solve(c.text, c.candidates, c.names);
  EXPECT_TRUE(same(got, c.expected)) << show(got) << "vs " << show(c.expected);
  const Matches literal = literal_solver(c.text, c.candidates, c.names);
  EXPECT_TRUE(same(literal, c.expected)) << "literal: " << show(literal);
}

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, SolverCases,
    testing::Values(
        Case{"empty_with_unknown_name", "", {}, {"nope"}, {}},
        Case{"single_untouched", "", {{7, 3, 0.5}}, {"best_match", "x"}, {{7, 3, 0.5}}},
        Case{"touching_join", "", {{0, 3, 0}, {3, 6, 0}}, {}, {{0, 3, 0}}},
        Case{"gap_splits", "", {{0, 3, 0}, {4, 6, 0}}, {}, {{0, 3, 0}, {4, 6, 0}}},
        Case{"chain_joins", "", {{0, 4, 0}, {3, 7, 0}, {6, 9, 0}}, {}, {{0, 4, 0}}},
        Case{"no_names_first_wins", "", {{2, 5, 0.3}, {3, 6, 0.1}}, {}, {{2, 5, 0.3}}},
        Case{"best_match_first_of_ties",
             "",
             {{0, 2, 0.5}, {1, 3, 0.2}, {2, 4, 0.2}},
             {"best_match"},
             {{1, 3, 0.2}}},
        Case{"best_then_longest",
             "",
             {{0, 2, 0.1}, {1, 5, 0.3}},
             {"best_match", "longest"},
             {{0, 2, 0.1}}},
        Case{"longest_then_best",
             "",
             {{0, 2, 0.1}, {1, 5, 0.3}},
             {"longest", "best_match"},
             {{1, 5, 0.3}}},
        Case{"unknown_name_ends_decision",
             "",
             {{0, 2, 0.5}, {1, 5, 0.3}},
             {"first", "best_match"},
             {{0, 2, 0.5}}},
        Case{"names_are_exact",
             "",
             {{0, 2, 0.5}, {1, 5, 0.3}},
             {"Best_match", " best_match", "", "best_match"},
             {{0, 2, 0.5}}},
        Case{"isolated_chars",
             "a b cd",
             {{0, 3, 0}, {2, 6, 0}},
             {"minimum_isolated_character"},
             {{2, 6, 0}}},
        Case{"shortest", "a b cd", {{0, 3, 0}, {2, 6, 0}}, {"shortest"}, {{0, 3, 0}}},
        Case{"unsorted_not_sorted",
             "",
             {{0, 5, 0}, {10, 12, 0}, {3, 7, 0}},
             {},
             {{0, 5, 0}, {10, 12, 0}, {3, 7, 0}}},
        Case{"grown_group_rejoins_previous",
             "",
             {{0, 2, 0}, {5, 6, 0}, {6, 7, 0}, {1, 9, 0}},
             {},
             {{0, 2, 0}}},
        Case{"signed_zeros_tie", "", {{0, 2, 0.0}, {1, 3, -0.0}}, {"best_match"}, {{0, 2, 0.0}}},
        Case{
            "negative_zero_first", "", {{0, 2, -0.0}, {1, 3, 0.0}}, {"best_match"}, {{0, 2, -0.0}}},
        Case{"infinity_loses", "", {{0, 2, kInf}, {1, 3, 9.0}}, {"best_match"}, {{1, 3, 9.0}}},
        // A NaN never equals itself: the choice must still keep a candidate.
        Case{"nan_scores_keep_a_candidate",
             "",
             {{0, 2, kNaN}, {1, 3, kNaN}},
             {"best_match", "longest"},
             {{0, 2, kNaN}}},
        Case{"negative_nan_is_lowest",
             "",
             {{0, 2, 1.0}, {1, 3, -kNaN}},
             {"best_match"},
             {{1, 3, -kNaN}}},
        Case{"reversed_span_wraps_longest", "", {{0, 3, 0}, {2, 1, 0}}, {"longest"}, {{2, 1, 0}}},
        Case{"span_past_text_is_safe",
             "a ",
             {{0, 2, 0}, {1, 1000000, 0}},
             {"minimum_isolated_character"},
             {{1, 1000000, 0}}}),
    [](const testing::TestParamInfo<Case>& param) { return param.param.name; });

// The oracle's isolated-character count against worked examples.
struct Isolated {
  std::string text;
  std::uint64_t start;
  std::uint64_t end;
  std::uint64_t count;
};

class IsolatedCount : public testing::TestWithParam<Isolated> {};

TEST_P(IsolatedCount, LiteralRuleGivesKnownCounts) {
  const Isolated& c = GetParam();
  EXPECT_EQ(literal_isolated(text::decode(c.text), c.start, c.end), c.count);
}

INSTANTIATE_TEST_SUITE_P(Table, IsolatedCount,
                         testing::Values(Isolated{"a b cd", 0, 6, 2}, Isolated{"a b cd", 0, 3, 2},
                                         Isolated{"a b cd", 2, 6, 1}, Isolated{"a b cd", 1, 2, 1},
                                         Isolated{"ab  cd", 0, 6, 0}, Isolated{"   ", 0, 3, 3},
                                         Isolated{"\xC3\xA9 b", 0, 3, 2},
                                         Isolated{"a\xC2\xA0"
                                                  "b c",
                                                  0, 3, 0},
                                         Isolated{"a b", 2, 1, 0}, Isolated{" ", 0, 1, 1},
                                         Isolated{" ", 0, 5, 0}, Isolated{"a  ", 1, 4, 2}));

// ---- Randomised comparison with the literal rules. ----

std::string random_text(std::mt19937_64& rng, std::size_t max_chars) {
  static const char* const kPieces[] = {" ",  " ",        "a",        "b",  "\xC3\xA9",
                                        "\n", "\xC2\xA0", "\xC4\x80", "\t", "\xE3\x80\x80"};
  std::string out;
  const std::size_t n = rng() % (max_chars + 1);
  for (std::size_t i = 0; i < n; ++i) out += kPieces[rng() % std::size(kPieces)];
  return out;
}

Names random_names(std::mt19937_64& rng) {
  static const char* const kNames[] = {"best_match", "shortest", "longest",
                                       "minimum_isolated_character", "other"};
  Names names;
  const std::size_t count = rng() % 4;
  for (std::size_t i = 0; i < count; ++i) {
    // The unknown name is rare so that decisions usually run through the real rules.
    const std::size_t pick = rng() % 13;
    names.push_back(kNames[pick < 12 ? pick % 4 : 4]);
  }
  return names;
}

double random_score(std::mt19937_64& rng) {
  static const double kScores[] = {0.0, -0.0, 0.25, 0.5, 1.0, kInf};
  return kScores[rng() % std::size(kScores)];
}

TEST(SolverProperty, GroupsEqualRestartLoop) {
  std::mt19937_64 rng(12345);
  for (int round = 0; round < 20000; ++round) {
    const std::size_t count = rng() % 12;
    const std::uint64_t span = 2 + rng() % 20;
    const bool sorted = rng() % 2 == 0;
    Matches candidates;
    for (std::size_t i = 0; i < count; ++i) {
      std::uint64_t s = rng() % span;
      std::uint64_t e = rng() % 8 == 0 ? rng() % span : s + rng() % 5;  // some start > end
      candidates.push_back({s, e, 0.0});
    }
    if (sorted) {
      std::stable_sort(candidates.begin(), candidates.end(),
                       [](const Match& a, const Match& b) { return a.start < b.start; });
    }
    const std::vector<detail::Group> groups = detail::group(candidates);
    const std::vector<LiteralGroup> expected = literal_groups(candidates);
    ASSERT_EQ(groups.size(), expected.size()) << "round " << round;
    std::size_t next = 0;
    for (std::size_t g = 0; g < groups.size(); ++g) {
      ASSERT_EQ(groups[g].first, next);
      ASSERT_EQ(groups[g].last - groups[g].first, expected[g].members.size());
      EXPECT_EQ(groups[g].start, expected[g].start);
      EXPECT_EQ(groups[g].end, expected[g].end);
      next = groups[g].last;
    }
    ASSERT_EQ(next, candidates.size());
  }
}

TEST(SolverProperty, ResolutionEqualsLiteralRules) {
  std::mt19937_64 rng(678);
  for (int round = 0; round < 20000; ++round) {
    // Long texts now and then so that counts cross 64-character blocks.
    const std::string text = random_text(rng, round % 10 == 0 ? 300 : 20);
    const std::uint64_t chars = text::count_chars(text);
    const std::size_t count = rng() % 10;
    Matches candidates;
    std::uint64_t s = 0;
    for (std::size_t i = 0; i < count; ++i) {
      s += rng() % 3;
      // Spans may run past the text's end, and now and then start after their end.
      const std::uint64_t e =
          rng() % 10 == 0 ? s - std::min<std::uint64_t>(s, 1) : s + rng() % (chars / 2 + 4);
      candidates.push_back({s, e, random_score(rng)});
    }
    const Names names = random_names(rng);
    // Every width that holds the text resolves alike.
    const auto width = static_cast<text::Width>(1 << (rng() % 3));
    const std::u32string wide = text::decode(text);
    if (!text::OwnedText::of_width(wide, width)) continue;
    const Matches got = solve(text, candidates, names, width);
    const Matches expected = literal_solver(text, candidates, names);
    ASSERT_TRUE(same(got, expected))
        << "round " << round << ": " << show(got) << "vs " << show(expected);
  }
}

// The streaming form must choose exactly what the list form chooses for the engines' input:
// ascending starts, start <= end, NaN-free scores.
TEST(SolverProperty, StreamingEqualsList) {
  std::mt19937_64 rng(4242);
  for (int round = 0; round < 20000; ++round) {
    const std::string text = random_text(rng, round % 10 == 0 ? 300 : 20);
    const std::uint64_t chars = text::count_chars(text);
    const text::OwnedText owned = text::OwnedText::from_utf8(text);
    Matches candidates;
    std::uint64_t s = 0;
    for (std::size_t i = rng() % 12; i > 0; --i) {
      s += rng() % 4;
      candidates.push_back({s, s + rng() % (chars / 2 + 4), random_score(rng)});
    }
    const Names names = random_names(rng);
    StreamingSolver streaming(owned.view(), names);
    for (const Match& c : candidates) streaming.add(c);
    const Matches got = streaming.finish();
    const Matches expected = solver(owned.view(), candidates, names);
    ASSERT_TRUE(same(got, expected))
        << "round " << round << ": " << show(got) << "vs " << show(expected);
  }
}

// Two spans from one start, so that any miscount of either flips the choice; long spans over
// dense spaces cross the 64-character blocks in which spaces are counted.
TEST(SolverProperty, IsolatedCountsOverLongSpans) {
  std::mt19937_64 rng(99);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const std::size_t n = rng() % 300;
    for (std::size_t i = 0; i < n; ++i) text += rng() % 2 ? " " : (rng() % 2 ? "a" : "\xC3\xA9");
    const std::uint64_t s = rng() % (n + 2);
    const Matches candidates = {{s, s + rng() % 200, 0}, {s, s + rng() % 200, 0}};
    const Names names = {"minimum_isolated_character"};
    ASSERT_TRUE(same(solve(text, candidates, names), literal_solver(text, candidates, names)))
        << "round " << round;
  }
}

// Counting must not walk the part of a span that lies beyond the text.
TEST(SolverScale, SpanToTheEndOfTheRange) {
  const std::uint64_t far = std::numeric_limits<std::uint64_t>::max();
  const Matches candidates = {{0, 2, 0}, {1, far, 0}, {2, far, 0}};
  EXPECT_EQ(solve("a  ", candidates, {"minimum_isolated_character"}), (Matches{{2, far, 0}}));
}

// A quadratic grouping or per-group allocation would make these crawl.
TEST(SolverScale, MillionCandidates) {
  Matches chain;
  Matches apart;
  for (std::uint64_t i = 0; i < 1000000; ++i) {
    chain.push_back({i, i + 3, static_cast<double>(i % 7)});
    apart.push_back({3 * i, 3 * i + 1, 0.0});
  }
  const std::string text(3000000, ' ');
  const Matches one = solve(text, chain, {"best_match", "minimum_isolated_character"});
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0], (Match{0, 3, 0.0}));
  EXPECT_EQ(solve(text, apart, {"longest"}).size(), apart.size());
}

}  // namespace
}  // namespace veskal::conflict_solver
