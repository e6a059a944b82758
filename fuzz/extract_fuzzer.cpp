// Runs every engine on inputs built from arbitrary bytes and checks what must hold for any input:
// no crash, failures only where they are due, sorted spans inside the text, scores within the
// threshold, the same results whatever width the text is stored at, the fuzzy raw search's
// shortcuts agreeing with its plain scan, and a matcher finding what the engines find pattern by
// pattern.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "comparator/fuzzy.hpp"
#include "conflict_solver/solver.hpp"
#include "exact_raw_extract.hpp"
#include "exact_token_extract.hpp"
#include "fuzzy_raw_extract.hpp"
#include "fuzzy_token_extract.hpp"
#include "iterator/tokens.hpp"
#include "matcher.hpp"
#include "preprocessor.hpp"
#include "text.hpp"

namespace {

using namespace veskal;

// Few symbols, so that patterns recur in texts; each one exercises a normalisation or white-space
// rule: line feed, tab, no-break and ideographic spaces, letters that case- or accent-fold
// (U+0130 lowercases to two characters, sigma has a final form, U+0178 and the euro sign narrow
// a text to Latin-1), and letters of every width up to astral ones.
constexpr const char* kSymbols[] = {
    "a",
    "b",
    "a",
    " ",
    " ",
    "\n",
    "\t",
    "\xC2\xA0",
    "\xE3\x80\x80",
    "A",
    "\xC3\xA9",
    "\xC3\x89",
    "\xC4\xB0",
    "\xCE\xA3",
    "@",
    "\xE2\x82\xAC",
    "\xE4\xB8\xAD",
    "ab",
    "-",
    "--",
    "\xC5\xB8",
    "\xC3\xBF",
    "\xE2\x80\x99",
    "\xC5\x93",
    "\xF0\x9F\x98\x80",
    "\xF0\x90\x90\x80",
};
constexpr const char* kMetrics[] = {
    "levenshtein", "damerau_levenshtein", "osa", "hamming", "indel", "lcs_seq", "prefix", "postfix",
    "jaro",        "jaro_winkler",        "lev", ""};
constexpr const char* kStrategies[] = {"best_match", "shortest", "longest",
                                       "minimum_isolated_character", "first"};
// Normalised ones near the scores of short windows too, where bounds and rows must not differ
// from a full comparison.
constexpr double kThresholds[] = {0,  0.5, 1,     2,   3,   0.1,  0.25,      0.34,     0.9,
                                  -1, NAN, 1e300, 0.2, 0.4, 0.15, 1.0 / 3.0, 2.0 / 3.0};

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  // A string of symbols, ended by a zero byte or the input's end.
  std::string text(std::size_t limit) {
    std::string out;
    for (std::size_t n = 0; n < limit && pos_ < size_;) {
      const std::uint8_t b = data_[pos_++];
      if (b == 0) break;
      out += kSymbols[b % std::size(kSymbols)];
      ++n;
    }
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// Spans sorted by start, inside the text; with `apart`, no two touching or overlapping.
void check_spans(const std::vector<Match>& matches, std::uint64_t chars, bool apart) {
  for (std::size_t i = 0; i < matches.size(); ++i) {
    check(matches[i].start <= matches[i].end && matches[i].end <= chars, "span inside the text");
    if (i == 0) continue;
    check(matches[i - 1].start < matches[i].start, "starts ascending");
    if (apart) check(matches[i - 1].end < matches[i].start, "clusters apart");
  }
}

void check_scores(const std::vector<Match>& matches, double threshold) {
  for (const Match& m : matches) check(m.score >= 0 && m.score <= threshold, "score in range");
}

template <class T>
bool same(const T& a, const T& b) {
  return a == b;
}

bool same(const std::optional<std::vector<matcher::Hit>>& a,
          const std::optional<std::vector<matcher::Hit>>& b) {
  return a == b;
}

bool same(const Extraction& a, const Extraction& b) {
  return a.ok() == b.ok() && a.matches() == b.matches() && (a.ok() || a.message() == b.message());
}

// The same result at every width: `run(view)` for each width that holds `chars`.
template <class Run>
auto at_every_width(const std::u32string& chars, Run&& run) {
  const std::vector<text::OwnedText> widths = text::OwnedText::every_width(chars);
  auto first = run(widths.front().view());
  for (std::size_t i = 1; i < widths.size(); ++i) {
    check(same(run(widths[i].view()), first), "same result at every width");
  }
  return first;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const std::uint8_t flags = in.byte();
  const bool ci = flags & 1, sci = flags & 2;
  const std::string metric = kMetrics[in.byte() % std::size(kMetrics)];
  const double threshold = kThresholds[in.byte() % std::size(kThresholds)];
  const std::uint8_t kind = in.byte() % 3;
  std::vector<std::string> strategies;
  for (std::uint8_t n = in.byte() % 4; n > 0; --n) {
    strategies.push_back(kStrategies[in.byte() % std::size(kStrategies)]);
  }
  const std::string separator = in.text(3);
  // Long enough, now and then, for the rows to span two 64-bit blocks; for Jaro, whose reference
  // costs little, for the windows of a start to span more than two.
  const std::size_t longest = metric.starts_with("jaro") ? 140 : 70;
  const std::string pattern = in.text(in.byte() % 8 == 0 ? longest : 12);
  // Now and then copies of the pattern in the text, so that long pieces of it occur, and the
  // pattern reversed: windows sharing its characters out of order, where Jaro's bounds by
  // common subsequence decide.
  std::string s = flags & 4 ? pattern + in.text(200) + pattern : in.text(400);
  if (flags & 4) {
    const std::u32string forward = text::decode(pattern);
    for (auto c = forward.rbegin(); c != forward.rend(); ++c) text::append_utf8(s, *c);
  }
  const std::u32string chars = text::decode(s);
  // More patterns for a matcher, read last so that the inputs above keep their meaning.
  std::vector<std::string> patterns = {pattern};
  for (std::uint8_t n = in.byte() % 6; n > 0; --n) patterns.push_back(in.text(in.byte() % 16));
  // Some cut from the text, so that pieces occur and windows match; now and then many long ones,
  // whose pieces let the scan step over positions while the short patterns' pieces are searched
  // for apart, all of a pattern's in one pass.
  const std::uint8_t cuts = in.byte();
  for (std::uint8_t n = cuts & 0x80 ? cuts % 12 : cuts % 4; n > 0; --n) {
    const std::size_t from = in.byte() % (chars.size() + 1);
    const std::size_t len = cuts & 0x80 ? 10 + in.byte() % 32 : in.byte() % 24;
    std::string cut;
    for (std::size_t i = from; i < chars.size() && i < from + len; ++i) {
      text::append_utf8(cut, chars[i]);
    }
    patterns.push_back(cut);
  }
  if (in.byte() % 2 == 0) patterns.push_back(pattern);
  // Now and then, for each pattern, one that shares all but its last character, so that patterns
  // share pieces, and one with its characters beyond 16 bits cut to their low 16, which the
  // scan's anchors alone cannot tell apart.
  const std::uint8_t kin = in.byte();
  for (std::size_t i = 0, count = patterns.size(); i < count && (kin & 3) == 0; ++i) {
    std::u32string shared = text::decode(patterns[i]);
    std::u32string folded = shared;
    if (!shared.empty()) shared.back() = static_cast<char32_t>(U'a' + kin % 7);
    for (char32_t& c : folded) {
      if (c > 0xFFFF && (c & 0xF800) != 0xD800) c &= 0xFFFF;
    }
    for (const std::u32string& variant : {shared, folded}) {
      std::string utf8;
      for (const char32_t c : variant) text::append_utf8(utf8, c);
      patterns.push_back(utf8);
    }
  }
  // Where a lone surrogate goes for the exact search: the first or the last units, about the
  // pattern's copies.
  const std::uint8_t spot = in.byte();

  const std::string text = preprocessor::preprocess(s, ci, sci);
  const std::u32string normal_pattern = preprocessor::normalise_pattern(pattern, ci, sci);
  const std::u32string normal_separator = preprocessor::normalise_pattern(separator, ci, sci);
  const std::uint64_t n = text::count_chars(text);
  const bool no_window = normal_pattern.empty() && normal_separator.empty();
  const bool known = comparator::fuzzy::parse_metric(metric).has_value();

  // Normalising a text of code units gives what normalising its UTF-8 gives.
  at_every_width(chars, [&](text::TextView view) {
    const preprocessor::Normalised normalised = preprocessor::normalise(view, ci, sci);
    std::string utf8;
    normalised.text().visit([&](auto units) {
      for (const auto u : units) text::append_utf8(utf8, u);
    });
    check(utf8 == text, "normalised units equal the normalised UTF-8");
    return 0;
  });

  // Checking the text for surrogates while searching it changes nothing else.
  const auto vetting_changes_nothing = [&](const Extraction& plain, auto&& search,
                                           const char* what) {
    at_every_width(chars, [&](text::TextView view) {
      bool surrogate = true;
      check(same(search(view, &surrogate), plain) && !surrogate, what);
      return 0;
    });
  };

  const Extraction exact_token = at_every_width(chars, [&](text::TextView view) {
    return exact_token_extract::extract(view, pattern, separator, ci, sci);
  });
  vetting_changes_nothing(
      exact_token,
      [&](text::TextView view, bool* surrogate) {
        return exact_token_extract::extract(view, pattern, separator, ci, sci, {}, surrogate);
      },
      "vetting search token");
  check(exact_token.ok() != no_window, "token failure only for an empty window");
  check_spans(exact_token.matches(), n, false);

  const Extraction exact_raw = at_every_width(chars, [&](text::TextView view) {
    return exact_raw_extract::extract(view, pattern, ci, sci, strategies);
  });
  check_spans(exact_raw.matches(), n, true);
  vetting_changes_nothing(
      exact_raw,
      [&](text::TextView view, bool* surrogate) {
        return exact_raw_extract::extract(view, pattern, ci, sci, strategies, {}, surrogate);
      },
      "vetting search exact");
  if (!chars.empty()) {
    std::u32string bad = chars;
    const std::size_t at = spot % 128 % bad.size();
    bad[spot < 128 ? at : bad.size() - 1 - at] = 0xD800 + (spot & 7) * 0x100;
    const std::u16string bad16(bad.begin(), bad.end());
    const bool fits16 = text::max_char(text::Units<char32_t>(bad)) <= 0xFFFF;
    for (const text::TextView view : {text::TextView(bad), text::TextView(bad16)}) {
      if (view.width() == text::Width::two && !fits16) continue;
      bool surrogate = false;
      const Extraction found =
          exact_raw_extract::extract(view, pattern, ci, sci, strategies, {}, &surrogate);
      check(found.ok() && surrogate && found.matches().empty(), "surrogate reported (exact)");
      // The token searches check the text first, whatever else then fails.
      surrogate = false;
      const Extraction tokens =
          exact_token_extract::extract(view, pattern, separator, ci, sci, {}, &surrogate);
      check(tokens.ok() && surrogate && tokens.matches().empty(), "surrogate reported (token)");
      surrogate = false;
      const Extraction fuzzy_tokens = fuzzy_token_extract::extract(
          view, pattern, separator, ci, sci, metric, threshold, kind, strategies, {}, &surrogate);
      check(fuzzy_tokens.ok() && surrogate && fuzzy_tokens.matches().empty(),
            "surrogate reported (fuzzy token)");
    }
  }

  const Extraction fuzzy_raw = at_every_width(chars, [&](text::TextView view) {
    return fuzzy_raw_extract::extract(view, pattern, ci, sci, metric, threshold, kind, strategies);
  });
  const bool compared = !text.empty() && !normal_pattern.empty();
  check(fuzzy_raw.ok() == (known || !compared), "raw failure only for an unknown metric");
  // Likewise for the fuzzy search, which reports a surrogate put into a wide text however it
  // goes (the metric's failure aside, which the binding then checks for one itself).
  vetting_changes_nothing(
      fuzzy_raw,
      [&](text::TextView view, bool* surrogate) {
        return fuzzy_raw_extract::extract(view, pattern, ci, sci, metric, threshold, kind,
                                          strategies, {}, surrogate);
      },
      "vetting search fuzzy");
  if (!chars.empty()) {
    std::u32string bad = chars;
    bad[(flags * 131u + n) % bad.size()] = 0xDC80;
    const std::u16string bad16(bad.begin(), bad.end());
    const bool fits16 = text::max_char(text::Units<char32_t>(bad)) <= 0xFFFF;
    for (const text::TextView view : {text::TextView(bad), text::TextView(bad16)}) {
      if (view.width() == text::Width::two && !fits16) continue;
      bool surrogate = false;
      const Extraction found = fuzzy_raw_extract::extract(view, pattern, ci, sci, metric, threshold,
                                                          kind, strategies, {}, &surrogate);
      check(!found.ok() || (surrogate && found.matches().empty()), "surrogate reported (fuzzy)");
    }
  }
  check_spans(fuzzy_raw.matches(), n, true);
  check_scores(fuzzy_raw.matches(), threshold);

  const Extraction fuzzy_token = at_every_width(chars, [&](text::TextView view) {
    return fuzzy_token_extract::extract(view, pattern, separator, ci, sci, metric, threshold, kind,
                                        strategies);
  });
  if (no_window) check(!fuzzy_token.ok(), "token failure for an empty window");
  if (known && !no_window) check(fuzzy_token.ok(), "no token failure for a known metric");
  check_spans(fuzzy_token.matches(), n, true);
  check_scores(fuzzy_token.matches(), threshold);
  if (known && !no_window) {
    const Extraction plain = fuzzy_token_extract::detail::every_run(
        text::decode(text), normal_pattern, normal_separator, metric, threshold, kind, strategies);
    check(plain.ok() && plain.matches() == fuzzy_token.matches(), "token shortcuts exact");
  }
  // With flags the text is normalised a stretch at a time, of a few units here, each holding a
  // few units beyond its last start: wherever that search answers, it finds what the copy does.
  for (const text::OwnedText& owned : text::OwnedText::every_width(chars)) {
    if (!(ci || sci)) break;
    const std::optional<Extraction> streamed = fuzzy_token_extract::detail::search_streamed(
        owned.view(), normal_pattern, normal_separator, ci, sci, metric, threshold, kind,
        strategies, nullptr, 1 + spot % 16, 1 + spot % 23);
    if (streamed)
      check(same(*streamed, fuzzy_token), "text normalised by stretches as its copy (fuzzy token)");
  }

  // Without flags a text is lent with its line feeds where they act as the spaces they normalise
  // to: its normalised copy must find the same.
  // The separator ' ', the commonest, is tried on every such input.
  const text::OwnedText copy = text::OwnedText::from_utf8(text);
  if (!ci && !sci) {
    check(
        same(exact_raw_extract::extract(copy.view(), pattern, false, false, strategies), exact_raw),
        "lent text as its normalised copy (exact raw)");
  }
  // With flags the token search normalises the text a stretch at a time too, where its
  // occurrence search applies: the runs of its normalised copy, compared one by one, must agree.
  const std::uint64_t token_window =
      iterator::tokens::pattern_token_count(normal_pattern, normal_separator);
  for (const text::OwnedText& owned : text::OwnedText::every_width(chars)) {
    if (!(ci || sci) || token_window == 0) break;
    const std::optional<Extraction> streamed = exact_token_extract::detail::search_streamed(
        owned.view(), normal_pattern, normal_separator, ci, sci, nullptr, 1 + spot % 16);
    if (!streamed) continue;
    const std::vector<Match> runs = copy.view().visit([&](auto units) {
      using Unit = typename decltype(units)::value_type;
      return exact_token_extract::detail::by_runs(
          units, normal_pattern, iterator::tokens::Separator<Unit>(normal_separator), token_window);
    });
    check(streamed->matches() == runs, "text normalised by stretches as its copy (exact token)");
  }
  // With flags the text is normalised a stretch at a time, of a few units here: its normalised
  // copy must find the same.
  const std::u32string_view trimmed_pattern = text::trim(std::u32string_view(normal_pattern));
  for (const text::OwnedText& owned : text::OwnedText::every_width(chars)) {
    if (!(ci || sci) || trimmed_pattern.empty()) break;
    const bool fits = owned.view().visit([&](auto units) {
      return text::narrow<typename decltype(units)::value_type>(trimmed_pattern).has_value();
    });
    if (!fits) continue;
    check(exact_raw_extract::detail::candidates_streamed(owned.view(), normal_pattern, ci, sci,
                                                         1 + spot % 16) ==
              exact_raw_extract::detail::candidates(copy.view(), normal_pattern),
          "text normalised by stretches as its copy (exact raw)");
  }
  for (const std::string& sep : {separator, std::string(" ")}) {
    if (ci || sci) break;
    const auto lent = [&](text::TextView view) {
      return exact_token_extract::extract(view, pattern, sep, false, false);
    };
    check(same(lent(copy.view()), at_every_width(chars, lent)),
          "lent text as its normalised copy (exact token)");
    const auto lent_fuzzy = [&](text::TextView view) {
      return fuzzy_token_extract::extract(view, pattern, sep, false, false, metric, threshold, kind,
                                          strategies);
    };
    check(same(lent_fuzzy(copy.view()), at_every_width(chars, lent_fuzzy)),
          "lent text as its normalised copy (fuzzy token)");
  }

  // The piece filter and the row scoring are shortcuts: the plain scan must find the same.
  if (known) {
    using fuzzy_raw_extract::detail::find_candidates;
    using fuzzy_raw_extract::detail::Scan;
    using fuzzy_raw_extract::detail::Scoring;
    const text::OwnedText normal_text = text::OwnedText::from_utf8(text);
    const auto run = [&](Scan scan, Scoring scoring) {
      std::vector<Match> found;
      find_candidates(
          normal_text.view(), normal_pattern, metric, threshold, kind, scan,
          [&](const Match& m) { found.push_back(m); }, scoring);
      return found;
    };
    const std::vector<Match> plain = run(Scan::every_window, Scoring::per_window);
    check(run(Scan::near_pieces, Scoring::per_window) == plain, "piece filter exact");
    // The engine leaves out windows its solver says no longer count: it must resolve as the
    // plain scan's candidates do.
    check(fuzzy_raw.matches() == conflict_solver::solver(normal_text.view(), plain, strategies),
          "engine resolves as the plain scan");
    // The text is normalised a stretch at a time, of a few units here, as with flags, and
    // without them where the rows cannot read line feeds as spaces.
    if (std::find(strategies.begin(), strategies.end(), "minimum_isolated_character") ==
        strategies.end()) {
      const Extraction streamed = at_every_width(chars, [&](text::TextView view) {
        return fuzzy_raw_extract::detail::search_streamed(view, normal_pattern, ci, sci, metric,
                                                          threshold, kind, strategies, nullptr,
                                                          1 + spot % 16);
      });
      check(same(streamed, fuzzy_raw), "text normalised by stretches as its copy (fuzzy raw)");
    }
    {
      // The filters that check the text for surrogates as they read it find the same.
      std::vector<Match> found;
      bool surrogate = true;
      find_candidates(
          normal_text.view(), normal_pattern, metric, threshold, kind, Scan::near_pieces,
          [&](const Match& m) { found.push_back(m); }, Scoring::rows, false, &surrogate);
      check(found == plain && !surrogate, "vetting piece filter exact");
    }
    if (!ci && !sci) {
      // The text as given, its line feeds read as spaces by the search.
      std::vector<Match> found;
      find_candidates(
          text::OwnedText::from_utf8(s).view(), normal_pattern, metric, threshold, kind,
          Scan::near_pieces, [&](const Match& m) { found.push_back(m); }, Scoring::rows, true);
      check(found == plain, "line feeds read as spaces exact");
    }
    check(run(Scan::near_pieces, Scoring::rows) == plain, "row scoring exact");
    // As a machine without the vector code: the scans test their starts one by one, and Jaro
    // counts its transpositions a place at a time.
    text::detail::use_avx2(false);
    const std::vector<Match> scalar = run(Scan::near_pieces, Scoring::rows);
    text::detail::use_avx2(true);
    check(scalar == plain, "row scoring exact without vector code");
    // Probes chosen on a sample of the text, which the piece filter may switch to: whichever two
    // units they pick, every occurrence of the pattern is a candidate of the scan with them.
    normal_text.view().visit([&]<class Unit>(text::Units<Unit> units) {
      const std::optional<std::vector<Unit>> needle = text::narrow<Unit>(normal_pattern);
      if (!needle || needle->size() < 2 || needle->size() > units.size()) return;
      const text::Units<Unit> sought(*needle);
      const text::Probes at = text::sampled_probes(sought, units, std::optional<Unit>(Unit{' '}));
      check(at.first < at.second && at.second < sought.size(), "sampled probes in the needle");
      const std::vector<text::ProbedNeedle<Unit>> probed = {
          {sought.size(), at, sought[at.first], sought[at.second]}};
      std::vector<std::size_t> found;
      text::scan_probes<Unit>(units, 0, units.size(), probed, false,
                              [&](std::size_t, std::size_t start) { found.push_back(start); });
      text::for_each_occurrence(units, sought, [&](std::size_t start) {
        check(std::binary_search(found.begin(), found.end(), start), "sampled probes find it");
      });
    });
    check(run(Scan::every_window, Scoring::rows) == plain, "row scoring exact (plain scan)");
    // Jaro judges patterns of up to one word by a matching from the windows' side: one of 64
    // characters cut from the text, repeated to twice that, whose windows pass the bounds and
    // are matched, at the thresholds whose windows the reference scores quickly.
    const std::u32string all = text::decode(text);
    if (metric.starts_with("jaro") && (flags & 24) == 24 && kind == 1 && threshold <= 0.34 &&
        !all.empty()) {
      std::u32string hay;
      while (hay.size() < 128) hay += all;
      const std::u32string cut = hay.substr((flags >> 5) * (hay.size() - 64) / 7, 64);
      // After white space, the cut cut short: windows shorter than the pattern that match.
      hay += std::u32string(flags >> 6, U' ') + cut.substr(0, 40 + (flags >> 5) * 3);
      std::string utf8;
      for (const char32_t c : hay) text::append_utf8(utf8, c);
      const text::OwnedText owned = text::OwnedText::from_utf8(utf8);
      const auto run_cut = [&](Scoring scoring) {
        std::vector<Match> found;
        find_candidates(
            owned.view(), cut, metric, threshold, kind, Scan::every_window,
            [&](const Match& m) { found.push_back(m); }, scoring);
        return found;
      };
      check(run_cut(Scoring::rows) == run_cut(Scoring::per_window),
            "row scoring exact (a pattern of one word from the text)");
    }
  }

  // A matcher in the mode the flags select finds each pattern's matches, whatever its pieces.
  matcher::Options o;
  if (flags & 4) o.tokenizer_pattern = separator;
  if (flags & 8) o.metric = metric;
  o.case_insensitive = ci;
  o.special_char_insensitive = sci;
  o.threshold = threshold;
  o.threshold_kind = kind;
  o.strategies = strategies;
  bool empty_token = false;
  for (const std::string& p : patterns) {
    empty_token |= normal_separator.empty() &&
                   preprocessor::normalise_pattern(p, ci, sci).empty() && (flags & 4);
  }
  matcher::Error error{};
  const std::unique_ptr<matcher::Matcher> m = matcher::Matcher::compile(patterns, o, error);
  check((m == nullptr) == (((flags & 8) && !known) || empty_token), "matcher refused when due");
  if (m == nullptr) return 0;
  const auto hits = at_every_width(chars, [&](text::TextView view) { return m->find(view); });
  check(hits.has_value(), "matcher runs to the end");
  std::vector<matcher::Hit> expected;
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    const std::string& p = patterns[i];
    const text::OwnedText view = text::OwnedText::from_utf8(s);
    const Extraction found =
        !(flags & 8)  ? (flags & 4)
                            ? exact_token_extract::extract(view.view(), p, separator, ci, sci)
                            : exact_raw_extract::extract(view.view(), p, ci, sci, strategies)
         : (flags & 4) ? fuzzy_token_extract::extract(view.view(), p, separator, ci, sci, metric,
                                                      threshold, kind, strategies)
                      : fuzzy_raw_extract::extract(view.view(), p, ci, sci, metric, threshold, kind,
                                                   strategies);
    check(found.ok(), "every pattern the matcher took runs alone");
    for (const Match& f : found.matches()) expected.push_back({i, f.start, f.end, f.score});
  }
  std::sort(expected.begin(), expected.end(), [](const matcher::Hit& a, const matcher::Hit& b) {
    if (a.start != b.start) return a.start < b.start;
    if (a.pattern != b.pattern) return a.pattern < b.pattern;
    return a.end < b.end;
  });
  check(*hits == expected, "matcher equals the engines pattern by pattern");
  // Searched again among others, on threads kept from one input to the next.
  const text::OwnedText owned = text::OwnedText::from_utf8(s);
  const std::vector<text::TextView> views(3, owned.view());
  const auto all = m->find_all(views, 2);
  check(all && all->size() == 3 &&
            std::all_of(all->begin(), all->end(), [&](const auto& each) { return each == *hits; }),
        "find_all equals find for every text");
  return 0;
}
