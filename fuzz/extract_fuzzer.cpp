// Runs every engine on inputs built from arbitrary bytes and checks what must hold for any input:
// no crash, failures only where they are due, sorted spans inside the text, scores within the
// threshold, the same results whatever width the text is stored at, and the fuzzy raw search's
// shortcuts agreeing with its plain scan.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "comparator/fuzzy.hpp"
#include "exact_raw_extract.hpp"
#include "exact_token_extract.hpp"
#include "fuzzy_raw_extract.hpp"
#include "fuzzy_token_extract.hpp"
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
  // Long enough, now and then, for the rows to span two 64-bit blocks.
  const std::string pattern = in.text(in.byte() % 8 == 0 ? 70 : 12);
  std::string s = in.text(400);
  // Now and then the pattern reversed too: windows sharing its characters out of order, where
  // Jaro's bounds by common subsequence decide.
  if (flags & 4) {
    const std::u32string forward = text::decode(pattern);
    for (auto c = forward.rbegin(); c != forward.rend(); ++c) text::append_utf8(s, *c);
  }
  const std::u32string chars = text::decode(s);

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

  const Extraction exact_token = at_every_width(chars, [&](text::TextView view) {
    return exact_token_extract::extract(view, pattern, separator, ci, sci);
  });
  check(exact_token.ok() != no_window, "token failure only for an empty window");
  check_spans(exact_token.matches(), n, false);

  check_spans(at_every_width(chars,
                             [&](text::TextView view) {
                               return exact_raw_extract::extract(view, pattern, ci, sci,
                                                                 strategies);
                             })
                  .matches(),
              n, true);

  const Extraction fuzzy_raw = at_every_width(chars, [&](text::TextView view) {
    return fuzzy_raw_extract::extract(view, pattern, ci, sci, metric, threshold, kind, strategies);
  });
  const bool compared = !text.empty() && !normal_pattern.empty();
  check(fuzzy_raw.ok() == (known || !compared), "raw failure only for an unknown metric");
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
    check(run(Scan::near_pieces, Scoring::rows) == plain, "row scoring exact");
    check(run(Scan::every_window, Scoring::rows) == plain, "row scoring exact (plain scan)");
  }
  return 0;
}
