#include "iterator/tokens.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "text.hpp"

namespace veskal::iterator::tokens {
namespace {

using Spans = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

// The spans of the UTF-8 `text` stored at every width that holds it, which must agree; a
// separator that a width cannot hold never cuts there.
Spans char_spans(std::string_view text, std::string_view separator, bool line_feeds = false) {
  const std::u32string sep = text::decode(separator);
  std::optional<Spans> first;
  for (const text::OwnedText& owned : text::OwnedText::every_width(text::decode(text))) {
    Spans spans;
    owned.view().visit([&](auto units) {
      using Unit = typename decltype(units)::value_type;
      for (const TokenSpan& t : tokenize(units, Separator<Unit>(sep, line_feeds))) {
        spans.emplace_back(t.start, t.end);
      }
    });
    if (first) {
      EXPECT_EQ(spans, *first) << "width " << int(owned.view().width());
    }
    first = std::move(spans);
  }
  return *first;
}

template <class Unit>
std::string utf8(text::Units<Unit> units) {
  std::string out;
  for (const Unit u : units) text::append_utf8(out, u);
  return out;
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
        SpanCase{"separator_wider_than_text", "a b", "\xE2\x82\xAC", {{0, 3}}},
        SpanCase{"multibyte_separator",
                 "a\xC3\xA9\xC3\xA9"
                 "b\xC3\xA9",
                 "\xC3\xA9",
                 {{0, 1}, {3, 4}}}),
    [](const testing::TestParamInfo<SpanCase>& p) { return std::string(p.param.name); });

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
  const std::string alphabet[] = {"a", "b", " ", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                  "\n"};
  // Wide one-character separators check the wider units' compares, at every width that holds them.
  const std::string separators[] = {" ",  "a",  "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80",
                                    "ab", "aba"};
  for (int trial = 0; trial < 3000; ++trial) {
    std::string text;
    const std::size_t chars = rng() % 400;
    // Mostly one letter, so that long runs without a separator occur too.
    const std::size_t spread = 1 + rng() % 7;
    for (std::size_t k = 0; k < chars; ++k) text += alphabet[rng() % spread];
    for (const std::string& separator : separators) {
      ASSERT_EQ(char_spans(text, separator), reference_spans(text, separator))
          << text << " | " << separator;
    }
    // Told to, the space cuts a lent text at its line feeds as at the spaces they stand for;
    // any other separator ignores the request.
    std::string spaced = text;
    std::replace(spaced.begin(), spaced.end(), '\n', ' ');
    ASSERT_EQ(char_spans(text, " ", true), reference_spans(spaced, " ")) << text;
    ASSERT_EQ(char_spans(text, "a", true), reference_spans(text, "a")) << text;
  }
}

struct Window {
  std::uint64_t start;
  std::uint64_t end;
  std::string text;
  friend bool operator==(const Window&, const Window&) = default;
};

std::vector<Window> runs(std::string_view text, std::string_view separator, std::uint64_t window) {
  const std::u32string sep = text::decode(separator);
  std::optional<std::vector<Window>> first;
  for (const text::OwnedText& owned : text::OwnedText::every_width(text::decode(text))) {
    std::vector<Window> out;
    owned.view().visit([&](auto units) {
      using Unit = typename decltype(units)::value_type;
      const Separator<Unit> cut(sep);
      TokenIterator<Unit> it(units, cut, window);
      for (Item<Unit> item; it.next(item);) {
        out.push_back({item.start, item.end, utf8(item.text)});
      }
      Item<Unit> item;
      EXPECT_FALSE(it.next(item)) << "an exhausted iterator stays exhausted";
    });
    if (first) {
      EXPECT_EQ(out, *first) << "width " << int(owned.view().width());
    }
    first = std::move(out);
  }
  return *first;
}

// The fault of a window over the Latin-1 `text`.
std::optional<std::string> fault(std::string_view text, std::u32string_view separator,
                                 std::uint64_t window) {
  const text::Units<text::Latin1> units(reinterpret_cast<const text::Latin1*>(text.data()),
                                        text.size());
  const Separator<text::Latin1> cut(separator);
  return TokenIterator<text::Latin1>(units, cut, window).fault();
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
  EXPECT_EQ(fault("abc", U"", 0),
            "index out of bounds: the len is 1 but the index is 18446744073709551615");
  EXPECT_TRUE(runs("abc", "", 0).empty());
  EXPECT_EQ(fault("a b c", U" ", 0),
            "index out of bounds: the len is 3 but the index is 18446744073709551615");
  EXPECT_EQ(fault("", U" ", 0), "index out of bounds: the len is 0 but the index is 0");
  EXPECT_FALSE(fault("a b", U" ", 1).has_value());
}

struct CountCase {
  std::string pattern;
  std::string separator;
  std::uint64_t expected;
};

class PatternTokenCount : public testing::TestWithParam<CountCase> {};

TEST_P(PatternTokenCount, Counts) {
  EXPECT_EQ(
      pattern_token_count(text::decode(GetParam().pattern), text::decode(GetParam().separator)),
      GetParam().expected);
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

}  // namespace
}  // namespace veskal::iterator::tokens
