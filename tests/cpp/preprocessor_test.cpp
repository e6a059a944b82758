#include "preprocessor.hpp"

#include <gtest/gtest.h>
#include <unicode/locid.h>
#include <unicode/uloc.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <utility>

namespace veskal::preprocessor {
namespace {

struct Case {
  const char* name;
  std::string input;
  bool case_insensitive;
  bool special_char_insensitive;
  std::string expected;
};

class Preprocess : public testing::TestWithParam<Case> {};

TEST_P(Preprocess, Normalises) {
  const Case& c = GetParam();
  EXPECT_EQ(preprocess(c.input, c.case_insensitive, c.special_char_insensitive), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Preprocess,
    testing::Values(
        Case{"line_feeds_always", "\n\n\n", false, false, "   "},
        Case{"other_controls_stay", "a\r\n\tb", false, false, "a\r \tb"},
        Case{"line_feed_with_flags", "A\n\xC3\xA9", true, true, "a e"},
        Case{"ascii_lower", "Hello, WORLD @ 42", true, false, "hello, world @ 42"},
        Case{"ascii_both", "Hello @ World", true, true, "hello a world"},
        Case{"dotted_capital_i_grows", "\xC4\xB0x", true, false, "i\xCC\x87x"},
        Case{"final_sigma", "\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3 \xCE\xA3\xCE\x91", true, false,
             "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82 \xCF\x83\xCE\xB1"},
        Case{"lone_sigma_is_not_final", "\xCE\xA3", true, false, "\xCF\x83"},
        // '.' and '\'' are case-ignorable: they are skipped when looking around the sigma.
        Case{"sigma_before_ignorable_then_end", "\xCE\x91\xCE\xA3.", true, false,
             "\xCE\xB1\xCF\x82."},
        Case{"sigma_between_ignorable_and_letter", "\xCE\x91\xCE\xA3'\xCE\x92", true, false,
             "\xCE\xB1\xCF\x83'\xCE\xB2"},
        Case{"sigma_before_line_feed", "\xCE\x91\xCE\xA3\n\xCE\x92", true, false,
             "\xCE\xB1\xCF\x82 \xCE\xB2"},
        Case{"accent_lowercase_only_folded", "\xC3\x89 \xC3\xA9", false, true, "\xC3\x89 e"},
        Case{"accent_both_flags", "\xC3\x89 \xC3\xA9", true, true, "e e"},
        Case{"accent_case_only", "\xC3\x89", true, false, "\xC3\xA9"},
        Case{"whole_table",
             "\xC3\xA0\xC3\xA2\xC3\xA4@\xC3\xA7\xC3\xA8\xC3\xA9\xC3\xAA\xC3\xAB"
             "\xE2\x82\xAC\xC3\xAF\xC3\xB9\xC3\xBB\xC3\xBC",
             false, true, "aaaaceeeeeiuuu"},
        Case{"uppercase_table_via_lowercase", "\xC3\x80\xC3\x87\xC3\x88\xC3\x8F\xC3\x99\xC3\x9C",
             true, true, "aceiuu"},
        // Neighbours of the table: U+00E1, U+00E3, U+00E5, U+00EE, U+00F4, U+00FA, U+00F1.
        Case{"neighbours_stay", "\xC3\xA1\xC3\xA3\xC3\xA5\xC3\xAE\xC3\xB4\xC3\xBA\xC3\xB1", true,
             true, "\xC3\xA1\xC3\xA3\xC3\xA5\xC3\xAE\xC3\xB4\xC3\xBA\xC3\xB1"},
        // A truncated euro sign's lead bytes must not be taken for one.
        Case{"euro_lookalike_stays", "\xE2\x82\xAB", false, true, "\xE2\x82\xAB"},
        Case{"empty", "", true, true, ""}),
    [](const testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

struct NormaliseCase {
  const char* name;
  std::string input;
  bool case_insensitive;
  bool special_char_insensitive;
  bool borrowed;  // at the narrowest width that holds the input
};

class Normalise : public testing::TestWithParam<NormaliseCase> {};

// The characters of `text`, as UTF-8.
std::string utf8(text::TextView view) {
  std::string out;
  view.visit([&](auto units) {
    for (const auto u : units) text::append_utf8(out, u);
  });
  return out;
}

// `input` normalised at every width that holds it: exactly what preprocess makes of it, at the
// narrowest width that holds the result, or the input itself.
void expect_normalises_as_preprocess(const std::string& input, bool ci, bool sci,
                                     std::optional<bool> borrowed = std::nullopt) {
  const std::string expected = preprocess(input, ci, sci);
  const text::TextView narrowest = text::OwnedText::from_utf8(expected).view();
  for (const text::OwnedText& owned : text::OwnedText::every_width(text::decode(input))) {
    const Normalised n = normalise(owned.view(), ci, sci);
    ASSERT_EQ(utf8(n.text()), expected) << "width " << int(owned.view().width());
    EXPECT_EQ(n.text().data() == owned.view().data(), n.borrowed());
    if (borrowed) {
      EXPECT_EQ(n.borrowed(), *borrowed);
      borrowed.reset();  // only the narrowest width is bound to borrow
    }
    if (n.borrowed()) continue;
    EXPECT_EQ(n.text().width(), narrowest.width()) << "width " << int(owned.view().width());
  }
}

TEST_P(Normalise, BorrowsExactlyWhenNothingChanges) {
  const NormaliseCase& c = GetParam();
  expect_normalises_as_preprocess(c.input, c.case_insensitive, c.special_char_insensitive,
                                  c.borrowed);
  const Normalised n = normalise(text::OwnedText::from_utf8(c.input).view(), c.case_insensitive,
                                 c.special_char_insensitive);
  EXPECT_EQ(n.borrowed(), c.borrowed);
}

// Long inputs put the deciding character past the first stretches.
const std::string kLong(100000, 'a');

INSTANTIATE_TEST_SUITE_P(
    Table, Normalise,
    testing::Values(
        NormaliseCase{"plain", "the cat", false, false, true},
        NormaliseCase{"empty", "", true, true, true},
        NormaliseCase{"line_feed", "a\nb", false, false, false},
        NormaliseCase{"capital_without_flag", "Cat @", false, false, true},
        NormaliseCase{"capital_lowered", "Cat", true, false, false},
        // The neighbours of A-Z in ASCII.
        NormaliseCase{"no_capital", "@[`{ cat", true, false, true},
        NormaliseCase{"at_folded", "a@b", false, true, false},
        NormaliseCase{"no_at", "Cat", false, true, true},
        NormaliseCase{"latin1_unflagged", "caf\xC3\xA9", false, false, true},
        NormaliseCase{"latin1_line_feed", "\xC3\xA9\n", false, false, false},
        NormaliseCase{"latin1_lower_already", "caf\xC3\xA9", true, false, true},
        NormaliseCase{"latin1_capital", "caf\xC3\x89", true, false, false},
        NormaliseCase{"latin1_folded", "\xC3\xA9", false, true, false},
        NormaliseCase{"latin1_not_in_table", "\xC3\xB1\xC3\x97\xC3\x9F", true, true, true},
        NormaliseCase{"wide_unflagged", "\xE2\x80\x99", false, false, true},
        NormaliseCase{"wide_folded_narrows",
                      "\xE2\x82\xAC"
                      "5",
                      false, true, false},
        NormaliseCase{"wide_lowered_narrows", "\xC5\xB8", true, false, false},
        NormaliseCase{"wide_lowered", "\xC5\x92uvre \xE2\x80\x99", true, true, false},
        NormaliseCase{"astral_lowered", "\xF0\x90\x90\x80\xC4\xB0", true, false, false},
        NormaliseCase{"long_plain", kLong, true, true, true},
        NormaliseCase{"long_line_feed_at_end", kLong + "\n", false, false, false},
        NormaliseCase{"long_capital_at_end", kLong + "Z" + kLong, true, true, false},
        NormaliseCase{"long_latin1_at_end", kLong + "\xC3\xA9", false, false, true},
        NormaliseCase{"long_wide_then_line_feed", "\xE2\x80\x99" + kLong + "\n", false, false,
                      false},
        NormaliseCase{"long_capital_then_wide", "Z" + kLong + "\xC5\x92", true, true, false},
        NormaliseCase{"long_folded_then_wide", "\xC3\xA9" + kLong + "\xC5\x92", false, true, false},
        NormaliseCase{"long_line_feed_then_wide", "\n" + kLong + "\xE2\x80\x99", false, false,
                      false}),
    [](const testing::TestParamInfo<NormaliseCase>& p) { return std::string(p.param.name); });

// Random texts of every width, and the widths a text narrows to once normalised.
TEST(NormaliseProperty, AgreesWithPreprocessAtEveryWidth) {
  const char* pieces[] = {"a",
                          "Z",
                          "\n",
                          " ",
                          "@",
                          "\xC3\xA9",
                          "\xC3\x89",
                          "\xE2\x82\xAC",
                          "\xC5\x92",
                          "\xC4\xB0",
                          "\xCE\xA3",
                          "\xCE\x91",
                          "'",
                          "\xC5\xB8",
                          "\xF0\x90\x90\x80",
                          "\xF0\x9F\x98\x80"};
  std::mt19937 rng(11);
  for (int trial = 0; trial < 20000; ++trial) {
    std::string text;
    // A few pieces only, so that many texts avoid the widest ones.
    const std::size_t spread = 3 + rng() % (std::size(pieces) - 2);
    for (std::size_t k = rng() % 12; k > 0; --k) text += pieces[rng() % spread];
    const bool ci = rng() % 2;
    const bool sci = rng() % 2;
    expect_normalises_as_preprocess(text, ci, sci);
    if (testing::Test::HasFatalFailure()) return;
    // Checked for lone surrogates as it is normalised: the same text when it holds none, and
    // one found wherever it lies, many blocks in included.
    std::u32string chars = text::decode(text);
    for (const text::OwnedText& owned : text::OwnedText::every_width(chars)) {
      bool surrogate = true;
      const Normalised n = normalise(owned.view(), ci, sci, true, &surrogate);
      ASSERT_FALSE(surrogate);
      ASSERT_EQ(utf8(n.text()), preprocess(text, ci, sci));
    }
    if (trial % 8 == 0) chars.insert(0, std::u32string(rng() % 200'000, U'b'));
    chars.insert(rng() % (chars.size() + 1), 1, 0xD800 + rng() % 0x800);
    for (const text::OwnedText& owned : text::OwnedText::every_width(chars)) {
      bool surrogate = false;
      normalise(owned.view(), ci, sci, rng() % 2, &surrogate);
      ASSERT_TRUE(surrogate) << "width " << int(owned.view().width());
    }
  }
}

// The table is the simple lowercase; for every other character than U+0130 and sigma, ICU's full
// lowercase of the character alone must equal it, and stay within the character's width.
TEST(NormaliseProperty, TableEqualsFullLowercaseOfEveryCharacter) {
  for (char32_t c = 0; c < 0x110000; ++c) {
    if ((c >= 0xD800 && c < 0xE000) || c == 0x130 || c == 0x3A3) continue;
    std::string single;
    text::append_utf8(single, c);
    const std::string expected = preprocess(single, true, false);
    const std::u32string chars(1, c);
    const text::OwnedText owned = text::OwnedText::narrowest(chars);
    const Normalised n = normalise(owned.view(), true, false);
    ASSERT_EQ(utf8(n.text()), expected) << "U+" << std::hex << static_cast<std::uint32_t>(c);
    ASSERT_LE(static_cast<int>(n.text().width()), static_cast<int>(owned.view().width()));
  }
}

// Every Latin-1 character, and every BMP character but those that need ICU's context, in vectors
// of mixed characters (shuffled), with the vector code and without it; and Latin-1 among
// characters beyond the BMP, cased ones included, which only UCS-4 holds.
TEST(NormaliseProperty, EveryCharacterInVectors) {
  std::u32string latin1;
  for (int copy = 0; copy < 8; ++copy) {
    for (char32_t c = 0; c < 0x100; ++c) latin1.push_back(c);
  }
  std::u32string bmp;
  for (char32_t c = 0; c < 0x10000; ++c) {
    if ((c < 0xD800 || c >= 0xE000) && c != 0x130 && c != 0x3A3) bmp.push_back(c);
  }
  std::u32string astral = latin1;
  for (char32_t c = 0x10000; c < 0x110000;
       c += c < 0x10500 || (c >= 0x1E900 && c < 0x1E950) ? 1 : 0x1FF) {
    astral.push_back(c);
  }
  std::mt19937 rng(5);
  for (std::u32string chars : {latin1, bmp, astral}) {
    for (int shuffled = 0; shuffled < 3; ++shuffled) {
      if (shuffled > 0) std::shuffle(chars.begin(), chars.end(), rng);
      std::string utf8_chars;
      for (const char32_t c : chars) text::append_utf8(utf8_chars, c);
      for (const auto& [ci, sci] :
           {std::pair{true, false}, {true, true}, {false, true}, {false, false}}) {
        const std::string expected = preprocess(utf8_chars, ci, sci);
        for (const bool avx2 : {true, false}) {
          text::detail::use_avx2(avx2);
          for (const text::OwnedText& owned : text::OwnedText::every_width(chars)) {
            const bool same = utf8(normalise(owned.view(), ci, sci).text()) == expected;
            text::detail::use_avx2(true);
            ASSERT_TRUE(same) << ci << sci << avx2 << " width " << int(owned.view().width());
          }
        }
      }
    }
  }
}

TEST(PreprocessLocale, IgnoresTheProcessLocale) {
  const std::string saved = uloc_getDefault();
  UErrorCode status = U_ZERO_ERROR;
  uloc_setDefault("tr_TR", &status);
  ASSERT_TRUE(U_SUCCESS(status));
  // Under Turkish rules I would become a dotless i and U+0130 a plain i.
  const std::string lowered = preprocess("I\xC4\xB0\xC3\xA9", true, false);
  uloc_setDefault(saved.c_str(), &status);
  EXPECT_EQ(lowered, "ii\xCC\x87\xC3\xA9");
}

// Long texts are lowercased piecewise; the pieces must join to the lowercase of the whole,
// final sigmas included, whichever way the text mixes ASCII and other characters.
TEST(PreprocessLong, PiecewiseLowercaseEqualsWholeText) {
  // Sigmas, cased and folded letters and case-ignorable marks in quick succession, so that
  // wherever the text is cut some final sigma's context is likely to straddle the cut.
  const char* pieces[] = {"\xCE\xA3", "\xCE\xA3",     "\xCE\xA3", "\xCE\x91", "'",
                          ".",        "\xCC\x81",     ":",        " ",        "A",
                          "b",        "\xC4\xB0",     "\n",       "\xC3\x89", "\xC3\xA0",
                          "@",        "\xE2\x82\xAC", "\xC2\xA0"};
  std::mt19937 rng(7);
  for (int trial = 0; trial < 6; ++trial) {
    std::string text;
    while (text.size() < 1024 * 1024) {
      // Long pure-ASCII stretches exercise the fast path between pieces that need ICU.
      if (trial % 2 == 1 && rng() % 2000 == 0) text.append(70 * 1024, 'Q');
      text += pieces[rng() % std::size(pieces)];
    }
    std::string spaced = text;
    for (char& c : spaced) c = c == '\n' ? ' ' : c;
    std::string expected;
    icu::UnicodeString::fromUTF8(spaced).toLower(icu::Locale::getRoot()).toUTF8String(expected);
    ASSERT_EQ(preprocess(text, true, false), expected) << "trial " << trial;
    // The same for texts of code units, which are cut into stretches and blocks of their own;
    // with folding too, and folding alone.
    const std::string folded = preprocess(text, true, true);
    const std::string only_folded = preprocess(text, false, true);
    for (const text::OwnedText& owned : text::OwnedText::every_width(text::decode(text))) {
      ASSERT_TRUE(utf8(normalise(owned.view(), true, false).text()) == expected)
          << "trial " << trial << " width " << int(owned.view().width());
      ASSERT_TRUE(utf8(normalise(owned.view(), true, true).text()) == folded);
      ASSERT_TRUE(utf8(normalise(owned.view(), false, true).text()) == only_folded);
    }
  }
}

}  // namespace
}  // namespace veskal::preprocessor
