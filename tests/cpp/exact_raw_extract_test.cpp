#include "exact_raw_extract.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "text.hpp"

namespace veskal::exact_raw_extract {
namespace {

using Matches = std::vector<Match>;

// Every start position, its window cut from the decoded text, trimmed and compared.
Matches literal_candidates(std::string_view text, std::string_view pattern) {
  const std::u32string t = text::decode(text);
  const std::u32string untrimmed = text::decode(pattern);
  const std::u32string_view p = text::trim(std::u32string_view(untrimmed));
  const std::uint64_t m = untrimmed.size();
  const std::uint64_t n = t.size();
  Matches out;
  if (m == 0) return out;
  for (std::uint64_t i = 0; i < n; ++i) {
    const std::uint64_t end = std::min(i + m, n);
    if (text::trim(std::u32string_view(t).substr(i, end - i)) == p) out.push_back({i, end, 0.0});
  }
  return out;
}

struct Case {
  const char* name;
  std::string text;
  std::string pattern;
  Matches candidates;
};

class Candidates : public testing::TestWithParam<Case> {};

bool is_ascii(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

TEST_P(Candidates, AreTheMatchingWindows) {
  const Case& c = GetParam();
  EXPECT_EQ(detail::candidates(c.text, c.pattern, false), c.candidates);
  if (is_ascii(c.text)) {
    EXPECT_EQ(detail::candidates(c.text, c.pattern, true), c.candidates);
  }
  EXPECT_EQ(literal_candidates(c.text, c.pattern), c.candidates);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Candidates,
    testing::Values(
        Case{"empty_pattern", "abc", "", {}}, Case{"empty_text", "", "a", {}},
        Case{"empty_both", "", "", {}},
        Case{"leading_space_at_end", "the cat", " cat", {{3, 7, 0}, {4, 7, 0}}},
        Case{"leading_space_taken_after", "cat dog", " cat", {{0, 4, 0}}},
        Case{"overlapping", "aaaa", "aa", {{0, 2, 0}, {1, 3, 0}, {2, 4, 0}}},
        Case{"touching", "abab", "ab", {{0, 2, 0}, {2, 4, 0}}},
        Case{"trailing_space_cut_window", "abc", "abc ", {{0, 3, 0}}},
        Case{"longer_than_text", "ab", "abc", {}},
        Case{"white_runs", "a   b ", "  ", {{1, 3, 0}, {2, 4, 0}, {5, 6, 0}}},
        Case{"white_run_too_short", "a b", "  ", {}},
        Case{"inner_space_must_recur", "a\tb a b", "a b", {{4, 7, 0}}},
        Case{"any_white_at_edges",
             "x\xC2\xA0"
             "ab\xE3\x80\x80y",
             " ab ",
             {{1, 5, 0}}},
        Case{"white_split_both_ways", "  ab  ", "  ab", {{0, 4, 0}, {1, 5, 0}, {2, 6, 0}}},
        Case{"multibyte_positions",
             "\xC3\xA9t\xC3\xA9 \xC3\xA9t\xC3\xA9",
             "t\xC3\xA9",
             {{1, 3, 0}, {5, 7, 0}}}),
    [](const testing::TestParamInfo<Case>& param) { return param.param.name; });

// Random texts over an alphabet rich in white space of one to three bytes, against the
// window-by-window definition; patterns are often cut from the text so that they occur.
TEST(CandidatesProperty, EqualWindowByWindowScan) {
  static const char* const kPieces[] = {" ", " ", "\t", "\xC2\xA0", "\xE3\x80\x80",
                                        "a", "a", "b",  "\xC3\xA9"};
  std::mt19937_64 rng(2024);
  const auto piece = [&] { return std::string(kPieces[rng() % std::size(kPieces)]); };
  for (int round = 0; round < 30000; ++round) {
    std::string text;
    const std::size_t n = rng() % 25;
    for (std::size_t i = 0; i < n; ++i) text += piece();
    std::string pattern;
    const std::size_t shape = rng() % 4;
    if (shape == 0 && !text.empty()) {
      // A piece of the text, on character boundaries.
      const std::u32string t = text::decode(text);
      const std::size_t a = rng() % t.size();
      const std::size_t b = a + rng() % (t.size() - a + 1);
      for (std::size_t i = a; i < b; ++i) text::append_utf8(pattern, t[i]);
    } else if (shape == 1) {
      const std::size_t k = rng() % 4;
      for (std::size_t i = 0; i < k; ++i) pattern += rng() % 2 ? " " : "\xE3\x80\x80";
    } else {
      const std::size_t k = rng() % 5;
      for (std::size_t i = 0; i < k; ++i) pattern += piece();
    }
    if (rng() % 3 == 0) pattern = (rng() % 2 ? " " : "\t") + pattern;
    if (rng() % 3 == 0) pattern += rng() % 2 ? " " : "\xC2\xA0";
    const Matches expected = literal_candidates(text, pattern);
    ASSERT_EQ(detail::candidates(text, pattern, false), expected)
        << "text '" << text << "' pattern '" << pattern << "'";
    if (is_ascii(text)) {
      ASSERT_EQ(detail::candidates(text, pattern, true), expected)
          << "ASCII text '" << text << "' pattern '" << pattern << "'";
    }
  }
}

struct Call {
  const char* name;
  std::string text;
  std::string pattern;
  bool case_insensitive;
  bool special_char_insensitive;
  std::vector<std::string> strategies;
  Matches expected;
};

class Extract : public testing::TestWithParam<Call> {};

TEST_P(Extract, NormalisesThenResolves) {
  const Call& c = GetParam();
  EXPECT_EQ(extract(c.text, c.pattern, c.case_insensitive, c.special_char_insensitive, c.strategies)
                .matches(),
            c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Extract,
    testing::Values(
        Call{"touching_run_is_one_match", "aaa", "a", false, false, {"longest"}, {{0, 1, 0}}},
        Call{"separate_runs", "a a a", "a", false, false, {}, {{0, 1, 0}, {2, 3, 0}, {4, 5, 0}}},
        Call{"overlaps_reduced", "aaaa", "aa", false, false, {"shortest"}, {{0, 2, 0}}},
        Call{"edge_space_picks_first_window", "the cat", " cat", false, false, {}, {{3, 7, 0}}},
        Call{"case_differs", "Cat", "cat", false, false, {}, {}},
        Call{"accent_differs", "caf\xC3\xA9", "cafe", false, false, {}, {}},
        Call{"line_feed_is_space", "a\nb", "a b", false, false, {}, {{0, 3, 0}}},
        Call{"case_folded", "CAF\xC3\x89", "caf\xC3\xA9", true, false, {}, {{0, 4, 0}}},
        Call{"accent_folded", "caf\xC3\xA9", "cafe", false, true, {}, {{0, 4, 0}}},
        Call{"dotted_capital_shifts",
             "\xC4\xB0"
             "ab",
             "ab",
             true,
             false,
             {},
             {{2, 4, 0}}}),
    [](const testing::TestParamInfo<Call>& param) { return param.param.name; });

}  // namespace
}  // namespace veskal::exact_raw_extract
