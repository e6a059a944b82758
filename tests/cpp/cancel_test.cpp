#include "cancel.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "comparator/fuzzy.hpp"
#include "exact_raw_extract.hpp"
#include "exact_token_extract.hpp"
#include "fuzzy_raw_extract.hpp"
#include "fuzzy_token_extract.hpp"
#include "matcher.hpp"
#include "text.hpp"

namespace veskal::cancel {
namespace {

// A text long enough for thousands of polls on every path; stops are sought at each of them.
std::string repeated(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

const text::OwnedText kText = text::OwnedText::from_utf8(repeated("ab abc abd a\nb ", 600));
// For the engines that count cheap steps (occurrences, tokens) in batches.
const text::OwnedText kLongText = text::OwnedText::from_utf8(repeated("ab abc abd a\nb ", 12000));
// Megabytes between two occurrences: the search must count the stretch it reads, not only what
// it finds.
const text::OwnedText kRareText =
    text::OwnedText::from_utf8(repeated("ab abc abd a\nb ", 300000) + "zq");

struct Search {
  const char* name;
  std::function<Extraction(const Check&)> run;

  friend void PrintTo(const Search& search, std::ostream* out) { *out << search.name; }
};

// One row per engine path that polls.
const Search kSearches[] = {
    {"exact_raw",
     [](const Check& c) {
       return exact_raw_extract::extract(kLongText.view(), "ab", false, false, {}, c);
     }},
    {"exact_raw_rare",
     [](const Check& c) {
       return exact_raw_extract::extract(kRareText.view(), "zq", false, false, {}, c);
     }},
    {"exact_raw_white_space",
     [](const Check& c) {
       return exact_raw_extract::extract(kLongText.view(), " ", false, false, {}, c);
     }},
    {"exact_token_occurrences",
     [](const Check& c) {
       return exact_token_extract::extract(kLongText.view(), "abc", " ", false, false, c);
     }},
    {"exact_token_runs",
     [](const Check& c) {
       return exact_token_extract::extract(kLongText.view(), "ab abc", " ", false, false, c);
     }},
    {"fuzzy_raw_rows",
     [](const Check& c) {
       return fuzzy_raw_extract::extract(kText.view(), "abc abd", true, false, "levenshtein", 0.3,
                                         1, {"best_match"}, c);
     }},
    {"fuzzy_raw_near_pieces",
     [](const Check& c) {
       return fuzzy_raw_extract::extract(kText.view(), "abc abd a b ab", false, false,
                                         "levenshtein", 2, 0, {"shortest"}, c);
     }},
    {"fuzzy_raw_per_window",
     [](const Check& c) {
       return fuzzy_raw_extract::extract(kText.view(), "abd", false, false, "indel", 0.4, 1,
                                         {"minimum_isolated_character"}, c);
     }},
    {"fuzzy_token",
     [](const Check& c) {
       return fuzzy_token_extract::extract(kLongText.view(), "abd a", " ", false, false, "jaro",
                                           0.2, 1, {"longest"}, c);
     }},
};

// Asked at every lap from the first on.
constexpr std::chrono::nanoseconds kAtOnce{0};

class Cancelling : public testing::TestWithParam<Search> {};

// The check stops the search at its n-th call for several n: the search then returns no match at
// all (and, under the sanitizers, leaks nothing), and a search the check let finish is complete.
TEST_P(Cancelling, AtAnyCallLeavesNoPartialResult) {
  const Search& search = GetParam();
  const Extraction whole = search.run({});
  ASSERT_TRUE(whole.ok());
  ASSERT_FALSE(whole.matches().empty());

  int calls = 0;
  const Check never{[&] { return ++calls, false; }, kAtOnce, kAtOnce};
  const Extraction watched = search.run(never);
  ASSERT_TRUE(watched.ok());
  EXPECT_EQ(watched.matches(), whole.matches());
  ASSERT_GE(calls, 50) << "too short a search to stop at every n below";

  for (const int n : {1, 2, 3, 10, 49, calls, calls + 1}) {
    int seen = 0;
    const Check stop_at_n{[&] { return ++seen == n; }, kAtOnce, kAtOnce};
    const Extraction got = search.run(stop_at_n);
    if (seen < n) {
      EXPECT_TRUE(got.ok()) << n;
      EXPECT_EQ(got.matches(), whole.matches()) << n;
      continue;
    }
    EXPECT_EQ(seen, n);
    EXPECT_TRUE(got.was_cancelled()) << n;
    EXPECT_FALSE(got.ok()) << n;
    EXPECT_TRUE(got.matches().empty()) << n;
  }
  // A cancelled search leaves nothing behind on its thread: the next one runs whole.
  EXPECT_EQ(search.run({}).matches(), whole.matches());
}

INSTANTIATE_TEST_SUITE_P(Engines, Cancelling, testing::ValuesIn(kSearches),
                         [](const auto& row) { return std::string(row.param.name); });

// A search shorter than `first` never asks: by default a short one, and with a long `first` one
// that thousands of laps would otherwise check.
TEST(Check, IsNotAskedBeforeItsFirstTime) {
  int calls = 0;
  const Check check{[&] { return ++calls, true; }};
  const Extraction got = exact_raw_extract::extract(text::OwnedText::from_utf8("a b a").view(), "a",
                                                    false, false, {}, check);
  EXPECT_TRUE(got.ok());
  EXPECT_EQ(calls, 0);
  const Check late{[&] { return ++calls, true; }, kAtOnce, std::chrono::hours(1)};
  const Extraction whole = fuzzy_raw_extract::extract(kText.view(), "abc abd", true, false,
                                                      "levenshtein", 0.3, 1, {"best_match"}, late);
  EXPECT_TRUE(whole.ok());
  EXPECT_EQ(calls, 0);
}

// A token search whose every run is a long Damerau-Levenshtein comparison counts each by its
// cost: the first ask comes a few comparisons after its time, not a thousand runs later.
TEST(Check, IsAskedSoonHoweverCostlyEachComparison) {
  using Clock = std::chrono::steady_clock;
  std::string pattern;
  for (int i = 0; i < 60; ++i) pattern += "mot" + std::to_string(i % 7) + "ab ";
  const text::OwnedText text = text::OwnedText::from_utf8(repeated(pattern, 40));
  const std::u32string target = text::decode(pattern.substr(0, pattern.size() - 1));
  const std::u32string candidate = target.substr(14) + U" " + target.substr(0, 13);
  const auto compare =
      comparator::fuzzy::CachedSearch::create(target, "damerau_levenshtein", 1, 0.5);
  ASSERT_TRUE(compare);
  Clock::duration one = Clock::duration::max();
  for (int i = 0; i < 3; ++i) {
    const Clock::time_point before = Clock::now();
    EXPECT_TRUE((*compare)(candidate).matched);
    one = std::min(one, Clock::now() - before);
  }
  matcher::Options options;
  options.tokenizer_pattern = " ";
  options.metric = "damerau_levenshtein";
  options.threshold = 0.5;
  options.threshold_kind = 1;
  matcher::Error error;
  const auto compiled = matcher::Matcher::compile({pattern}, options, error);
  ASSERT_TRUE(compiled);
  // Each returns true when the search was cancelled.
  const std::function<bool(const Check&)> searches[] = {
      [&](const Check& c) {
        return fuzzy_token_extract::extract(text.view(), pattern, " ", false, false,
                                            "damerau_levenshtein", 0.5, 1, {}, c)
            .was_cancelled();
      },
      [&](const Check& c) { return !compiled->find(text.view(), c); },
  };
  for (const auto& search : searches) {
    Clock::time_point asked;
    const Check check{[&] { return asked = Clock::now(), true; }, std::chrono::hours(1)};
    const Clock::time_point started = Clock::now();
    ASSERT_TRUE(search(check));
    EXPECT_LT(asked - started, check.first * 3 + one * 50) << "one comparison: " << one.count();
  }
}

TEST(Check, OfAnOuterScopeReturnsAfterAnInnerOne) {
  int outer_calls = 0;
  const Check outer{[&] { return ++outer_calls, false; }, kAtOnce, kAtOnce};
  const Scope scope(outer);
  ASSERT_TRUE(exact_raw_extract::extract(kText.view(), "ab", false, false, {}).ok());
  EXPECT_EQ(outer_calls, 0);
  for (int i = 0; i < 5000; ++i) poll();
  EXPECT_GT(outer_calls, 0);
}

}  // namespace
}  // namespace veskal::cancel
