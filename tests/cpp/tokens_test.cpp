#include "iterator/tokens.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "text.hpp"

namespace veskal::iterator::tokens {
namespace {

using Spans = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

Spans char_spans(std::string_view text, std::string_view separator) {
  Spans spans;
  for (const TokenSpan& t : tokenize(text, separator)) spans.emplace_back(t.start, t.end);
  return spans;
}

// The rules written out over character positions, one position at a time.
Spans reference_spans(std::string_view text, std::string_view separator) {
  const std::u32string t = text::decode(text);
  const std::u32string sep = text::decode(separator);
  const std::uint64_t n = t.size();
  const std::uint64_t m = sep.size();
  Spans spans;
  std::uint64_t start = 0;
  for (std::uint64_t i = 0; i <= n; ++i) {
    if (t.substr(i, m) != sep) continue;
    if (i + m == start + 1 || i < start) {
      start = i + m;
    } else {
      spans.emplace_back(start, i);
      start = i + m;
    }
  }
  if (start != n) spans.emplace_back(start, n);
  return spans;
}

struct SpanCase {
  const char* name;
  std::string text;
  std::string separator;
  Spans expected;
};

class Tokenize : public testing::TestWithParam<SpanCase> {};

TEST_P(Tokenize, Spans) {
  const SpanCase& c = GetParam();
  EXPECT_EQ(char_spans(c.text, c.separator), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Tokenize,
    testing::Values(
        SpanCase{"no_separator", "abc", " ", {{0, 3}}}, SpanCase{"empty_text", "", " ", {}},
        SpanCase{"empty_separator", "abc", "", {{0, 0}}},
        SpanCase{"empty_text_and_separator", "", "", {{0, 0}}},
        SpanCase{"double_space", "a  b", " ", {{0, 1}, {3, 4}}},
        SpanCase{"leading_trailing_space", " a ", " ", {{1, 2}}},
        SpanCase{"only_separators", "   ", " ", {}},
        SpanCase{"leading_long_separator", "--ab", "--", {{0, 0}, {2, 4}}},
        SpanCase{"run_of_long_separator", "a----b", "--", {{0, 1}, {5, 6}}},
        SpanCase{"odd_run_of_long_separator", "a---b", "--", {{0, 1}, {4, 5}}},
        SpanCase{"adjacent_long_separators", "xababy", "ab", {{0, 1}, {3, 3}, {5, 6}}},
        SpanCase{"trailing_long_separator", "ab--", "--", {{0, 2}}},
        // Overlaps at a shift of two or more extend the separator instead of ending a token.
        SpanCase{"overlap_shift_two", "xababay", "aba", {{0, 1}, {6, 7}}},
        SpanCase{"overlap_chain", "xabababay", "aba", {{0, 1}, {8, 9}}},
        SpanCase{"overlap_shift_three", "xabcabcaby", "abcab", {{0, 1}, {9, 10}}},
        SpanCase{"multibyte_positions",
                 "\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80x",
                 " ",
                 {{0, 1}, {2, 3}, {4, 6}}},
        SpanCase{"multibyte_separator",
                 "a\xC3\xA9\xC3\xA9"
                 "b\xC3\xA9",
                 "\xC3\xA9",
                 {{0, 1}, {3, 4}}}),
    [](const testing::TestParamInfo<SpanCase>& p) { return std::string(p.param.name); });

// Byte offsets must cut exactly the characters that the positions name.
TEST(Tokenize, ByteOffsetsAgreeWithPositions) {
  const std::string text = "\xC3\xA9t\xC3\xA9--\xE2\x82\xAC--\xF0\x9F\x98\x80";
  for (const TokenSpan& t : tokenize(text, "--")) {
    EXPECT_EQ(text.substr(t.byte_start, t.byte_end - t.byte_start),
              char_substring(text, t.start, t.end));
  }
}

// Random texts over a tiny alphabet hit every overlap of short separators.
TEST(Tokenize, AgreesWithPositionByPositionRules) {
  std::mt19937 rng(99);
  const std::string alphabet[] = {"a", "b", "\xC3\xA9"};
  auto random_string = [&](std::size_t max_chars) {
    std::string s;
    for (std::size_t k = rng() % (max_chars + 1); k > 0; --k) s += alphabet[rng() % 3];
    return s;
  };
  for (int trial = 0; trial < 20000; ++trial) {
    const std::string text = random_string(16);
    const std::string separator = random_string(5);
    const Spans spans = char_spans(text, separator);
    ASSERT_EQ(spans, reference_spans(text, separator)) << text << " | " << separator;
    for (const auto& [start, end] : spans) ASSERT_LE(start, end);
  }
}

// Texts of a few hundred bytes cross the 64-byte blocks in which one-byte separators are
// looked for, and mix ASCII stretches with multi-byte characters at every distance.
TEST(Tokenize, LongTextsAgreeWithPositionByPositionRules) {
  std::mt19937 rng(7);
  const std::string alphabet[] = {"a", "b", " ", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  const std::string separators[] = {" ", "a", "\xC3\xA9", "ab", "aba"};
  for (int trial = 0; trial < 3000; ++trial) {
    std::string text;
    const std::size_t chars = rng() % 400;
    // Mostly one letter, so that long runs without a separator occur too.
    const std::size_t spread = 1 + rng() % 6;
    for (std::size_t k = 0; k < chars; ++k) text += alphabet[rng() % spread];
    for (const std::string& separator : separators) {
      ASSERT_EQ(char_spans(text, separator), reference_spans(text, separator))
          << text << " | " << separator;
    }
  }
}

struct Window {
  std::uint64_t start;
  std::uint64_t end;
  std::string text;
  friend bool operator==(const Window&, const Window&) = default;
};

std::vector<Window> runs(std::string_view text, std::string_view separator, std::uint64_t window) {
  TokenIterator it(text, separator, window);
  std::vector<Window> out;
  for (Item item; it.next(item);) out.push_back({item.start, item.end, std::string(item.text)});
  Item item;
  EXPECT_FALSE(it.next(item)) << "an exhausted iterator stays exhausted";
  return out;
}

TEST(TokenIterator, WindowsOfConsecutiveTokens) {
  EXPECT_EQ(runs("a b  c d", " ", 2),
            (std::vector<Window>{{0, 3, "a b"}, {2, 6, "b  c"}, {5, 8, "c d"}}));
  EXPECT_EQ(runs("a b c d", " ", 1).size(), 4u);
  EXPECT_EQ(runs("a b c d", " ", 4), (std::vector<Window>{{0, 7, "a b c d"}}));
  EXPECT_TRUE(runs("a b c d", " ", 5).empty());
  EXPECT_TRUE(runs("", " ", 1).empty());
  EXPECT_EQ(runs("\xC3\xA9--x", "--", 2), (std::vector<Window>{{0, 4, "\xC3\xA9--x"}}));
  EXPECT_EQ(runs("abc", "", 1), (std::vector<Window>{{0, 0, ""}}));
}

TEST(TokenIterator, ZeroWindowFaultsWithoutReading) {
  TokenIterator empty_separator("abc", "", 0);
  EXPECT_EQ(empty_separator.fault(),
            "index out of bounds: the len is 1 but the index is 18446744073709551615");
  Item item;
  EXPECT_FALSE(empty_separator.next(item));
  EXPECT_EQ(TokenIterator("a b c", " ", 0).fault(),
            "index out of bounds: the len is 3 but the index is 18446744073709551615");
  EXPECT_EQ(TokenIterator("", " ", 0).fault(),
            "index out of bounds: the len is 0 but the index is 0");
  EXPECT_FALSE(TokenIterator("a b", " ", 1).fault().has_value());
}

struct CountCase {
  std::string pattern;
  std::string separator;
  std::uint64_t expected;
};

class PatternTokenCount : public testing::TestWithParam<CountCase> {};

TEST_P(PatternTokenCount, Counts) {
  EXPECT_EQ(pattern_token_count(GetParam().pattern, GetParam().separator), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, PatternTokenCount,
                         testing::Values(CountCase{"a  b", " ", 3}, CountCase{"a b", " ", 2},
                                         CountCase{"a b ", " ", 3}, CountCase{" ", " ", 2},
                                         CountCase{"", " ", 1}, CountCase{"ab", " ", 1},
                                         CountCase{"abc", "", 3},
                                         CountCase{"\xC3\xA9\xE2\x82\xAC", "", 2},
                                         CountCase{"", "", 0},
                                         // Left-to-right split: overlapping occurrences cut once.
                                         CountCase{"aaa", "aa", 2}, CountCase{"aaaa", "aa", 3},
                                         CountCase{"xababay", "aba", 2}));

struct SubstringCase {
  std::uint64_t start;
  std::uint64_t end;
  std::string expected;
};

class CharSubstring : public testing::TestWithParam<SubstringCase> {};

TEST_P(CharSubstring, CutsByCharacters) {
  EXPECT_EQ(char_substring("\xC3\xA9"
                           "ab\xE2\x82\xAC",
                           GetParam().start, GetParam().end),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, CharSubstring,
                         testing::Values(SubstringCase{0, 1, "\xC3\xA9"}, SubstringCase{1, 3, "ab"},
                                         SubstringCase{2, 10, "b\xE2\x82\xAC"},
                                         SubstringCase{4, 6, ""}, SubstringCase{9, 12, ""},
                                         SubstringCase{2, 2, ""},
                                         // end < start: the wrapped length runs to the end.
                                         SubstringCase{2, 1, "b\xE2\x82\xAC"}));

}  // namespace
}  // namespace veskal::iterator::tokens
