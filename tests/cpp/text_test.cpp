#include "text.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace veskal::text {
namespace {

std::vector<std::size_t> occurrences(std::string_view haystack, std::string_view needle) {
  std::vector<std::size_t> found;
  for_each_occurrence(haystack, needle, [&](std::size_t at) { found.push_back(at); });
  return found;
}

std::vector<std::size_t> naive_occurrences(std::string_view haystack, std::string_view needle) {
  std::vector<std::size_t> found;
  for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
    if (haystack.substr(i, needle.size()) == needle) found.push_back(i);
  }
  return found;
}

// A tiny alphabet makes dense and self-overlapping matches common, which is where the three
// search strategies (memchr, memmem, automaton) differ.
TEST(ForEachOccurrence, AgreesWithNaiveScan) {
  std::mt19937 rng(12345);
  const std::string alphabet = "ab";
  auto random_string = [&](std::size_t max_len) {
    std::string s(rng() % (max_len + 1), 'a');
    for (char& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
  };
  for (int trial = 0; trial < 20000; ++trial) {
    const std::string haystack = random_string(24);
    std::string needle = random_string(6);
    if (needle.empty()) needle.push_back('a');
    ASSERT_EQ(occurrences(haystack, needle), naive_occurrences(haystack, needle))
        << "haystack=" << haystack << " needle=" << needle;
  }
}

TEST(ForEachOccurrence, MultiByteNeedleMatchesOnlyWholeCharacters) {
  // "é" is C3 A9; "©" is C2 A9: a byte-level search must not confuse the shared tail byte.
  EXPECT_EQ(occurrences("\xC3\xA9\xC2\xA9\xC3\xA9", "\xC3\xA9"), (std::vector<std::size_t>{0, 4}));
  EXPECT_EQ(occurrences("aaa", ""), std::vector<std::size_t>{});
  EXPECT_EQ(occurrences("ab", "abc"), std::vector<std::size_t>{});
}

struct TrimCase {
  std::string input;
  std::string expected;
};

class Trim : public testing::TestWithParam<TrimCase> {};

TEST_P(Trim, RemovesWhiteSpaceAtBothEndsOnly) {
  EXPECT_EQ(trim(std::string_view(GetParam().input)), GetParam().expected);
  const std::u32string wide = decode(GetParam().input);
  EXPECT_EQ(trim(std::u32string_view(wide)), decode(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Trim,
    testing::Values(TrimCase{"", ""}, TrimCase{" \t\r\n\v\f", ""}, TrimCase{" a b ", "a b"},
                    TrimCase{"\xC2\xA0x\xE3\x80\x80", "x"},      // U+00A0, U+3000
                    TrimCase{"\xE2\x80\xAFx\xC2\x85", "x"},      // U+202F, U+0085
                    TrimCase{"\xE1\x9A\x80x\xE2\x80\xA9", "x"},  // U+1680, U+2029
                    TrimCase{"\x1Cx\x1F", "\x1Cx\x1F"},          // not White_Space
                    TrimCase{"\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},  // U+200B is not either
                    TrimCase{"\xCF\x83 ", "\xCF\x83"}));

TEST(Decode, RoundTripsEveryEncodedLength) {
  const std::u32string chars = {U'a', U'\u00E9', U'\u20AC', U'\U0001F600', U'\u0130'};
  std::string utf8;
  for (const char32_t c : chars) append_utf8(utf8, c);
  EXPECT_EQ(decode(utf8), chars);
  EXPECT_EQ(count_chars(utf8), chars.size());
  std::size_t end = utf8.size();
  EXPECT_EQ(decode_before(utf8, end), U'\u0130');
  EXPECT_EQ(decode_before(utf8, end), U'\U0001F600');
}

// Word-at-a-time scans must agree with a byte loop at every offset and length, so that no
// character at a word's edge is miscounted or missed.
TEST(Scan, WordAtATimeAgreesWithBytes) {
  std::mt19937 rng(5);
  const std::string pieces[] = {"a", " ", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80"};
  std::u32string reused = U"left over";
  for (int trial = 0; trial < 3000; ++trial) {
    std::string s;
    const std::size_t spread = 1 + rng() % 5;
    for (std::size_t k = rng() % 40; k > 0; --k) s += pieces[rng() % spread];
    std::size_t chars = 0;
    for (const char c : s) chars += is_lead_byte(static_cast<unsigned char>(c));
    ASSERT_EQ(count_chars(s), chars) << s;
    const std::size_t from = s.empty() ? 0 : rng() % s.size();
    std::size_t first = from;
    while (first < s.size() && static_cast<unsigned char>(s[first]) < 0x80) ++first;
    ASSERT_EQ(find_non_ascii(s, from), first) << s;
    std::u32string one_by_one;
    for (std::size_t i = 0; i < s.size();) one_by_one.push_back(decode_at(s, i));
    decode(s, reused);
    ASSERT_EQ(reused, one_by_one) << s;
  }
}

}  // namespace
}  // namespace veskal::text
