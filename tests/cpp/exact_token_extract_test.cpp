#include "exact_token_extract.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST_P(ExactTokenExtract, Matches) {
  const Case& c = GetParam();
  const Extraction result =
      extract(c.s, c.pattern, c.tokenizer_pattern, c.case_insensitive, c.special_char_insensitive);
  ASSERT_TRUE(result.ok()) << result.message();
  EXPECT_EQ(result.matches(), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExactTokenExtract,
    testing::Values(
        Case{"single_token", "a b c", "b", " ", false, false, {{2, 3, 0.0}}},
        Case{"two_tokens", "x a b y", "a b", " ", false, false, {{2, 5, 0.0}}},
        Case{"overlapping_runs_all_reported", "a a a", "a a", " ", false, false,
             {{0, 3, 0.0}, {2, 5, 0.0}}},
        Case{"span_keeps_untrimmed_blank", "a, b", "b", ",", false, false, {{2, 4, 0.0}}},
        Case{"leading_separator_widens_window", "a b", " b", " ", false, false, {}},
        Case{"empty_middle_piece_counts", "a  b", "a  b", " ", false, false, {}},
        Case{"separators_compared_as_written", "a  b", "a b", " ", false, false, {}},
        Case{"case_insensitive", "A B", "b", " ", true, false, {{2, 3, 0.0}}},
        Case{"case_sensitive_misses", "A B", "b", " ", false, false, {}},
        Case{"line_feed_separator_cuts_blanks", "a\nb c", "b", "\n", false, false, {{2, 3, 0.0}}},
        Case{"dotted_capital_i_shifts_positions", "\xC4\xB0x b", "b", " ", true, false,
             {{4, 5, 0.0}}},
        Case{"empty_text", "", "a", " ", false, false, {}},
        Case{"empty_pattern_matches_blank_token", "a, ,b", "", ",", false, false, {{2, 3, 0.0}}},
        Case{"empty_pattern_matches_empty_leading_token", "--ab", "", "--", false, false,
             {{0, 0, 0.0}}},
        Case{"empty_separator_blank_pattern", "abc", " ", "", false, false, {{0, 0, 0.0}}},
        Case{"empty_separator_letter_pattern", "abc", "a", "", false, false, {}},
        Case{"empty_separator_long_pattern", "abc", "abc", "", false, false, {}},
        // The tokenizer pattern is normalised like the text: '@' folds to 'a', cutting at
        // every a, à, â, ä and @ of the text.
        Case{"folded_separator", "x@y\xC3\xA0z\xC3\xA2w\xC3\xA4v", "z", "@", false, true,
             {{4, 5, 0.0}}},
        Case{"accents_folded_both_sides", "caf\xC3\xA9 cr\xC3\xA8me", "CR\xC3\x88ME", " ", true,
             true, {{5, 10, 0.0}}},
        Case{"multibyte_positions", "\xE2\x82\xAC\xE2\x82\xAC x \xC3\xA9t\xC3\xA9", "\xC3\xA9t\xC3\xA9",
             " ", false, false, {{5, 8, 0.0}}},
        Case{"self_overlapping_separator", "pabababaq", "q", "aba", false, false, {{8, 9, 0.0}}}),
    [](const testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

TEST(ExactTokenExtract, EmptyPatternAndSeparatorFail) {
  for (const char* text : {"", "abc"}) {
    const Extraction result = extract(text, "", "", false, false);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.message(),
              "index out of bounds: the len is 1 but the index is 18446744073709551615");
    EXPECT_TRUE(result.matches().empty());
  }
}

}  // namespace
}  // namespace veskal::exact_token_extract
