#include "matcher.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "exact_raw_extract.hpp"
#include "exact_token_extract.hpp"
#include "fuzzy_raw_extract.hpp"
#include "fuzzy_token_extract.hpp"
#include "text.hpp"
#include "workers.hpp"

namespace veskal::matcher {

void PrintTo(const Hit& h, std::ostream* os) {
  *os << "{" << h.pattern << ", " << h.start << ", " << h.end << ", " << h.score << "}";
}

namespace {

// What the single-pattern engines find for each pattern, merged into find's order.
std::vector<Hit> reference(text::TextView text, const std::vector<std::string>& patterns,
                           const Options& o) {
  std::vector<Hit> hits;
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    Extraction found{{}};
    const bool ci = o.case_insensitive;
    const bool sci = o.special_char_insensitive;
    if (!o.metric && !o.tokenizer_pattern) {
      found = exact_raw_extract::extract(text, patterns[i], ci, sci, o.strategies);
    } else if (!o.metric) {
      found = exact_token_extract::extract(text, patterns[i], *o.tokenizer_pattern, ci, sci);
    } else if (!o.tokenizer_pattern) {
      found = fuzzy_raw_extract::extract(text, patterns[i], ci, sci, *o.metric, o.threshold,
                                         o.threshold_kind, o.strategies);
    } else {
      found = fuzzy_token_extract::extract(text, patterns[i], *o.tokenizer_pattern, ci, sci,
                                           *o.metric, o.threshold, o.threshold_kind, o.strategies);
    }
    EXPECT_TRUE(found.ok()) << found.message();
    for (const Match& m : found.matches()) hits.push_back({i, m.start, m.end, m.score});
  }
  std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) {
    return std::tie(a.start, a.pattern, a.end) < std::tie(b.start, b.pattern, b.end);
  });
  return hits;
}

std::unique_ptr<Matcher> compiled(const std::vector<std::string>& patterns, const Options& o) {
  Error error{};
  std::unique_ptr<Matcher> m = Matcher::compile(patterns, o, error);
  EXPECT_NE(m, nullptr);
  return m;
}

struct Case {
  const char* name;
  std::string text;
  std::vector<std::string> patterns;
  std::vector<Hit> expected;
  std::optional<std::string> separator = std::nullopt;
};

class MatcherTable : public testing::TestWithParam<Case> {};

TEST_P(MatcherTable, FindsEveryPatternsMatches) {
  const Case& c = GetParam();
  Options o;
  o.tokenizer_pattern = c.separator;
  o.strategies = {"longest"};
  for (const text::OwnedText& owned : text::OwnedText::every_width(text::decode(c.text))) {
    const auto hits = compiled(c.patterns, o)->find(owned.view());
    ASSERT_TRUE(hits);
    EXPECT_EQ(*hits, c.expected);
    EXPECT_EQ(*hits, reference(owned.view(), c.patterns, o));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, MatcherTable,
    testing::Values(
        Case{"Duplicates",
             "a b a",
             {"a", "b", "a"},
             {{0, 0, 1, 0.0}, {2, 0, 1, 0.0}, {1, 2, 3, 0.0}, {0, 4, 5, 0.0}, {2, 4, 5, 0.0}}},
        // Each pattern resolves its own overlaps; different patterns' matches may overlap.
        Case{"PrefixOfAnother",
             "abcab",
             {"abc", "ab"},
             {{0, 0, 3, 0.0}, {1, 0, 2, 0.0}, {1, 3, 5, 0.0}}},
        Case{"OverlappingPatterns",
             "xaaay",
             {"aa", "xa", "ay"},
             {{1, 0, 2, 0.0}, {0, 1, 3, 0.0}, {2, 3, 5, 0.0}}},
        // Edge white space keeps a pattern off the automaton, not out of the results.
        Case{"EdgeWhiteSpace",
             "a  b",
             {" b", "b", "  "},
             {{2, 1, 3, 0.0}, {0, 2, 4, 0.0}, {1, 3, 4, 0.0}}},
        Case{"EmptyPatternAndText", "", {"", "a"}, {}},
        Case{"TokenRuns",
             "jean  dupont, jean dupont\t,x",
             {"jean dupont", "jean", "dupont"},
             {{0, 13, 26, 0.0}},
             ","},
        // The text has no empty token between two separators; the pattern counts one.
        Case{"EmptyTokens", "a,,a", {"a,,a", "a"}, {{1, 0, 1, 0.0}, {1, 3, 4, 0.0}}, ","}),
    [](const testing::TestParamInfo<Case>& p) { return p.param.name; });

// Random texts and pattern sets, every mode: find must equal the single-pattern engines.
TEST(MatcherDifferential, EqualsTheEnginesPatternByPattern) {
  std::mt19937 rng(20261208);
  // U+1F600 and U+F600 share their low 16 bits, which the scan's anchors hold of a character.
  const std::vector<std::string> units = {"a", "b", "c", "A", " ",  " ",  "\t", "\n",    "é",
                                          "É", "ß", "€", ",", "ab", "ca", "😀",  "\uF600"};
  const auto pick = [&](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  };
  // Texts and patterns are runs of units, so that patterns cut from a text occur in it.
  const auto random_units = [&](std::size_t max_units) {
    std::vector<std::string> run;
    for (std::size_t n = pick(max_units + 1); n > 0; --n) run.push_back(units[pick(units.size())]);
    return run;
  };
  const auto join = [](auto first, auto last) {
    std::string s;
    for (; first != last; ++first) s += *first;
    return s;
  };
  const std::vector<std::optional<std::string>> metrics = {std::nullopt, "levenshtein", "indel",
                                                           "jaro"};
  const std::vector<std::optional<std::string>> separators = {std::nullopt, " ", ",", "ab", ""};
  // Rounds past 2000 search a long repetitive text; past 2100, long patterns cut from a long
  // text, whose pieces are long enough for the scan to test only some of the text's positions;
  // past 2250, one short pattern among them, whose short pieces would shorten every pattern's
  // step.
  // Every other round as a machine without AVX2 searches: the scan then tests its starts alone.
  struct Restore {
    ~Restore() { text::detail::use_avx2(true); }
  } restore;
  for (int round = 0; round < 2400; ++round) {
    text::detail::use_avx2(round % 2 == 0);
    const bool long_patterns = round >= 2100;
    const bool one_short = round >= 2250;
    std::vector<std::string> text_units = random_units(long_patterns  ? 300
                                                       : round < 2000 ? 40
                                                                      : 12);
    if (round >= 2000 && !long_patterns) {
      // A long, repetitive text gives each pattern occurrences enough to be judged in batches.
      const std::vector<std::string> motif = text_units;
      for (int copy = 0; copy < 300; ++copy) {
        text_units.insert(text_units.end(), motif.begin(), motif.end());
        text_units.push_back(units[pick(units.size())]);
      }
    }
    const std::string text = join(text_units.begin(), text_units.end());
    std::vector<std::string> patterns;
    for (std::size_t n = 1 + pick(12); n > 0; --n) {
      const std::size_t kind = pick(4);
      if (kind == 0 && !patterns.empty()) {
        patterns.push_back(patterns[pick(patterns.size())]);
      } else if ((kind >= 2 || long_patterns) && !text_units.empty()) {
        const std::size_t from = pick(text_units.size());
        const std::size_t to =
            std::min(text_units.size(), from + (long_patterns ? 8 + pick(16) : pick(6)));
        patterns.push_back(join(text_units.begin() + static_cast<std::ptrdiff_t>(from),
                                text_units.begin() + static_cast<std::ptrdiff_t>(to)));
      } else {
        const std::vector<std::string> run = random_units(4);
        patterns.push_back(join(run.begin(), run.end()));
      }
    }
    if (one_short && !text_units.empty()) {
      const std::size_t from = pick(text_units.size());
      const std::size_t to = std::min(text_units.size(), from + 3 + pick(4));
      patterns.push_back(join(text_units.begin() + static_cast<std::ptrdiff_t>(from),
                              text_units.begin() + static_cast<std::ptrdiff_t>(to)));
    }
    Options o;
    o.metric = metrics[pick(metrics.size())];
    o.tokenizer_pattern = separators[pick(separators.size())];
    o.case_insensitive = pick(2) == 1;
    o.special_char_insensitive = pick(2) == 1;
    o.threshold_kind = static_cast<std::uint8_t>(pick(2));
    o.threshold =
        o.threshold_kind == 0 ? static_cast<double>(pick(3)) : 0.1 * static_cast<double>(pick(5));
    o.strategies = {std::vector<std::string>{"best_match", "longest", "shortest",
                                             "minimum_isolated_character"}[pick(4)]};
    if (round >= 2000) {
      o.metric = "levenshtein";
      o.tokenizer_pattern = round % 2 == 0 ? std::nullopt : std::optional<std::string>(" ");
    }
    if (long_patterns) {
      o.threshold_kind = 0;
      o.threshold = one_short ? 1.0 : static_cast<double>(1 + pick(2));
    }
    if (o.tokenizer_pattern && o.tokenizer_pattern->empty()) std::erase(patterns, "");
    Error error{};
    const auto m = Matcher::compile(patterns, o, error);
    ASSERT_NE(m, nullptr);
    // Every width that holds the text, narrowest first: each must give the same.
    const std::vector<text::OwnedText> widths = text::OwnedText::every_width(text::decode(text));
    for (std::size_t w = 0; w < (round < 2000 || long_patterns ? widths.size() : 1); ++w) {
      const auto hits = m->find(widths[w].view());
      ASSERT_TRUE(hits);
      ASSERT_EQ(*hits, reference(widths[w].view(), patterns, o))
          << "text '" << text << "' width " << w << " metric " << o.metric.value_or("-")
          << " separator '" << o.tokenizer_pattern.value_or("-") << "'";
    }
  }
}

// Patterns sharing pieces that recur all through a text: the filter judges some, and leaves
// those whose pieces occur too often to their engines, with the same results either way.
TEST(MatcherDifferential, FrequentPiecesGiveTheEnginesResults) {
  std::string text;
  for (int i = 0; i < 1500; ++i) {
    text += i % 3 == 0 ? "rue de la paix, " : i % 3 == 1 ? "rue de la pais;\n" : "Rue  de la gare ";
  }
  const std::vector<std::string> patterns = {"rue de la paix", "rue de la gare", "rue de la Poste",
                                             "de la",          "la paix, rue",   "rue de la"};
  for (const char* separator : {"", " ", ","}) {
    for (const double threshold : {1.0, 2.0, 0.1}) {
      Options o;
      o.metric = threshold < 1 ? "indel" : "levenshtein";
      o.threshold = threshold;
      o.threshold_kind = threshold < 1 ? 1 : 0;
      if (*separator != '\0') o.tokenizer_pattern = separator;
      o.case_insensitive = threshold == 2.0;
      const text::OwnedText owned = text::OwnedText::from_utf8(text);
      const auto hits = compiled(patterns, o)->find(owned.view());
      ASSERT_TRUE(hits);
      EXPECT_EQ(*hits, reference(owned.view(), patterns, o)) << separator << " " << threshold;
    }
  }
}

// Long names let the scan step over positions; the short ones among them have their pieces
// searched for apart, a pattern's together a block of the text at a time, handed on by ascending
// end across blocks. Both read the line feeds of a text searched as given as spaces. Longer texts
// have their anchors chosen from a sample of them, kept for the next text searched.
TEST(MatcherDifferential, ShortPatternsAmongLongOnesGiveTheEnginesResults) {
  std::vector<std::string> patterns = {"Bell Labs", "Ab Cd", "Noé Lu", "Zoé\nGaël"};
  std::string text;
  std::mt19937 rng(7);
  for (int i = 0; i < 40; ++i) {
    std::string name = "Prénom" + std::to_string(i) + " Nomdefamille" + std::to_string(i * 7);
    patterns.push_back(name);
    // Each name and short pattern in the text, now with an edit, now split by a line feed.
    name[rng() % name.size()] = (i % 3 == 0) ? '\n' : 'x';
    text += name + " et " + patterns[static_cast<std::size_t>(i) % 4] + ",\n Bell\nLabs; Bel Labs ";
  }
  // Occurrences about the ends of the first blocks of 2^14 characters.
  for (const std::size_t end : {std::size_t{1} << 14, std::size_t{1} << 15, std::size_t{1} << 16}) {
    text.append(end - 5 - text::decode(text).size(), '.');
    text += "Zoé Gaël, Noé-Lu Zoé\nGaëlle Ab Cd Bell Labs";
  }
  // A short pattern's piece too frequent to follow: that pattern is left to its engine.
  for (int i = 0; i < 1200; ++i) text += i % 2 == 0 ? "Lu " : "Lu\n";
  for (const double threshold : {1.0, 2.0, 0.1}) {
    for (const bool ci : {false, true}) {
      Options o;
      o.metric = threshold < 1 ? "indel" : "levenshtein";
      o.threshold = threshold;
      o.threshold_kind = threshold < 1 ? 1 : 0;
      o.case_insensitive = ci;
      o.strategies = {"longest"};
      for (const text::OwnedText& owned : text::OwnedText::every_width(text::decode(text))) {
        const auto hits = compiled(patterns, o)->find(owned.view());
        ASSERT_TRUE(hits);
        EXPECT_EQ(*hits, reference(owned.view(), patterns, o)) << threshold << " " << ci;
      }
    }
  }
  // One matcher for texts long enough to sample, each searched with the anchors learned from
  // the one before, or anew: a pattern whose inner runs recur all through them, its ends not.
  patterns.push_back("correspondre exactement");
  std::string longer;
  for (int copy = 0; copy < 4; ++copy) {
    longer += text + "\n";
    for (int i = 0; i < 600; ++i)
      longer += i % 50 == 0 ? "correspondre exactemen " : "xorrespondrx xxactemenx ";
  }
  std::vector<text::OwnedText> texts = text::OwnedText::every_width(text::decode(longer));
  const std::size_t half = longer.find('\n', longer.size() / 2) + 1;
  texts.push_back(text::OwnedText::from_utf8(longer.substr(half) + longer.substr(0, half) + text));
  texts.push_back(text::OwnedText::from_utf8(longer));
  // And a text where the ends recur instead, which the anchors learned before do not suit.
  std::string ends = text;
  for (int i = 0; i < 12000; ++i)
    ends += i % 50 == 0 ? "correspondre exactement " : "corr ndre exac ment ";
  texts.push_back(text::OwnedText::from_utf8(ends));
  Options o;
  o.metric = "levenshtein";
  o.threshold = 1;
  const std::unique_ptr<Matcher> m = compiled(patterns, o);
  for (const text::OwnedText& owned : texts) {
    const auto hits = m->find(owned.view());
    ASSERT_TRUE(hits);
    EXPECT_EQ(*hits, reference(owned.view(), patterns, o)) << owned.view().size();
  }
  // Short texts, too short to sample each, searched two at a time: their samples add up until
  // the anchors are learned from them, part way through.
  std::vector<text::OwnedText> pieces;
  for (const std::u32string& whole : {text::decode(longer), text::decode(ends)}) {
    for (std::size_t from = 0; from < whole.size(); from += 4000) {
      pieces.push_back(text::OwnedText::narrowest(std::u32string_view(whole).substr(from, 4000)));
    }
  }
  std::vector<text::TextView> views;
  for (const text::OwnedText& piece : pieces) views.push_back(piece.view());
  const std::unique_ptr<Matcher> batch = compiled(patterns, o);
  const auto all = batch->find_all(views, 2);
  ASSERT_TRUE(all);
  for (std::size_t i = 0; i < views.size(); ++i) {
    EXPECT_EQ((*all)[i], reference(views[i], patterns, o)) << i;
  }
}

TEST(Matcher, RefusesAnUnknownMetricAndAnEmptyTokenPattern) {
  Error error{};
  Options o;
  o.metric = "Levenshtein";
  EXPECT_EQ(Matcher::compile({"a"}, o, error), nullptr);
  EXPECT_EQ(error.code, Error::Code::unknown_metric);
  o.metric.reset();
  o.tokenizer_pattern = "";
  EXPECT_EQ(Matcher::compile({"a", ""}, o, error), nullptr);
  EXPECT_EQ(error.code, Error::Code::empty_token);
  EXPECT_EQ(error.pattern, 1u);
}

TEST(Matcher, FindAllKeepsTheOrderOfTheTexts) {
  std::vector<text::OwnedText> texts;
  for (int i = 0; i < 50; ++i) {
    texts.push_back(text::OwnedText::from_utf8(std::string(static_cast<std::size_t>(i), 'x') +
                                               (i % 2 == 0 ? "ab" : "éab")));
  }
  std::vector<text::TextView> views;
  for (const text::OwnedText& t : texts) views.push_back(t.view());
  Options o;
  o.metric = "levenshtein";
  o.threshold = 1;
  const auto m = compiled({"ab", "xa"}, o);
  for (const unsigned threads : {0u, 1u, 3u, 64u}) {  // 0: one per processor
    const auto all = m->find_all(views, threads);
    ASSERT_TRUE(all);
    ASSERT_EQ(all->size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) EXPECT_EQ((*all)[i], *m->find(views[i]));
    // A refusal stops the search: nothing is delivered after it, and some texts never are.
    std::vector<int> delivered(texts.size(), 0);
    std::size_t taken = 0;
    EXPECT_FALSE(m->find_each(views, threads, {}, [&](std::size_t i, std::vector<Hit>*) {
      ++delivered[i];
      return ++taken < 5;
    }));
    EXPECT_EQ(taken, 5u);
    EXPECT_EQ(std::count(delivered.begin(), delivered.end(), 1), 5);
  }
  EXPECT_EQ(m->find_all({}, 2)->size(), 0u);
}

TEST(Matcher, FindEachVetsEveryTextOnItsOwnThread) {
  const std::u16string lone = u"xab" + std::u16string(1, char16_t{0xD800}) + u"ab";
  const std::u16string clean = u"xab\u00e9ab";
  std::vector<text::TextView> views;
  for (int i = 0; i < 20; ++i) {
    views.emplace_back(i % 7 == 3 ? std::u16string_view(lone) : std::u16string_view(clean));
  }
  Options o;
  o.metric = "levenshtein";
  o.threshold = 1;
  const auto m = compiled({"ab"}, o);
  for (const unsigned threads : {1u, 3u}) {
    std::vector<int> nulls(views.size(), -1);
    EXPECT_TRUE(m->find_each(
        views, threads, {},
        [&](std::size_t i, std::vector<Hit>* hits) {
          nulls[i] = hits == nullptr;
          if (hits != nullptr) {
            EXPECT_EQ(*hits, *m->find(views[i]));
          }
          return true;
        },
        true));
    for (std::size_t i = 0; i < views.size(); ++i) EXPECT_EQ(nulls[i], i % 7 == 3 ? 1 : 0) << i;
  }
}

TEST(Matcher, FindAllBorrowsThreadsKeptBetweenCalls) {
  using namespace std::chrono_literals;
  // Each helper waits for the others, so all must run at once; 10 s means one never came.
  const auto meet = [](unsigned helpers) {
    std::atomic<unsigned> arrived{0};
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    {
      const workers::Crew crew(helpers, [&] {
        ++arrived;
        while (arrived < helpers && std::chrono::steady_clock::now() < deadline) {
          std::this_thread::yield();
        }
      });
      while (arrived < helpers && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
      }
    }
    return arrived.load();
  };
  EXPECT_EQ(meet(3), 3u);
  EXPECT_EQ(meet(3), 3u);
  // Threads that left when idle are started again.
  workers::detail::set_idle_time(1ms);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(meet(3), 3u);
  workers::detail::set_idle_time(10s);

  // Crews posted from many threads at once, most gone before a helper came: a helper runs a
  // task only while its crew lives.
  std::atomic<int> live{0};
  std::atomic<bool> outlived{false};
  std::vector<std::thread> owners;
  for (int t = 0; t < 4; ++t) {
    owners.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        std::atomic<bool> alive{true};
        {
          const workers::Crew crew(2, [&] { outlived = outlived || !alive; });
        }
        alive = false;
        ++live;
      }
    });
  }
  for (std::thread& owner : owners) owner.join();
  EXPECT_EQ(live, 800);
  EXPECT_FALSE(outlived);
}

TEST(Matcher, ACancelledSearchReturnsNothing) {
  const text::OwnedText text = text::OwnedText::from_utf8(std::string(1 << 20, 'a'));
  const std::vector<text::TextView> views(8, text.view());
  std::vector<std::string> patterns;
  for (int i = 0; i < 50; ++i) patterns.push_back("aa" + std::to_string(i));
  Options o;
  o.metric = "levenshtein";
  o.threshold = 1;
  const auto m = compiled(patterns, o);
  const cancel::Check stop{[] { return true; }, {}, std::chrono::nanoseconds(0)};
  EXPECT_FALSE(m->find(text.view(), stop));
  EXPECT_FALSE(m->find_all(views, 2, stop));

  // Stopped midway, after meeting patterns, a search hands back the per-thread state it
  // borrowed as it found it: later searches on this thread, with this matcher or a smaller one,
  // find what they found before.
  std::string met;
  while (met.size() < (1 << 20)) met += "aa7 " + std::string(60, 'z');
  const text::OwnedText often = text::OwnedText::from_utf8(met);
  const auto few = compiled({"aa3", "zaa"}, o);
  for (const Matcher* searched : {m.get(), few.get()}) {
    const std::vector<Hit> before = *searched->find(often.view());
    ASSERT_FALSE(before.empty());
    int asked = 0;
    const cancel::Check later{[&asked] { return ++asked > 2; }, {}, std::chrono::nanoseconds(0)};
    EXPECT_FALSE(searched->find(often.view(), later));
    EXPECT_GT(asked, 2);
    EXPECT_EQ(*m->find(often.view()), *m->find(often.view()));
    EXPECT_EQ(*searched->find(often.view()), before);
    EXPECT_EQ(*few->find(often.view()), *compiled({"aa3", "zaa"}, o)->find(often.view()));
  }
}

}  // namespace
}  // namespace veskal::matcher
