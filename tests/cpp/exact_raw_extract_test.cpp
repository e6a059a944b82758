#include "exact_raw_extract.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "preprocessor.hpp"
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

// The candidates of the UTF-8 `text` stored at every width that holds it, which must agree.
Matches candidates(std::string_view text, std::string_view pattern) {
  const std::u32string p = text::decode(pattern);
  std::optional<Matches> found;
  for (const text::OwnedText& owned : text::OwnedText::every_width(text::decode(text))) {
    Matches got = detail::candidates(owned.view(), p);
    if (found) {
      EXPECT_EQ(got, *found) << "width " << int(owned.view().width());
    }
    found = std::move(got);
  }
  return *found;
}

TEST_P(Candidates, AreTheMatchingWindows) {
  const Case& c = GetParam();
  EXPECT_EQ(candidates(c.text, c.pattern), c.candidates);
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
  static const char* const kPieces[] = {" ", " ", "\t",       "\xC2\xA0", "\xE3\x80\x80",    "a",
                                        "a", "b", "\xC3\xA9", "\xC5\x93", "\xF0\x9F\x98\x80"};
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
    ASSERT_EQ(candidates(text, pattern), expected)
        << "text '" << text << "' pattern '" << pattern << "'";
  }
}

// With flags the text is normalised a stretch at a time: the same windows as in the normalised
// copy, for blocks smaller and larger than the pattern, U+0130 (which lengthens) and sigma (which
// reads its neighbours) included.
TEST(CandidatesProperty, StreamedEqualTheNormalisedCopy) {
  static const char* const kPieces[] = {" ",        " ",        "\n",       "\t",
                                        "\xC2\xA0", "a",        "A",        "b",
                                        "\xC3\x89", "\xC3\xA9", "\xC5\x92", "\xF0\x9F\x98\x80",
                                        "@",        "\xC4\xB0", "\xCE\xA3"};
  std::mt19937_64 rng(909);
  int searched = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    for (std::size_t n = rng() % 40; n > 0; --n) text += kPieces[rng() % std::size(kPieces)];
    const bool lower = rng() % 2 != 0;
    const bool fold = !lower || rng() % 2 != 0;
    const std::u32string t = text::decode(text);
    std::string pattern;
    if (!t.empty() && rng() % 2 != 0) {
      const std::size_t a = rng() % t.size();
      for (std::size_t i = a, b = a + 1 + rng() % 6; i < std::min(b, t.size()); ++i) {
        text::append_utf8(pattern, t[i]);
      }
    } else {
      for (std::size_t k = 1 + rng() % 4; k > 0; --k) pattern += kPieces[rng() % 9];
    }
    const std::u32string p = preprocessor::normalise_pattern(pattern, lower, fold);
    const std::u32string_view trimmed = text::trim(std::u32string_view(p));
    if (trimmed.empty()) continue;
    for (const text::OwnedText& owned : text::OwnedText::every_width(t)) {
      const bool fits = owned.view().visit([&](auto units) {
        return text::narrow<typename decltype(units)::value_type>(trimmed).has_value();
      });
      if (!fits) continue;
      const preprocessor::Normalised copy = preprocessor::normalise(owned.view(), lower, fold);
      const std::size_t block = 1 + rng() % 9;
      const Matches got = detail::candidates_streamed(owned.view(), p, lower, fold, block);
      ++searched;
      ASSERT_EQ(got, detail::candidates(copy.text(), p))
          << "text '" << text << "' pattern '" << pattern << "' block " << block << " flags "
          << lower << fold;
    }
  }
  EXPECT_GT(searched, 10000);
}

// Without flags a pattern free of inner white space is searched in the caller's text, line feeds
// and all: window edges must still take a line feed for white space, and the solver for the
// space it stands for, exactly as in the text with spaces in their place.
TEST(ExtractProperty, LineFeedsSearchedInPlaceActAsSpaces) {
  static const char* const kPieces[] = {" ", "\n", "\n", "a", "b", "\xC3\xA9", "\xE2\x82\xAC"};
  static const char* const kPatterns[] = {"a", " a", "ab ", "  ", "\n", " \xC3\xA9\n", "a b"};
  static const std::vector<std::string> kStrategies[] = {
      {}, {"minimum_isolated_character"}, {"longest", "minimum_isolated_character"}};
  std::mt19937_64 rng(77);
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    for (std::size_t n = rng() % 30; n > 0; --n) text += kPieces[rng() % std::size(kPieces)];
    std::string spaced = text;
    std::replace(spaced.begin(), spaced.end(), '\n', ' ');
    const std::string pattern = kPatterns[rng() % std::size(kPatterns)];
    const std::vector<std::string>& strategies = kStrategies[rng() % std::size(kStrategies)];
    const text::OwnedText owned = text::OwnedText::from_utf8(text);
    const text::OwnedText owned_spaced = text::OwnedText::from_utf8(spaced);
    ASSERT_EQ(extract(owned.view(), pattern, false, false, strategies).matches(),
              extract(owned_spaced.view(), pattern, false, false, strategies).matches())
        << "text '" << text << "' pattern '" << pattern << "'";
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
  for (const text::OwnedText& owned : text::OwnedText::every_width(text::decode(c.text))) {
    EXPECT_EQ(extract(owned.view(), c.pattern, c.case_insensitive, c.special_char_insensitive,
                      c.strategies)
                  .matches(),
              c.expected)
        << "width " << int(owned.view().width());
  }
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
        // A pattern wider than the text occurs nowhere in it, but its white space still counts.
        Call{"pattern_wider_than_text", "a  b", "\xE2\x82\xAC", false, false, {}, {}},
        Call{"white_pattern_wider_than_text",
             "a  b",
             "\xE3\x80\x80 ",
             false,
             false,
             {},
             {{1, 3, 0}}},
        Call{"euro_folds_into_latin1",
             "\xE2\x82\xAC"
             "5 e5",
             "e5",
             false,
             true,
             {},
             {{0, 2, 0}, {3, 5, 0}}},
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
