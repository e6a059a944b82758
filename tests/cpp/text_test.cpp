#include "text.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <string>
#include <vector>

namespace veskal::text {
namespace {

// Found with and without vetting for surrogates, which must agree.
template <class Unit>
std::vector<std::size_t> occurrences(const std::vector<Unit>& haystack,
                                     const std::vector<Unit>& needle) {
  std::vector<std::size_t> found;
  for_each_occurrence(Units<Unit>(haystack), Units<Unit>(needle),
                      [&](std::size_t at) { found.push_back(at); });
  std::vector<std::size_t> vetted;
  Occurrences<Unit> search(Units<Unit>(haystack), Units<Unit>(needle), true);
  for (std::size_t at; (at = search.next()) != npos;) vetted.push_back(at);
  EXPECT_EQ(vetted, found);
  EXPECT_FALSE(search.surrogate());
  // Reading line feeds as spaces finds what a search of the text with spaces for them finds.
  std::vector<Unit> spaced = haystack;
  std::replace(spaced.begin(), spaced.end(), Unit{'\n'}, Unit{' '});
  std::vector<std::size_t> expected;
  for (std::size_t i = 0; !needle.empty() && i + needle.size() <= spaced.size(); ++i) {
    if (std::equal(needle.begin(), needle.end(), spaced.begin() + i)) expected.push_back(i);
  }
  for (const bool vet : {false, true}) {
    std::vector<std::size_t> read_as_spaces;
    Occurrences<Unit> lent(Units<Unit>(haystack), Units<Unit>(needle), vet, true);
    for (std::size_t at; (at = lent.next()) != npos;) read_as_spaces.push_back(at);
    EXPECT_EQ(read_as_spaces, expected) << "vetted " << vet;
  }
  return found;
}

// Runs `f` as this machine runs it and, where it has AVX2, as machines without it do.
template <class F>
void with_and_without_avx2(F&& f) {
  f();
  if (!has_avx2()) return;
  struct Restore {
    ~Restore() { detail::use_avx2(true); }
  } restore;
  detail::use_avx2(false);
  f();
}

template <class Unit>
std::vector<std::size_t> naive_occurrences(const std::vector<Unit>& haystack,
                                           const std::vector<Unit>& needle) {
  std::vector<std::size_t> found;
  for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
    if (std::equal(needle.begin(), needle.end(), haystack.begin() + i)) found.push_back(i);
  }
  return found;
}

template <class Unit>
std::vector<Unit> units(std::u32string_view s) {
  return *narrow<Unit>(s);
}

// A tiny alphabet makes dense and self-overlapping matches common; lengths up to a few vector
// blocks put candidates at every lane and in the scalar tail. Units whose low byte equals a
// needle unit's check that wide units are never matched by a part of them.
template <class Unit>
void agrees_with_naive_scan(std::u32string_view alphabet) {
  std::mt19937 rng(12345);
  auto random_string = [&](std::size_t max_len) {
    std::u32string s(rng() % (max_len + 1), U'a');
    for (char32_t& c : s) c = alphabet[rng() % alphabet.size()];
    return s;
  };
  for (int trial = 0; trial < 20000; ++trial) {
    const std::vector<Unit> haystack = units<Unit>(random_string(trial % 10 == 0 ? 200 : 40));
    std::vector<Unit> needle = units<Unit>(random_string(6));
    if (needle.empty()) needle.push_back(static_cast<Unit>(alphabet[0]));
    ASSERT_EQ(occurrences(haystack, needle), naive_occurrences(haystack, needle))
        << "trial " << trial;
  }
}

TEST(ForEachOccurrence, AgreesWithNaiveScanAtEveryWidth) {
  with_and_without_avx2([] {
    agrees_with_naive_scan<Latin1>(U"ab");
    agrees_with_naive_scan<Latin1>(U"a \n");
    agrees_with_naive_scan<char16_t>(U"ab \n\u0161");
    agrees_with_naive_scan<char32_t>(U"a \n\U00010061");
    agrees_with_naive_scan<Latin1>(U"a\u00e1");
    agrees_with_naive_scan<char16_t>(U"ab\u0161");  // U+0161: low byte 0x61 is 'a'
    agrees_with_naive_scan<char32_t>(U"ab\U00010061");
  });
}

// Haystacks built so that the first and last units match everywhere and the rest nowhere: the
// search must give up filtering and still find every occurrence, in linear time.
TEST(ForEachOccurrence, FilterDefeatingTextsStayExactAndLinear) {
  std::u32string needle = U"a" + std::u32string(60, U'x') + U"b";
  std::u32string haystack;
  for (int i = 0; i < 200000; ++i) haystack += U"ab";
  haystack += needle + U"ab" + needle;
  const auto check = [&]<class Unit>(Unit) {
    const std::vector<Unit> h = units<Unit>(haystack);
    const std::vector<Unit> n = units<Unit>(needle);
    EXPECT_EQ(occurrences(h, n), naive_occurrences(h, n));
    // Probes on the rare letters at both ends, which the text repeats: every start is a
    // candidate. A vetted search has the rest of the text checked before the automaton reads it.
    const std::u32string spread = U"\u00e9" + std::u32string(60, U'a') + U"\u00e9";
    std::vector<Unit> dense = units<Unit>(std::u32string(100000, U'\u00e9') + spread + spread);
    const std::vector<Unit> probed = units<Unit>(spread);
    EXPECT_EQ(occurrences(dense, probed), naive_occurrences(dense, probed));
    if constexpr (sizeof(Unit) > 1) {
      dense[dense.size() - 100] = Unit{0xDBFF};
      Occurrences<Unit> search(Units<Unit>(dense), Units<Unit>(probed), true);
      while (search.next() != npos) {
      }
      EXPECT_TRUE(search.surrogate());
    }
  };
  check(Latin1{});
  check(char16_t{});
  check(char32_t{});
  // The same where the needle's spaces are the text's line feeds.
  std::replace(needle.begin(), needle.end(), U'x', U' ');
  std::u32string fed = needle;
  std::replace(fed.begin(), fed.end(), U' ', U'\n');
  haystack.clear();
  for (int i = 0; i < 200000; ++i) haystack += U"ab";
  haystack.append(fed).append(U"ab").append(fed);
  EXPECT_EQ(occurrences(units<char16_t>(haystack), units<char16_t>(needle)).size(), 0u);
  // Self-overlapping needles: every start of a long run matches.
  const std::vector<char16_t> run(100000, u'a');
  EXPECT_EQ(occurrences(run, std::vector<char16_t>(50, u'a')).size(), run.size() - 49);
  EXPECT_EQ(occurrences(std::vector<char16_t>{u'a'}, std::vector<char16_t>{}).size(), 0u);
}

// The needle's offsets of the surrogate the tests below put into texts, near where the search
// changes gear: the lanes of a vector (16 or 8 units) and of a round of two, the 8 KiB blocks
// that the plain path checks ahead of its search, the 64 KiB blocks of work that the checking
// loop counts, the text's start and its last units, which no start but the last few reaches.
template <class Unit>
std::vector<std::size_t> surrogate_offsets(std::size_t n) {
  std::vector<std::size_t> at;
  const auto around = [&](std::size_t edge, std::size_t reach) {
    for (std::size_t i = edge - std::min(edge, reach); i < std::min(n, edge + reach); ++i) {
      at.push_back(i);
    }
  };
  around(0, 72);
  for (const std::size_t bytes : {8192, 16384, 65536}) around(bytes / sizeof(Unit), 40);
  around(n, 72);
  return at;
}

// A surrogate anywhere, before, inside, next to or after the occurrences, or where no needle
// fits, ends a vetted search with surrogate() and npos ever after; what it returned before is
// what the plain search finds, wholly before the surrogate. A needle holding a surrogate finds
// nothing, and reports one in the text. With the vector code and without it.
TEST(ForEachOccurrence, VettingFindsEverySurrogate) {
  const auto check = [&]<class Unit>(Unit) {
    // Words at irregular offsets, runs where a short needle occurs at every start, characters
    // next to the surrogates' range, and one longer than a round of lanes.
    std::u32string chars;
    std::mt19937 rng(99);
    std::vector<std::u32string> words = {U"needle",
                                         U"hay",
                                         U"aaaaaaa",
                                         U"ne",
                                         U"\uD7FF\uE000",
                                         U"\uFFFF",
                                         U"hayneedlehayneedlehayneedlehay-0123456789"};
    if constexpr (sizeof(Unit) == 4) words.push_back(U"\U0001D800\U0010DFFF\U0010FFFF");
    while (chars.size() < 65536 / sizeof(Unit) + 300) chars += words[rng() % words.size()] + U" ";
    std::vector<Unit> text = units<Unit>(chars);
    const std::vector<std::vector<Unit>> needles = {
        units<Unit>(U"needle"), units<Unit>(U"e"),
        units<Unit>(U"aa"),     units<Unit>(words.back()),
        units<Unit>(words[6]),  std::vector<Unit>(text.size() + 1, Unit{'h'})};
    for (const std::vector<Unit>& needle : needles) {
      occurrences(text, needle);  // agree when nothing is found
      const std::size_t m = needle.size();
      std::size_t variant = 0;
      std::vector<Unit> bad = text;  // changed about `at`, then restored
      for (const std::size_t at : surrogate_offsets<Unit>(text.size())) {
        // The needle ending just before the surrogate, starting just after it, or across it.
        const std::size_t place =
            std::array{at, at - std::min(at, m), at + 1, at - std::min(at, m / 2)}[variant];
        const bool fits = m <= bad.size() && place <= bad.size() - m;
        if (fits) std::copy(needle.begin(), needle.end(), bad.begin() + place);
        bad[at] = std::array<Unit, 3>{0xD800, 0xDFFF, 0xDC80}[variant % 3];
        variant = (variant + 1) % 4;
        std::vector<std::size_t> before;  // the plain search's occurrences before the surrogate
        for_each_occurrence(Units<Unit>(bad).first(at), Units<Unit>(needle),
                            [&](std::size_t q) { before.push_back(q); });
        Occurrences<Unit> search(Units<Unit>(bad), Units<Unit>(needle), true);
        std::vector<std::size_t> found;
        for (std::size_t q; (q = search.next()) != npos;) found.push_back(q);
        ASSERT_TRUE(search.surrogate()) << at << " " << m;
        EXPECT_EQ(search.next(), npos);
        bad[at] = text[at];
        if (fits) std::copy_n(text.begin() + place, m, bad.begin() + place);
        ASSERT_LE(found.size(), before.size()) << at << " " << m;
        ASSERT_TRUE(std::equal(found.begin(), found.end(), before.begin())) << at << " " << m;
      }
    }
    // A needle holding a surrogate, which the text holds too.
    std::vector<Unit> needle = units<Unit>(U"needle");
    needle[2] = Unit{0xDC00};
    std::vector<Unit> held = text;
    for (std::size_t i = 0; i < held.size(); i += 5000) {
      std::copy(needle.begin(), needle.end(), held.begin() + i);
    }
    for (const std::vector<Unit>* haystack : {&text, &held}) {
      Occurrences<Unit> search(Units<Unit>(*haystack), Units<Unit>(needle), true);
      EXPECT_EQ(search.next(), npos);
      EXPECT_EQ(search.surrogate(), haystack == &held);
    }
    // An empty needle still has the text checked.
    Occurrences<Unit> empty(Units<Unit>(held), Units<Unit>(), true);
    EXPECT_EQ(empty.next(), npos);
    EXPECT_TRUE(empty.surrogate());
    // At every place of a vector round and of the tail, next to the values that bound the range.
    std::vector<Unit> near = {Unit{0xD7FF}, Unit{0xE000}, Unit{0xFFFF}, Unit{0}};
    if constexpr (sizeof(Unit) == 4) near.insert(near.end(), {0x1D800, 0x10DFFF, 0x10FFFF});
    for (std::size_t n = 1; n < 150; ++n) {
      std::vector<Unit> clean(n);
      for (std::size_t i = 0; i < n; ++i) clean[i] = near[i % near.size()];
      ASSERT_FALSE(has_surrogate(Units<Unit>(clean))) << n;
      for (std::size_t at = 0; at < n; ++at) {
        std::vector<Unit> bad = clean;
        bad[at] = at % 2 == 0 ? Unit{0xD800} : Unit{0xDFFF};
        ASSERT_TRUE(has_surrogate(Units<Unit>(bad))) << n << " " << at;
      }
    }
  };
  with_and_without_avx2([&] {
    check(char16_t{});
    check(char32_t{});
  });
}

// Several needles' probes in one pass find what a unit-by-unit scan finds, in its order, over
// any range of starts: in pairs of vector rounds, in a last single round, in the tail, where a
// needle no longer fits. Vetting reports a surrogate at any place in the range, before the first
// probe's units included, having reported at most the candidates before it.
TEST(ScanProbes, AgreesWithAUnitByUnitScan) {
  const auto check = [&]<class Unit>(Unit, std::u32string_view alphabet) {
    std::mt19937 rng(777);
    for (int trial = 0; trial < 3060; ++trial) {
      std::u32string chars(rng() % 300, U'a');
      for (char32_t& c : chars) c = alphabet[rng() % alphabet.size()];
      const std::vector<Unit> h = units<Unit>(chars);
      std::vector<ProbedNeedle<Unit>> needles;
      for (std::size_t j = 0, count = 1 + rng() % kMaxProbedNeedles; j < count; ++j) {
        const std::size_t size = 1 + rng() % 40;
        const std::size_t first = rng() % size;
        const Probes at{first, first + rng() % (size - first)};
        needles.push_back({size, at, static_cast<Unit>(alphabet[rng() % alphabet.size()]),
                           static_cast<Unit>(alphabet[rng() % alphabet.size()])});
      }
      const std::size_t from = rng() % (h.size() + 1);
      const std::size_t to = from + rng() % (h.size() - from + 1);
      const auto candidates = [&](const std::vector<Unit>& haystack) {
        std::vector<std::pair<std::size_t, std::size_t>> found;
        for (std::size_t i = from; i < to; ++i) {
          for (std::size_t j = 0; j < needles.size(); ++j) {
            const ProbedNeedle<Unit>& n = needles[j];
            if (i + n.size <= haystack.size() && haystack[i + n.probes.first] == n.first &&
                haystack[i + n.probes.second] == n.second) {
              found.emplace_back(i, j);
            }
          }
        }
        return found;
      };
      const std::vector<std::pair<std::size_t, std::size_t>> expected = candidates(h);
      std::vector<std::pair<std::size_t, std::size_t>> got;
      const auto on_candidate = [&](std::size_t j, std::size_t at) { got.emplace_back(at, j); };
      ASSERT_TRUE(
          scan_probes<Unit>(Units<Unit>(h), from, to, needles, trial % 2 == 0, on_candidate));
      ASSERT_EQ(got, expected) << "trial " << trial;
      if (sizeof(Unit) == 1 || from >= to) continue;
      // The last trials put one at every place; the others at one.
      const bool every = trial >= 3000;
      for (std::size_t at = every ? from : from + rng() % (to - from); at < to; ++at) {
        std::vector<Unit> bad = h;
        bad[at] = static_cast<Unit>(0xD800 + rng() % 0x800);
        got.clear();
        ASSERT_FALSE(scan_probes<Unit>(Units<Unit>(bad), from, to, needles, true, on_candidate))
            << "trial " << trial << " at " << at;
        const std::vector<std::pair<std::size_t, std::size_t>> before = candidates(bad);
        ASSERT_LE(got.size(), before.size());
        ASSERT_TRUE(std::equal(got.begin(), got.end(), before.begin())) << "trial " << trial;
        if (!every) break;
      }
    }
  };
  with_and_without_avx2([&] {
    check(Latin1{}, U"ab");
    check(char16_t{}, U"ab\u0161");  // U+0161: low byte 0x61 is 'a'
    check(char32_t{}, U"ab\U00010061");
  });
}

// The vector test of windows against a bitmap marks the starts that a start-by-start test with
// window_hash marks, up to where it stops: a whole number of 16-start blocks that read within the
// text and start before `to`. Four units or three, bitmaps sparse and dense, and units whose low
// 16 bits (the only ones hashed) collide.
TEST(MarkedStarts, AgreeWithAStartByStartTest) {
  const auto check = [&]<class Unit>(Unit, std::u32string_view alphabet) {
    std::mt19937 rng(4242);
    for (int trial = 0; trial < 600; ++trial) {
      std::u32string chars(rng() % 200, U'a');
      for (char32_t& c : chars) c = alphabet[rng() % alphabet.size()];
      const std::vector<Unit> h = units<Unit>(chars);
      const auto bits = static_cast<unsigned>(12 + rng() % 10);
      std::vector<std::uint64_t> bitmap((std::size_t{1} << bits) / 64);
      for (std::size_t i = 0, set = rng() % 3 == 0 ? bitmap.size() * 32 : rng() % 40; i < set;
           ++i) {
        const std::size_t bit = rng() % (bitmap.size() * 64);
        bitmap[bit / 64] |= std::uint64_t{1} << (bit % 64);
      }
      const bool three = trial % 2 == 1;
      const std::size_t at = rng() % (h.size() + 1);
      const std::size_t to = at + rng() % (h.size() - at + 1);
      std::vector<std::size_t> got{7};  // appended to, not replaced
      const std::size_t stop =
          marked_starts<Unit>(Units<Unit>(h), at, to, bitmap, bits, three, got);
      const std::size_t reach = std::min(to, h.size() >= 3 ? h.size() - 3 : 0);
      ASSERT_GE(stop, at);
      ASSERT_EQ((stop - at) % 16, 0u);
      ASSERT_LE(stop, std::max(at, reach));
      if (has_avx2() && sizeof(Unit) <= 2) {
        ASSERT_LT(reach, stop + 16) << "trial " << trial;
      }
      std::vector<std::size_t> expected{7};
      for (std::size_t i = at; i < stop; ++i) {
        std::uint64_t x = 0;
        for (std::size_t k = 0; k < (three ? 3 : 4); ++k) {
          x |= std::uint64_t{static_cast<std::uint32_t>(h[i + k]) & 0xFFFFu} << (16 * k);
        }
        const std::uint32_t hash = window_hash(x, bits);
        if ((bitmap[hash / 64] >> (hash % 64)) & 1) expected.push_back(i);
      }
      ASSERT_EQ(got, expected) << "trial " << trial;
    }
  };
  with_and_without_avx2([&] {
    check(Latin1{}, U"ab\u00e9 ");
    check(char16_t{}, U"ab\u0161\u2019");  // U+0161: low byte 0x61 is 'a'
    check(char32_t{}, U"ab\U00010061");
  });
}

// Probes chosen on a sample of the text: on two units of the needle, never on the skipped one,
// meeting less often there than the fixed ones on two letters of a word the sample repeats; the
// fixed ones when the sample or the units left are too few. The same with and without AVX2.
TEST(SampledProbes, MeetLessOftenThanTheFixedOnes) {
  std::vector<std::size_t> chosen;  // with AVX2, then without
  const auto check = [&]<class Unit>(Unit) {
    const std::vector<Unit> needle = units<Unit>(U"sous la commande");
    std::u32string prose;
    while (prose.size() < 9000) prose += U"la commande sous un homme \u00e0 ";
    const std::vector<Unit> sample = units<Unit>(prose);
    const auto meetings = [&](Probes at) {
      std::size_t count = 0;
      for (std::size_t t = 0; t + needle.size() <= sample.size(); ++t) {
        count +=
            sample[t + at.first] == needle[at.first] && sample[t + at.second] == needle[at.second];
      }
      return count;
    };
    const Probes fixed = probes(Units<Unit>(needle));
    const Probes at =
        sampled_probes(Units<Unit>(needle), Units<Unit>(sample), std::optional<Unit>(Unit{' '}));
    ASSERT_LT(at.first, at.second);
    ASSERT_LT(at.second, needle.size());
    EXPECT_NE(needle[at.first], Unit{' '});
    EXPECT_NE(needle[at.second], Unit{' '});
    EXPECT_LT(meetings(at), meetings(fixed));
    chosen.insert(chosen.end(), {at.first, at.second});
    for (const auto& [sought, seen] :
         {std::pair{needle, std::vector<Unit>(sample.begin(), sample.begin() + 10)},
          {units<Unit>(U" a  "), sample},
          {units<Unit>(U"ab"), std::vector<Unit>(1, Unit{'a'})}}) {
      const Probes got =
          sampled_probes(Units<Unit>(sought), Units<Unit>(seen), std::optional<Unit>(Unit{' '}));
      const Probes want = probes(Units<Unit>(sought));
      EXPECT_EQ(got.first, want.first);
      EXPECT_EQ(got.second, want.second);
    }
  };
  with_and_without_avx2([&] {
    check(Latin1{});
    check(char16_t{});
    check(char32_t{});
  });
  if (chosen.size() == 12) {
    EXPECT_TRUE(std::equal(chosen.begin(), chosen.begin() + 6, chosen.begin() + 6));
  }
}

TEST(OwnedText, StoresAtTheNarrowestWidth) {
  EXPECT_EQ(OwnedText::from_utf8("abc").view().width(), Width::one);
  EXPECT_EQ(OwnedText::from_utf8("\xC3\xA9").view().width(), Width::one);
  EXPECT_EQ(OwnedText::from_utf8("\xE2\x82\xAC").view().width(), Width::two);
  EXPECT_EQ(OwnedText::from_utf8("a\xF0\x9F\x98\x80").view().width(), Width::four);
  EXPECT_EQ(OwnedText::from_utf8("a\xF0\x9F\x98\x80").view().size(), 2u);
  EXPECT_FALSE(OwnedText::of_width(U"\u20ac", Width::one));
  EXPECT_EQ(OwnedText::of_width(U"ab", Width::four)->view().width(), Width::four);
}

struct TrimCase {
  std::string input;
  std::string expected;
};

class Trim : public testing::TestWithParam<TrimCase> {};

TEST_P(Trim, RemovesWhiteSpaceAtBothEndsOnly) {
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
  EXPECT_EQ(max_char(Units<char32_t>(chars.data(), chars.size())), U'\U0001F600');
  std::size_t end = utf8.size();
  EXPECT_EQ(decode_before(utf8, end), U'\u0130');
  EXPECT_EQ(decode_before(utf8, end), U'\U0001F600');
}

}  // namespace
}  // namespace veskal::text
