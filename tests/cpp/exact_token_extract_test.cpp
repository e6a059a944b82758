#include "exact_token_extract.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "iterator/tokens.hpp"

namespace veskal::exact_token_extract {
namespace {

struct Case {
  const char* name;
  std::string s;
  std::string pattern;
  std::string tokenizer_pattern;
  bool case_insensitive;
  bool special_char_insensitive;
  std::vector<Match> expected;
};

class ExactTokenExtract : public testing::TestWithParam<Case> {};

// `extract` over the UTF-8 `s` stored at every width that holds it, which must agree.
Extraction extract_utf8(std::string_view s, std::string pattern, std::string separator, bool ci,
                        bool sci) {
  std::optional<Extraction> first;
  for (const text::OwnedText& owned : text::OwnedText::every_width(text::decode(s))) {
    Extraction got = extract(owned.view(), pattern, separator, ci, sci);
    if (first) {
      EXPECT_EQ(got.ok(), first->ok());
      EXPECT_EQ(got.matches(), first->matches()) << "width " << int(owned.view().width());
    } else {
      first = std::move(got);
    }
  }
  return std::move(*first);
}

TEST_P(ExactTokenExtract, Matches) {
  const Case& c = GetParam();
  const Extraction result = extract_utf8(c.s, c.pattern, c.tokenizer_pattern, c.case_insensitive,
                                         c.special_char_insensitive);
  ASSERT_TRUE(result.ok()) << result.message();
  EXPECT_EQ(result.matches(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExactTokenExtract,
    testing::Values(
        Case{"single_token", "a b c", "b", " ", false, false, {{2, 3, 0.0}}},
        Case{"two_tokens", "x a b y", "a b", " ", false, false, {{2, 5, 0.0}}},
        Case{"overlapping_runs_all_reported",
             "a a a",
             "a a",
             " ",
             false,
             false,
             {{0, 3, 0.0}, {2, 5, 0.0}}},
        Case{"span_keeps_untrimmed_blank", "a, b", "b", ",", false, false, {{2, 4, 0.0}}},
        Case{"leading_separator_widens_window", "a b", " b", " ", false, false, {}},
        Case{"empty_middle_piece_counts", "a  b", "a  b", " ", false, false, {}},
        Case{"separators_compared_as_written", "a  b", "a b", " ", false, false, {}},
        Case{"case_insensitive", "A B", "b", " ", true, false, {{2, 3, 0.0}}},
        Case{"case_sensitive_misses", "A B", "b", " ", false, false, {}},
        Case{"line_feed_separator_cuts_blanks", "a\nb c", "b", "\n", false, false, {{2, 3, 0.0}}},
        Case{"dotted_capital_i_shifts_positions",
             "\xC4\xB0x b",
             "b",
             " ",
             true,
             false,
             {{4, 5, 0.0}}},
        Case{"empty_text", "", "a", " ", false, false, {}},
        Case{"empty_pattern_matches_blank_token", "a, ,b", "", ",", false, false, {{2, 3, 0.0}}},
        Case{"empty_pattern_matches_empty_leading_token",
             "--ab",
             "",
             "--",
             false,
             false,
             {{0, 0, 0.0}}},
        Case{"empty_separator_blank_pattern", "abc", " ", "", false, false, {{0, 0, 0.0}}},
        Case{"empty_text_blank_pattern_with_a_flag", "", "\n", "", true, false, {{0, 0, 0.0}}},
        Case{"empty_separator_letter_pattern", "abc", "a", "", false, false, {}},
        Case{"empty_separator_long_pattern", "abc", "abc", "", false, false, {}},
        // The tokenizer pattern is normalised like the text: '@' folds to 'a', cutting at
        // every a, à, â, ä and @ of the text.
        Case{"folded_separator",
             "x@y\xC3\xA0z\xC3\xA2w\xC3\xA4v",
             "z",
             "@",
             false,
             true,
             {{4, 5, 0.0}}},
        Case{"accents_folded_both_sides",
             "caf\xC3\xA9 cr\xC3\xA8me",
             "CR\xC3\x88ME",
             " ",
             true,
             true,
             {{5, 10, 0.0}}},
        Case{"multibyte_positions",
             "\xE2\x82\xAC\xE2\x82\xAC x \xC3\xA9t\xC3\xA9",
             "\xC3\xA9t\xC3\xA9",
             " ",
             false,
             false,
             {{5, 8, 0.0}}},
        Case{"self_overlapping_separator", "pabababaq", "q", "aba", false, false, {{8, 9, 0.0}}},
        // Separators and patterns the text's width cannot hold: they never cut, never match.
        Case{
            "separator_wider_than_text", "a b", "a b", "\xE2\x82\xAC", false, false, {{0, 3, 0.0}}},
        Case{"long_separator_wider_than_text",
             " ab ",
             "ab",
             "\xE2\x82\xAC\xE2\x82\xAC",
             false,
             false,
             {{0, 4, 0.0}}},
        Case{"pattern_wider_than_text", "a b", "\xE2\x82\xAC", " ", false, false, {}},
        Case{"in_place_line_feeds_trim", "a\nb\n", "b", ",", false, false, {}},
        Case{"in_place_line_feeds_trim_whole", "\nb\n,a", "b", ",", false, false, {{0, 3, 0.0}}}),
    [](const testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

TEST(ExactTokenExtract, EmptyPatternAndSeparatorFail) {
  for (const char* text : {"", "abc"}) {
    const Extraction result = extract_utf8(text, "", "", false, false);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.message(),
              "index out of bounds: the len is 1 but the index is 18446744073709551615");
    EXPECT_TRUE(result.matches().empty());
  }
}

}  // namespace
}  // namespace veskal::exact_token_extract

namespace veskal::exact_token_extract {
namespace {

// The occurrence search must agree with comparing every run, wherever it applies: random texts
// over separators, white space of one to three bytes, accented letters and the pattern's own
// letters, with patterns of one token and several that overlap themselves and carry white space
// at their ends or tokens of it. Both read a text's line feeds as spaces as a copy with spaces
// for them reads.
TEST(ExactTokenExtract, OccurrenceSearchAgreesWithRuns) {
  std::mt19937 rng(2024);
  const std::vector<std::string> alphabet = {
      "a", "b", ",",  " ",  "\t", "\xC2\xA0", "\xE3\x80\x80", "\xC3\xA9", "\xE2\x82\xAC",
      "x", " ", "\n", "a b"};
  const std::vector<std::string> separators = {",", " ",       "\t", "\xC2\xA0", "\xE3\x80\x80",
                                               "a", "\xC3\xA9"};
  const std::vector<std::string> patterns = {"a",
                                             "ab",
                                             "aba",
                                             " a\t",
                                             "\xC2\xA0"
                                             "b",
                                             "\xC3\xA9",
                                             "a b",
                                             "x\xE2\x82\xAC",
                                             "b\xE3\x80\x80",
                                             "a b a",
                                             " a  b",
                                             "b\ta b ",
                                             "a \t b",
                                             "\xC3\xA9 a\xC2\xA0",
                                             "a \xF0\x9F\x98\x80",
                                             " "};
  int applied = 0;
  int several = 0;
  for (int trial = 0; trial < 30000; ++trial) {
    std::string text;
    for (std::size_t k = rng() % 40; k > 0; --k) text += alphabet[rng() % alphabet.size()];
    const std::string& separator = separators[rng() % separators.size()];
    const std::string& pattern = patterns[rng() % patterns.size()];
    const std::u32string p = text::decode(pattern);
    const std::u32string sep = text::decode(separator);
    const std::uint64_t window = iterator::tokens::pattern_token_count(p, sep);
    for (const text::OwnedText& owned : text::OwnedText::every_width(text::decode(text))) {
      owned.view().visit([&](auto units) {
        using Unit = typename decltype(units)::value_type;
        const iterator::tokens::Separator<Unit> cut(sep);
        const auto fast = detail::by_occurrences(units, p, cut, window);
        if (fast) {
          ++applied;
          several += window > 1;
          ASSERT_EQ(*fast, detail::by_runs(units, p, cut, window))
              << "text=" << text << " pattern=" << pattern << " separator=" << separator
              << " width " << sizeof(Unit);
        }
        std::vector<Unit> spaced(units.begin(), units.end());
        std::replace(spaced.begin(), spaced.end(), Unit{'\n'}, Unit{' '});
        const std::vector<Match> expected =
            detail::by_runs(text::Units<Unit>(spaced), p, cut, window);
        const iterator::tokens::Separator<Unit> cut_feeds(sep, true);
        ASSERT_EQ(detail::by_runs(units, p, cut_feeds, window, true), expected);
        if (fast) {
          ASSERT_EQ(*detail::by_occurrences(units, p, cut_feeds, window, true), expected);
          // Cut into stretches with margins of the pattern and a few units around their own
          // occurrences: each finds its share of the matches, or says it cannot tell.
          const std::size_t step = 1 + rng() % 6;
          const std::size_t margin = p.size() + rng() % 6;
          std::vector<Match> joined;
          bool decided = true;
          for (std::size_t from = 0; decided && from < spaced.size(); from += step) {
            const std::size_t to = std::min(spaced.size(), from + step);
            const std::size_t first = from - std::min(from, margin);
            const std::size_t last = std::min(spaced.size(), to + margin);
            const detail::Stretch frame{from - first, to - first, first > 0, last < spaced.size()};
            const auto part =
                detail::by_occurrences(text::Units<Unit>(spaced.data() + first, last - first), p,
                                       cut, window, false, nullptr, &frame);
            decided = part.has_value();
            for (const Match& m : part.value_or(std::vector<Match>{})) {
              joined.push_back({m.start + first, m.end + first, 0.0});
            }
          }
          if (decided) {
            ASSERT_EQ(joined, expected)
                << "text=" << text << " pattern=" << pattern << " separator=" << separator
                << " step " << step << " margin " << margin;
          }
        }
        // The engine's streamed search, whose letters here have no case, wherever it answers.
        const auto streamed =
            detail::search_streamed(owned.view(), p, sep, true, false, nullptr, 1 + rng() % 8);
        if (streamed) {
          ASSERT_EQ(streamed->matches(), expected) << "text=" << text << " pattern=" << pattern;
        }
        // Checking the text for surrogates as it is searched finds one anywhere, and changes
        // nothing else.
        if constexpr (sizeof(Unit) > 1) {
          bool surrogate = true;
          const auto vetted = detail::by_occurrences(units, p, cut, window, false, &surrogate);
          if (!fast) return;
          ASSERT_TRUE(!surrogate && *vetted == *fast);
          std::vector<Unit> bad(units.begin(), units.end());
          bad.insert(bad.begin() + static_cast<std::ptrdiff_t>(rng() % (bad.size() + 1)),
                     Unit{0xDC00});
          ASSERT_TRUE(
              detail::by_occurrences(text::Units<Unit>(bad), p, cut, window, false, &surrogate)
                  ->empty());
          ASSERT_TRUE(surrogate);
        }
      });
    }
  }
  EXPECT_GT(applied, 10000);
  EXPECT_GT(several, 2000);
}

struct PathCase {
  const char* name;
  std::string pattern;
  std::string separator;
  bool fast;
};

class OccurrenceSearchApplies : public testing::TestWithParam<PathCase> {};

// Only one-token patterns under a one-character separator with something left after trimming.
TEST_P(OccurrenceSearchApplies, OnlyWhereTokensAreRunsBetweenSeparators) {
  const PathCase& c = GetParam();
  const std::u32string pattern = text::decode(c.pattern);
  const std::u32string separator = text::decode(c.separator);
  const std::uint64_t window = iterator::tokens::pattern_token_count(pattern, separator);
  const std::u32string t = U"a b";
  EXPECT_EQ(detail::by_occurrences(text::Units<char32_t>(t.data(), t.size()), pattern,
                                   iterator::tokens::Separator<char32_t>(separator), window)
                .has_value(),
            c.fast);
}

INSTANTIATE_TEST_SUITE_P(Table, OccurrenceSearchApplies,
                         testing::Values(PathCase{"word", "b", " ", true},
                                         PathCase{"multibyte_separator", "b", "\xE3\x80\x80", true},
                                         PathCase{"two_tokens", "a b", " ", true},
                                         PathCase{"two_tokens_cut_at_a_letter", "a b", "a", false},
                                         PathCase{"long_separator", "b", "--", false},
                                         PathCase{"empty_separator", "b", "", false},
                                         PathCase{"blank_pattern", "\t", " ", false},
                                         PathCase{"empty_pattern", "", ",", false}),
                         [](const testing::TestParamInfo<PathCase>& p) {
                           return std::string(p.param.name);
                         });

TEST(ExactTokenExtract, LongTextPositionsCountCharacters) {
  // Matches far apart and past many multi-byte characters, on both sides of a 64-byte block.
  std::string text;
  std::vector<Match> expected;
  std::uint64_t chars = 0;
  for (int k = 0; k < 500; ++k) {
    const std::string filler = k % 3 == 0 ? "\xC3\xA9t\xC3\xA9 " : "word ";
    for (int r = 0; r < k % 7; ++r) {
      text += filler;
      chars += filler == "word " ? 5 : 4;
    }
    text += "\xC2\xA0needle ";
    expected.push_back({chars, chars + 7, 0.0});
    chars += 8;
  }
  const Extraction got = extract_utf8(text, "needle", " ", false, false);
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(got.matches(), expected);
}

}  // namespace
}  // namespace veskal::exact_token_extract
