#include "matcher.hpp"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <limits>
#include <map>
#include <mutex>
#include <span>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <utility>

#include "comparator/fuzzy.hpp"
#include "conflict_solver/solver.hpp"
#include "exact_raw_extract.hpp"
#include "exact_token_extract.hpp"
#include "fuzzy_raw_extract.hpp"
#include "fuzzy_token_extract.hpp"
#include "iterator/tokens.hpp"
#include "match.hpp"
#include "preprocessor.hpp"
#include "text.hpp"

namespace veskal::matcher {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPollInterval = std::chrono::milliseconds(10);
// Shorter pieces occur so often in prose that looking for them costs more than it saves.
constexpr std::size_t kMinPieceChars = 2;
// More characters than any text holds: a bound on the edits of candidates this long holds for
// all candidates.
constexpr std::size_t kLongestText = std::size_t{1} << 40;
// Bytes scanned by the automaton between two cancellation checks...
constexpr std::size_t kScanBlock = std::size_t{1} << 14;
// ...and piece occurrences handled, each of which may cost a window search.
constexpr std::size_t kHitsPerPoll = 1024;
// Piece occurrences of one pattern kept before their windows are judged.
constexpr std::size_t kPendingRanges = 256;

// ---- Aho-Corasick automaton ------------------------------------------------------------------
// Neither Debian nor PyPI packages a maintained C++ multi-pattern matcher, hence this one. It is
// a complete DFA over the code units the keys use (all others share one class), so the scan
// costs one table load per unit whatever the number of keys.

template <class Unit>
class Automaton {
 public:
  using View = std::basic_string_view<Unit>;
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
  // A transition's top bit: its target state ends some key.
  static constexpr std::uint32_t kOutputBit = std::uint32_t{1} << 31;
  static constexpr std::uint32_t kStateMask = kOutputBit - 1;

  // `keys` must be non-empty; a key's id is its index. Equal keys are all reported.
  explicit Automaton(const std::vector<View>& keys) {
    std::vector<std::uint64_t> wide;
    for (const View key : keys) {
      for (const Unit u : key) {
        const auto c = static_cast<std::make_unsigned_t<Unit>>(u);
        if (c < 256) {
          narrow_[c] = 1;
        } else {
          wide.push_back(c);
        }
      }
    }
    std::uint32_t classes = 1;  // class 0: every unit no key holds
    for (auto& c : narrow_) c = c != 0 ? classes++ : 0;
    std::sort(wide.begin(), wide.end());
    wide.erase(std::unique(wide.begin(), wide.end()), wide.end());
    for (const std::uint64_t c : wide) wide_.emplace_back(c, classes++);
    classes_ = classes;

    // The trie, transitions kNone where absent; rows are premultiplied by the class count.
    delta_.assign(classes_, kNone);
    first_key_.push_back(kNone);
    next_key_.assign(keys.size(), kNone);
    for (std::uint32_t id = 0; id < keys.size(); ++id) {
      std::uint32_t state = 0;
      for (const Unit u : keys[id]) {
        const std::size_t at = state + classify(u);
        if (delta_[at] == kNone) {
          // Set before growing the table, which moves it.
          delta_[at] = static_cast<std::uint32_t>(delta_.size());
          delta_.resize(delta_.size() + classes_, kNone);
          first_key_.push_back(kNone);
        }
        state = delta_[at];
      }
      next_key_[id] = first_key_[state / classes_];
      first_key_[state / classes_] = id;
    }

    // Breadth first: a state's failure link is known before its children's. Missing transitions
    // become those of the failure state, and each state links to the nearest suffix with keys.
    const std::size_t states = first_key_.size();
    std::vector<std::uint32_t> fail(states, 0);
    output_link_.assign(states, kNone);
    std::vector<std::uint32_t> queue;
    queue.reserve(states);
    for (std::uint32_t c = 0; c < classes_; ++c) {
      std::uint32_t& to = delta_[c];
      if (to == kNone) {
        to = 0;
      } else {
        queue.push_back(to);
      }
    }
    for (std::size_t head = 0; head < queue.size(); ++head) {
      const std::uint32_t state = queue[head];
      const std::uint32_t f = fail[state / classes_];
      output_link_[state / classes_] =
          first_key_[f / classes_] != kNone ? f : output_link_[f / classes_];
      for (std::uint32_t c = 0; c < classes_; ++c) {
        std::uint32_t& to = delta_[state + c];
        if (to == kNone) {
          to = delta_[f + c];
        } else {
          fail[to / classes_] = delta_[f + c];
          queue.push_back(to);
        }
      }
    }
    // The scan's table: each row holds the transitions, then the state's first key and its
    // output link, so that no state number is divided. A transition's top bit tells whether its
    // target state reaches a key.
    stride_ = classes_ + 2;
    if (states * stride_ > kStateMask) throw std::length_error("too many keys for one automaton");
    const auto row = [&](std::uint32_t state) { return state / classes_ * stride_; };
    table_.resize(states * stride_);
    for (std::size_t r = 0; r < states; ++r) {
      std::uint32_t* out = &table_[r * stride_];
      for (std::uint32_t c = 0; c < classes_; ++c) {
        const std::uint32_t to = delta_[r * classes_ + c];
        const std::size_t target = to / classes_;
        const bool reaches = first_key_[target] != kNone || output_link_[target] != kNone;
        out[c] = row(to) | (reaches ? kOutputBit : 0);
      }
      out[classes_] = first_key_[r];
      out[classes_ + 1] = output_link_[r] == kNone ? kNone : row(output_link_[r]);
    }
    delta_ = {};
    first_key_ = {};
    output_link_ = {};
  }

  // Calls on_hit(key, end) for every occurrence of every key in `text`, overlapping ones
  // included, `end` being the offset just past it: `end` ascending. `state` carries the scan
  // over from the text before (0 at the start).
  template <class OnHit>
  void scan(View text, std::size_t offset, std::uint32_t& state, OnHit&& on_hit) const {
    const std::uint32_t* table = table_.data();
    const std::uint32_t first = classes_;
    const std::uint32_t link = classes_ + 1;
    std::uint32_t s = state;
    for (std::size_t i = 0; i < text.size(); ++i) {
      const std::uint32_t to = table[s + classify(text[i])];
      s = to & kStateMask;
      if ((to & kOutputBit) == 0) continue;
      for (std::uint32_t out = table[s + first] != kNone ? s : table[s + link]; out != kNone;
           out = table[out + link]) {
        for (std::uint32_t id = table[out + first]; id != kNone; id = next_key_[id]) {
          on_hit(id, offset + i + 1);
        }
      }
    }
    state = s;
  }

 private:
  std::uint32_t classify(Unit u) const {
    const auto c = static_cast<std::make_unsigned_t<Unit>>(u);
    if (c < 256) return narrow_[c];
    const auto it =
        std::lower_bound(wide_.begin(), wide_.end(), std::pair<std::uint64_t, std::uint32_t>{c, 0});
    return it != wide_.end() && it->first == c ? it->second : 0;
  }

  std::uint32_t narrow_[256] = {};
  std::vector<std::pair<std::uint64_t, std::uint32_t>> wide_;
  std::uint32_t classes_ = 1;
  std::uint32_t stride_ = 1;
  std::vector<std::uint32_t> table_;     // what the scan reads; rows of stride_ entries
  std::vector<std::uint32_t> next_key_;  // per key: the next key ending at its state
  // While building only, rows of classes_ entries:
  std::vector<std::uint32_t> delta_;
  std::vector<std::uint32_t> first_key_;    // per state: a key ending there, or kNone
  std::vector<std::uint32_t> output_link_;  // per state: the longest proper suffix with keys
};

// ---- the per-pattern searches ----------------------------------------------------------------

enum class Mode { exact_raw, exact_token, fuzzy_raw, fuzzy_token };

// Character positions of byte offsets asked in ascending order, counted forward once.
class Positions {
 public:
  Positions(std::string_view text, bool ascii) : text_(text), ascii_(ascii) {}

  std::uint64_t at(std::size_t byte) {
    if (ascii_) return byte;
    chars_ += text::count_chars(text_.substr(byte_, byte - byte_));
    byte_ = byte;
    return chars_;
  }

 private:
  std::string_view text_;
  bool ascii_;
  std::size_t byte_ = 0;
  std::uint64_t chars_ = 0;
};

// Calls `cancel` at most every kPollInterval, however often it is asked.
class Poll {
 public:
  explicit Poll(const Cancel& cancel) : cancel_(cancel), next_(Clock::now() + kPollInterval) {}

  // Once true, true ever after: `cancel` may say so only once.
  bool stop() {
    if (stopped_) return true;
    if (!cancel_) return false;
    const Clock::time_point now = Clock::now();
    if (now < next_) return false;
    next_ = now + kPollInterval;
    stopped_ = cancel_();
    return stopped_;
  }

 private:
  const Cancel& cancel_;
  Clock::time_point next_;
  bool stopped_ = false;
};

}  // namespace

struct Matcher::Impl {
  // One distinct normalised pattern and the indices of the patterns that normalise to it.
  struct Pattern {
    std::string text;
    std::vector<std::size_t> indices;
    std::uint64_t window = 0;  // token modes: tokens per run
    bool keyed = false;        // found through the automaton rather than on its own
    bool never = false;        // matches nothing in any text
    // Fuzzy raw: the characters of the trimmed pattern, the most edits a match can hold, and
    // the longest window.
    std::int64_t trimmed_chars = 0;
    std::int64_t bound = 0;
    std::int64_t longest = 0;
  };

  // An automaton key: the whole trimmed pattern in the exact modes, a piece of it in the fuzzy
  // modes, `offset` characters into it.
  struct Key {
    std::uint32_t pattern;  // index into `patterns`
    std::uint32_t offset;
    std::uint32_t chars;
    std::uint32_t bytes;
  };

  Mode mode;
  Options options;  // tokenizer pattern normalised
  std::vector<Pattern> patterns;
  std::optional<Automaton<char>> automaton;
  std::vector<Key> keys;
  // Fuzzy token: the judge of each keyed pattern, indexed as `patterns`.
  std::vector<std::optional<fuzzy_token_extract::detail::RunJudge>> judges;

  std::optional<std::vector<Hit>> find(std::string_view text, const Cancel& cancel) const;

 private:
  // The matches of each distinct pattern, indexed as `patterns`; false once cancelled.
  bool search_keyed(std::string_view t, bool ascii, Poll& poll,
                    std::vector<std::vector<Match>>& found) const;
  std::vector<Match> search_one(const Pattern& p, std::string_view t, bool ascii) const;
};

std::unique_ptr<Matcher> Matcher::compile(std::vector<std::string> patterns, Options options,
                                          Error& error) {
  auto impl = std::make_unique<Impl>();
  const bool tokens = options.tokenizer_pattern.has_value();
  if (options.metric) {
    if (!comparator::fuzzy::parse_metric(*options.metric)) {
      error = {Error::Code::unknown_metric};
      return nullptr;
    }
    impl->mode = tokens ? Mode::fuzzy_token : Mode::fuzzy_raw;
  } else {
    impl->mode = tokens ? Mode::exact_token : Mode::exact_raw;
  }
  const bool ci = options.case_insensitive;
  const bool sci = options.special_char_insensitive;
  if (tokens) {
    options.tokenizer_pattern =
        preprocessor::preprocess(std::move(*options.tokenizer_pattern), ci, sci);
  }
  const std::string_view separator = tokens ? *options.tokenizer_pattern : std::string_view();

  std::map<std::string, std::size_t, std::less<>> seen;
  for (std::size_t i = 0; i < patterns.size(); ++i) {
    std::string normalised = preprocessor::preprocess(std::move(patterns[i]), ci, sci);
    const auto [it, fresh] = seen.try_emplace(std::move(normalised), impl->patterns.size());
    if (fresh) {
      Impl::Pattern& p = impl->patterns.emplace_back();
      p.text = it->first;
      if (tokens) {
        p.window = iterator::tokens::pattern_token_count(p.text, separator);
        if (p.window == 0) {
          error = {Error::Code::empty_token, i};
          return nullptr;
        }
      }
    }
    impl->patterns[it->second].indices.push_back(i);
  }

  // Which patterns the automaton can find: in the raw engine those without white space at their
  // edges (every window then holds the pattern itself); in the token engine, with a separator of
  // one character, those whose trimmed text holds all their separators, each between two
  // tokens (a matching run is then an occurrence padded by white space to the separators
  // around it).
  std::vector<std::string_view> keys;
  std::deque<std::string> pieces;  // what the fuzzy keys view, until the automaton is built
  const auto add_key = [&](std::size_t u, std::string_view key, std::size_t offset) {
    keys.push_back(key);
    impl->keys.push_back({static_cast<std::uint32_t>(u), static_cast<std::uint32_t>(offset),
                          static_cast<std::uint32_t>(text::count_chars(key)),
                          static_cast<std::uint32_t>(key.size())});
  };
  // Cuts the trimmed pattern into bound + 1 pieces of equal length, unless they would be too
  // short to pay off or no bound is known.
  const auto split_into_pieces = [&](std::size_t u, std::u32string_view trimmed,
                                     std::optional<std::size_t> bound) {
    const std::size_t n = trimmed.size();
    if (!bound || *bound >= n || n / (*bound + 1) < kMinPieceChars) return false;
    const std::size_t count = *bound + 1;
    for (std::size_t i = 0; i < count; ++i) {
      std::string& piece = pieces.emplace_back();
      for (std::size_t j = i * n / count; j < (i + 1) * n / count; ++j) {
        text::append_utf8(piece, trimmed[j]);
      }
      add_key(u, piece, i * n / count);
    }
    impl->patterns[u].keyed = true;
    return true;
  };
  const bool one_char_separator = tokens && text::count_chars(separator) == 1;
  for (std::size_t u = 0; u < impl->patterns.size(); ++u) {
    Impl::Pattern& p = impl->patterns[u];
    const std::string_view target = text::trim(p.text);
    if (target.empty()) continue;
    if (impl->mode == Mode::exact_raw) {
      p.keyed = target.size() == p.text.size();
    } else if (impl->mode == Mode::exact_token && one_char_separator) {
      std::uint64_t separators = 0;
      for (std::size_t at = target.find(separator); at != std::string_view::npos;
           at = target.find(separator, at + separator.size())) {
        ++separators;
      }
      // The tokenizer forms no empty token (a one-character separator at a token's start
      // is skipped), while a pattern counts them: such a pattern is left to the engine.
      const std::string twice = std::string(separator) + std::string(separator);
      p.keyed = separators + 1 == p.window && !target.starts_with(separator) &&
                !target.ends_with(separator) && target.find(twice) == std::string_view::npos;
    } else if (impl->mode == Mode::fuzzy_raw) {
      // A window within `bound` edits of the pattern keeps one of bound + 1 disjoint pieces of
      // it intact, as an edit breaks at most one: windows are judged only near an occurrence.
      const std::uint64_t pattern_chars = text::count_chars(p.text);
      const std::int8_t margin = fuzzy_raw_extract::detail::margin(pattern_chars, options.threshold,
                                                                   options.threshold_kind);
      const std::u32string trimmed = text::decode(target);
      const std::optional<comparator::fuzzy::CachedSearch> compare =
          comparator::fuzzy::CachedSearch::create(trimmed, *options.metric, options.threshold_kind,
                                                  options.threshold);
      if (compare->never_matches() || margin < 0) {
        p.never = true;
        continue;
      }
      const std::optional<std::size_t> bound =
          compare->levenshtein_bound(pattern_chars + static_cast<std::uint64_t>(margin));
      if (!split_into_pieces(u, trimmed, bound)) continue;
      p.trimmed_chars = static_cast<std::int64_t>(trimmed.size());
      p.bound = static_cast<std::int64_t>(*bound);
      p.longest = static_cast<std::int64_t>(pattern_chars) + margin;
      continue;
    } else if (impl->mode == Mode::fuzzy_token) {
      // As in the raw mode, a matching run keeps one of bound + 1 pieces intact. Runs have no
      // length limit, so only a bound that holds at any length serves (a raw distance's).
      std::optional<fuzzy_token_extract::detail::RunJudge> judge =
          fuzzy_token_extract::detail::RunJudge::create(p.text, *options.metric, options.threshold,
                                                        options.threshold_kind);
      if (judge->never_matches()) {
        p.never = true;
        continue;
      }
      const std::optional<std::size_t> bound = judge->levenshtein_bound(kLongestText);
      const std::u32string trimmed = text::decode(target);
      if (!split_into_pieces(u, trimmed, bound)) continue;
      impl->judges.resize(impl->patterns.size());
      impl->judges[u] = std::move(judge);
      continue;
    }
    if (p.keyed) add_key(u, target, 0);
  }
  if (!keys.empty()) impl->automaton.emplace(keys);
  impl->options = std::move(options);
  return std::unique_ptr<Matcher>(new Matcher(std::move(impl)));
}

Matcher::Matcher(std::unique_ptr<const Impl> impl) : impl_(std::move(impl)) {}
Matcher::~Matcher() = default;

std::vector<Match> Matcher::Impl::search_one(const Pattern& p, std::string_view t,
                                             bool ascii) const {
  switch (mode) {
    case Mode::exact_raw:
      return exact_raw_extract::detail::extract_normalised(t, ascii, p.text, options.strategies);
    case Mode::exact_token: {
      const std::string_view separator = *options.tokenizer_pattern;
      if (auto found =
              exact_token_extract::detail::by_occurrences(t, p.text, separator, p.window, ascii)) {
        return std::move(*found);
      }
      return exact_token_extract::detail::by_runs(t, p.text, separator, p.window);
    }
    case Mode::fuzzy_raw: {
      conflict_solver::StreamingSolver sink(t, options.strategies);
      if (!fuzzy_raw_extract::detail::find_candidates(
              t, p.text, *options.metric, options.threshold, options.threshold_kind,
              fuzzy_raw_extract::detail::Scan::near_pieces,
              [&](const Match& candidate) { sink.add(candidate); })) {
        throw std::logic_error("Invalid distance metric");  // ruled out by compile
      }
      return sink.finish();
    }
    case Mode::fuzzy_token: {
      Extraction found = fuzzy_token_extract::detail::extract_normalised(
          t, p.text, *options.tokenizer_pattern, *options.metric, options.threshold,
          options.threshold_kind, options.strategies);
      if (!found.ok()) throw std::logic_error(found.message());  // ruled out by compile
      return std::move(found.matches());
    }
  }
  return {};
}

bool Matcher::Impl::search_keyed(std::string_view t, bool ascii, Poll& poll,
                                 std::vector<std::vector<Match>>& found) const {
  Positions positions(t, ascii);
  const auto scan = [&](const auto& on_hit) {
    std::uint32_t state = 0;
    for (std::size_t from = 0; from < t.size(); from += kScanBlock) {
      if (poll.stop()) return false;
      automaton->scan(t.substr(from, kScanBlock), from, state, on_hit);
    }
    return true;
  };

  if (mode == Mode::exact_raw) {
    // Candidates reach each pattern's solver in ascending start, as the engine hands them over.
    std::vector<std::optional<conflict_solver::StreamingSolver>> solvers(patterns.size());
    const bool done = scan([&](std::uint32_t k, std::size_t end) {
      const Key& key = keys[k];
      const std::uint64_t q = positions.at(end);
      auto& solver = solvers[key.pattern];
      if (!solver) solver.emplace(t, options.strategies);
      solver->add(Match{q - key.chars, q, 0.0});
    });
    if (!done) return false;
    for (std::size_t u = 0; u < patterns.size(); ++u) {
      if (solvers[u]) found[u] = solvers[u]->finish();
    }
    return true;
  }

  if (mode == Mode::fuzzy_raw) {
    // The starts each piece occurrence leaves possible, as the engine's own piece search finds
    // them: the rest of the pattern but for `bound` edits must fit in the window around it.
    // They are judged in batches as the scan goes, so that memory stays bounded however many
    // patterns share a frequent piece.
    using fuzzy_raw_extract::detail::StartRange;
    const auto text_chars = static_cast<std::int64_t>(ascii ? t.size() : text::count_chars(t));
    struct Pending {
      std::vector<StartRange> ranges;
      std::optional<conflict_solver::StreamingSolver> sink;
      std::int64_t judged_to = -1;  // the last start judged: the solver takes starts ascending
    };
    std::vector<Pending> pending(patterns.size());
    // Judges the starts of pattern u's ranges, merged into runs, that end before `limit`.
    const auto judge = [&](std::size_t u, std::int64_t limit) {
      std::vector<StartRange>& runs = pending[u].ranges;
      std::sort(runs.begin(), runs.end(),
                [](const StartRange& a, const StartRange& b) { return a.lo < b.lo; });
      // Each run is read from the anchor of its first range, which lies at or after its start.
      std::size_t kept = 0;
      for (std::size_t i = 1; i < runs.size(); ++i) {
        if (runs[i].lo <= runs[kept].hi + 1) {
          runs[kept].hi = std::max(runs[kept].hi, runs[i].hi);
        } else {
          runs[++kept] = runs[i];
        }
      }
      runs.resize(runs.empty() ? 0 : kept + 1);
      // Disjoint runs in ascending lo end in ascending order too.
      std::size_t ready = 0;
      while (ready < runs.size() && runs[ready].hi < limit) ++ready;
      if (ready == 0) return;
      assert(runs.front().lo > pending[u].judged_to);
      pending[u].judged_to = runs[ready - 1].hi;
      auto& sink = pending[u].sink;
      if (!sink) sink.emplace(t, options.strategies);
      fuzzy_raw_extract::detail::find_candidates_at(
          t, static_cast<std::uint64_t>(text_chars), patterns[u].text, *options.metric,
          options.threshold, options.threshold_kind,
          std::span<const StartRange>(runs.data(), ready),
          [&](const Match& candidate) { sink->add(candidate); });
      runs.erase(runs.begin(), runs.begin() + static_cast<std::ptrdiff_t>(ready));
    };
    std::size_t hits = 0;
    bool cancelled = false;
    const bool done = scan([&](std::uint32_t k, std::size_t end) {
      if (cancelled || (++hits % kHitsPerPoll == 0 && (cancelled = poll.stop()))) return;
      const Key& key = keys[k];
      const Pattern& p = patterns[key.pattern];
      const auto q = static_cast<std::int64_t>(positions.at(end) - key.chars);
      const auto offset = static_cast<std::int64_t>(key.offset);
      const auto chars = static_cast<std::int64_t>(key.chars);
      const std::int64_t lo = std::max<std::int64_t>(
          {0, q + chars - p.longest, q + p.trimmed_chars - offset - p.bound - p.longest});
      const std::int64_t hi = std::min({q, q - offset + p.bound, text_chars - 1});
      if (lo > hi) return;
      std::vector<StartRange>& ranges = pending[key.pattern].ranges;
      ranges.push_back({lo, hi, static_cast<std::uint64_t>(q), end - key.bytes});
      // Every later occurrence ends no earlier, so its range starts at q + chars - longest or
      // after: runs ending a character before that can neither grow nor be preceded.
      if (ranges.size() >= kPendingRanges) judge(key.pattern, q + chars - p.longest - 1);
    });
    if (!done || cancelled) return false;
    for (std::size_t u = 0; u < patterns.size(); ++u) {
      if (pending[u].ranges.empty() && !pending[u].sink) continue;
      if (poll.stop()) return false;
      judge(u, std::numeric_limits<std::int64_t>::max());
      found[u] = pending[u].sink->finish();
    }
    return true;
  }

  if (mode == Mode::fuzzy_token) {
    // The runs that hold a piece occurrence, their windows judged as the engine judges them. A
    // run holds it when it starts at or before the occurrence and ends at or after it.
    const std::vector<iterator::tokens::TokenSpan> tokens =
        iterator::tokens::tokenize(t, *options.tokenizer_pattern);
    const auto token_count = static_cast<std::int64_t>(tokens.size());
    struct Pending {
      std::int64_t lo = 0;
      std::int64_t hi = -1;  // none when below lo
      std::optional<conflict_solver::StreamingSolver> sink;
      std::int64_t judged_to = -1;  // the last run judged: the solver takes starts ascending
    };
    std::vector<Pending> pending(patterns.size());
    std::u32string scratch;
    const auto judge = [&](std::size_t u) {
      Pending& run = pending[u];
      if (run.hi < run.lo) return;
      assert(run.lo > run.judged_to);
      run.judged_to = run.hi;
      if (!run.sink) run.sink.emplace(t, options.strategies);
      const auto w = static_cast<std::int64_t>(patterns[u].window);
      for (std::int64_t f = run.lo; f <= run.hi; ++f) {
        const iterator::tokens::TokenSpan& first = tokens[static_cast<std::size_t>(f)];
        const iterator::tokens::TokenSpan& last = tokens[static_cast<std::size_t>(f + w - 1)];
        const iterator::tokens::Item item{
            first.start, last.end, t.substr(first.byte_start, last.byte_end - first.byte_start)};
        if (const std::optional<Match> m = (*judges[u])(item, scratch)) run.sink->add(*m);
      }
      run.hi = run.lo - 1;
    };
    std::size_t hits = 0;
    bool cancelled = false;
    const bool done = scan([&](std::uint32_t k, std::size_t end) {
      if (cancelled || (++hits % kHitsPerPoll == 0 && (cancelled = poll.stop()))) return;
      const Key& key = keys[k];
      const std::size_t begin = end - key.bytes;
      const auto w = static_cast<std::int64_t>(patterns[key.pattern].window);
      // The last token starting at or before the occurrence, the first ending at or after it.
      const auto starts_after = std::upper_bound(
          tokens.begin(), tokens.end(), begin,
          [](std::size_t b, const iterator::tokens::TokenSpan& s) { return b < s.byte_start; });
      const auto ends_after = std::lower_bound(
          tokens.begin(), tokens.end(), end,
          [](const iterator::tokens::TokenSpan& s, std::size_t e) { return s.byte_end < e; });
      const std::int64_t lo = std::max<std::int64_t>(0, (ends_after - tokens.begin()) - w + 1);
      const std::int64_t hi = std::min((starts_after - tokens.begin()) - 1, token_count - w);
      if (lo > hi) return;
      // Occurrences come by ascending end, so `lo` never decreases: a run that this one does
      // not reach is complete.
      Pending& run = pending[key.pattern];
      if (run.hi >= run.lo && lo <= run.hi + 1) {
        run.hi = std::max(run.hi, hi);
        return;
      }
      judge(key.pattern);
      run.lo = lo;
      run.hi = hi;
    });
    if (!done || cancelled) return false;
    for (std::size_t u = 0; u < patterns.size(); ++u) {
      if (!patterns[u].keyed) continue;
      if (poll.stop()) return false;
      judge(u);
      if (pending[u].sink) found[u] = pending[u].sink->finish();
    }
    return true;
  }

  // Exact tokens: as exact_token_extract's occurrence search, the separator looked for first.
  const std::string_view separator = *options.tokenizer_pattern;
  const std::size_t sep = separator.size();
  const auto separator_at = [&](std::size_t at) { return t.compare(at, sep, separator) == 0; };
  return scan([&](std::uint32_t k, std::size_t end) {
    const Key& key = keys[k];
    const std::size_t at = end - key.bytes;
    std::size_t begin = at;
    std::uint64_t before = 0;
    while (begin > 0 && !(begin >= sep && separator_at(begin - sep))) {
      std::size_t b = begin;
      if (!text::is_white_space(text::decode_before(t, b))) return;
      begin = b;
      ++before;
    }
    std::size_t stop = end;
    std::uint64_t after = 0;
    while (stop < t.size() && !separator_at(stop)) {
      std::size_t b = stop;
      if (!text::is_white_space(text::decode_at(t, b))) return;
      stop = b;
      ++after;
    }
    const std::uint64_t q = positions.at(end);
    found[key.pattern].push_back({q - key.chars - before, q + after, 0.0});
  });
}

std::optional<std::vector<Hit>> Matcher::Impl::find(std::string_view text,
                                                    const Cancel& cancel) const {
  Poll poll(cancel);
  const preprocessor::Normalised normalised =
      preprocessor::normalise(text, options.case_insensitive, options.special_char_insensitive);
  const std::string_view t = normalised.text();
  std::vector<std::vector<Match>> found(patterns.size());
  if (automaton && !search_keyed(t, normalised.ascii(), poll, found)) return std::nullopt;
  for (std::size_t u = 0; u < patterns.size(); ++u) {
    if (patterns[u].keyed || patterns[u].never) continue;
    if (poll.stop()) return std::nullopt;
    found[u] = search_one(patterns[u], t, normalised.ascii());
  }

  std::size_t total = 0;
  for (std::size_t u = 0; u < patterns.size(); ++u) {
    total += found[u].size() * patterns[u].indices.size();
  }
  std::vector<Hit> hits;
  hits.reserve(total);
  for (std::size_t u = 0; u < patterns.size(); ++u) {
    for (const std::size_t index : patterns[u].indices) {
      for (const Match& m : found[u]) hits.push_back({index, m.start, m.end, m.score});
    }
  }
  std::sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) {
    if (a.start != b.start) return a.start < b.start;
    if (a.pattern != b.pattern) return a.pattern < b.pattern;
    return a.end < b.end;
  });
  return hits;
}

std::optional<std::vector<Hit>> Matcher::find(std::string_view text, const Cancel& cancel) const {
  return impl_->find(text, cancel);
}

std::optional<std::vector<std::vector<Hit>>> Matcher::find_all(
    std::span<const std::string_view> texts, unsigned threads, const Cancel& cancel) const {
  std::vector<std::vector<Hit>> results(texts.size());
  if (texts.empty()) return results;
  // More threads than this only add contention, and may not be there to start.
  const unsigned most = std::max(64u, 4 * std::thread::hardware_concurrency());
  threads = static_cast<unsigned>(
      std::clamp<std::size_t>(threads, 1, std::min<std::size_t>(texts.size(), most)));

  std::atomic<std::size_t> next{0};
  std::atomic<bool> stop{false};
  std::mutex mutex;
  std::condition_variable finished;
  unsigned running = 0;  // guarded by mutex
  std::exception_ptr failure;
  const Cancel stopped = [&] { return stop.load(std::memory_order_relaxed); };
  const auto work = [&] {
    try {
      for (std::size_t i; !stop.load(std::memory_order_relaxed) && (i = next++) < texts.size();) {
        std::optional<std::vector<Hit>> hits = impl_->find(texts[i], stopped);
        if (!hits) break;
        results[i] = std::move(*hits);
      }
    } catch (...) {
      const std::lock_guard lock(mutex);
      if (!failure) failure = std::current_exception();
      stop = true;
    }
    const std::lock_guard lock(mutex);
    --running;
    finished.notify_one();
  };

  {
    // Declared last: its threads are joined before anything they use goes away.
    std::vector<std::jthread> pool;
    pool.reserve(threads);
    try {
      for (unsigned i = 0; i < threads; ++i) {
        {
          const std::lock_guard lock(mutex);
          ++running;
        }
        try {
          pool.emplace_back(work);
        } catch (...) {
          const std::lock_guard lock(mutex);
          --running;
          throw;
        }
      }
    } catch (...) {
      stop = true;
      throw;
    }
    std::unique_lock lock(mutex);
    while (running > 0) {
      finished.wait_for(lock, kPollInterval);
      if (running > 0 && cancel && !stop) {
        lock.unlock();
        if (cancel()) stop = true;
        lock.lock();
      }
    }
  }
  if (failure) std::rethrow_exception(failure);
  if (stop) return std::nullopt;
  return results;
}

}  // namespace veskal::matcher
