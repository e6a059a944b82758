#include "conflict_solver/solver.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>

#include "text.hpp"

namespace veskal::conflict_solver {

namespace {

enum class Strategy { kBestMatch, kShortest, kLongest, kMinimumIsolatedCharacter, kFirst };

Strategy classify(const std::string& name) {
  if (name == "best_match") return Strategy::kBestMatch;
  if (name == "shortest") return Strategy::kShortest;
  if (name == "longest") return Strategy::kLongest;
  if (name == "minimum_isolated_character") return Strategy::kMinimumIsolatedCharacter;
  return Strategy::kFirst;
}

using detail::Group;

// Bounds are inclusive so that touching spans join; spelled out as three tests because spans
// with start > end must be judged exactly as the literal conditions say.
bool overlaps(const Group& a, const Group& b) {
  return (a.start <= b.start && b.end <= a.end) || (b.start <= a.start && a.start <= b.end) ||
         (b.start <= a.end && a.end <= b.end);
}

// Orders doubles as IEEE 754 totalOrder does (-NaN < -inf < -0.0 < +0.0 < +inf < +NaN).
std::int64_t total_order_key(double x) {
  const auto bits = std::bit_cast<std::int64_t>(x);
  return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

// One bit per character of the text, set where the character is U+0020. Positions beyond the
// text read as non-spaces, so spans reaching past the end are counted safely. A line feed counts
// as the space it normalises to: a text lent as it is may still hold some.
class SpaceMap {
 public:
  explicit SpaceMap(text::TextView text) {
    words_.assign(text.size() / 64 + 2, 0);
    text.visit([&](auto units) {
      for (std::size_t p = 0; p < units.size(); ++p) {
        const bool space = units[p] == ' ' || units[p] == '\n';
        words_[p / 64] |= std::uint64_t{space} << (p % 64);
      }
    });
    size_ = text.size();
  }

  bool space(std::uint64_t p) const { return p < size_ && ((words_[p / 64] >> (p % 64)) & 1); }

  // Bits p .. p + 63, zero beyond the text.
  std::uint64_t bits(std::uint64_t p) const {
    if (p >= size_) return 0;
    const std::uint64_t w = p / 64;
    const unsigned shift = static_cast<unsigned>(p % 64);
    std::uint64_t out = words_[w] >> shift;
    if (shift != 0) out |= words_[w + 1] << (64 - shift);
    return out;
  }

  // Characters of [s, e) with a space on the inner side of an edge, or on both sides inside.
  std::uint64_t isolated(std::uint64_t s, std::uint64_t e) const {
    if (s >= e) return 0;
    if (e - s == 1) return space(s) ? 1 : 0;
    std::uint64_t count = (space(s + 1) ? 1 : 0) + (space(e - 2) ? 1 : 0);
    // Inner positions s+1 .. e-2; only those up to size-2 can have a space on both sides.
    if (size_ < 2) return count;
    const std::uint64_t last = std::min(e - 2, size_ - 2);
    for (std::uint64_t p = s + 1; p <= last; p += 64) {
      std::uint64_t both = bits(p - 1) & bits(p + 1);
      const std::uint64_t remaining = last - p + 1;
      if (remaining < 64) both &= (std::uint64_t{1} << remaining) - 1;
      count += static_cast<std::uint64_t>(std::popcount(both));
    }
    return count;
  }

 private:
  std::vector<std::uint64_t> words_;
  std::uint64_t size_ = 0;
};

// Chooses a cluster's representative one member at a time. Applying the names in turn keeps,
// at each step, the members whose value equals the best one, so the survivors of all steps are
// the members whose values, read name by name up to the first unrecognised name, are the
// lexicographic best, and the first of them wins: folding members in order with a strict
// "better than" picks the same one without holding the cluster.
class Resolver {
 public:
  Resolver(text::TextView text, const std::vector<std::string>& names) : text_(text) {
    for (const std::string& name : names) {
      const Strategy step = classify(name);
      if (step == Strategy::kFirst) break;  // the first remaining member wins from here on
      steps_.push_back(step);
    }
  }

  void start(const Match& first) {
    best_ = first;
    best_isolated_.reset();
  }

  void offer(const Match& candidate) {
    for (const Strategy step : steps_) {
      switch (step) {
        case Strategy::kBestMatch: {
          if (same_score(candidate.score, best_.score)) continue;
          if (total_order_key(candidate.score) < total_order_key(best_.score)) take(candidate);
          return;
        }
        case Strategy::kShortest:
        case Strategy::kLongest: {
          // Lengths wrap modulo 2^64 for spans whose start lies after their end.
          const std::uint64_t length = candidate.end - candidate.start;
          const std::uint64_t best_length = best_.end - best_.start;
          if (length == best_length) continue;
          if ((length < best_length) == (step == Strategy::kShortest)) take(candidate);
          return;
        }
        case Strategy::kMinimumIsolatedCharacter: {
          const std::uint64_t isolated = spaces().isolated(candidate.start, candidate.end);
          if (!best_isolated_) best_isolated_ = spaces().isolated(best_.start, best_.end);
          if (isolated == *best_isolated_) continue;
          if (isolated < *best_isolated_) {
            take(candidate);
            best_isolated_ = isolated;
          }
          return;
        }
        case Strategy::kFirst:
          return;
      }
    }
  }

  const Match& best() const { return best_; }

  // Whether no later member can displace the first, whatever its span and score.
  bool first_wins() const { return steps_.empty(); }

 private:
  // Scores equal as the best-score step compares them: numerically, so -0.0 and 0.0 join;
  // a NaN equals only its own bit pattern, so that a cluster never loses every member.
  static bool same_score(double a, double b) {
    return a == b || total_order_key(a) == total_order_key(b);
  }

  void take(const Match& candidate) {
    best_ = candidate;
    best_isolated_.reset();
  }

  const SpaceMap& spaces() {
    if (!spaces_) spaces_.emplace(text_);  // only when a cluster needs it
    return *spaces_;
  }

  text::TextView text_;
  std::vector<Strategy> steps_;
  std::optional<SpaceMap> spaces_;
  Match best_{};
  std::optional<std::uint64_t> best_isolated_;
};

}  // namespace

namespace detail {

// Same groups as scanning for the first overlapping neighbours and restarting from the front
// after each merge: the groups list is always this stack followed by untouched candidates, and
// since every pair below the stack's top is known to be disjoint, the first overlapping pair of
// that scan is the top pair whenever it overlaps, and lies beyond the stack otherwise.
std::vector<Group> group(const std::vector<Match>& candidates) {
  std::vector<Group> groups;
  groups.reserve(candidates.size());
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    groups.push_back({candidates[i].start, candidates[i].end, i, i + 1});
    while (groups.size() >= 2 && overlaps(groups[groups.size() - 2], groups.back())) {
      const Group b = groups.back();
      groups.pop_back();
      Group& a = groups.back();
      a.start = std::min(a.start, b.start);
      a.end = std::max(a.end, b.end);
      a.last = b.last;
    }
  }
  return groups;
}

}  // namespace detail

bool reads_text(const std::vector<std::string>& strategies) {
  return std::any_of(strategies.begin(), strategies.end(), [](const std::string& name) {
    return classify(name) == Strategy::kMinimumIsolatedCharacter;
  });
}

std::vector<Match> solver(text::TextView text, std::vector<Match> candidates,
                          const std::vector<std::string>& strategies) {
  std::vector<Match> result;
  if (candidates.empty()) return result;
  const std::vector<Group> groups = detail::group(candidates);
  result.reserve(groups.size());
  Resolver resolver(text, strategies);
  for (const Group& g : groups) {
    resolver.start(candidates[g.first]);
    for (std::size_t i = g.first + 1; i < g.last; ++i) resolver.offer(candidates[i]);
    result.push_back(resolver.best());
  }
  return result;
}

struct StreamingSolver::Impl {
  Impl(text::TextView text, const std::vector<std::string>& strategies)
      : resolver(text, strategies) {}

  Resolver resolver;
  bool open = false;
  std::uint64_t hull_end = 0;
  std::vector<Match> result;
};

StreamingSolver::StreamingSolver(text::TextView text, const std::vector<std::string>& strategies)
    : impl_(std::make_unique<Impl>(text, strategies)) {}
StreamingSolver::StreamingSolver(StreamingSolver&&) noexcept = default;
StreamingSolver& StreamingSolver::operator=(StreamingSolver&&) noexcept = default;
StreamingSolver::~StreamingSolver() = default;

void StreamingSolver::add(const Match& candidate) {
  Impl& s = *impl_;
  // With ascending starts and start <= end, a candidate joins the open cluster exactly when it
  // starts no later than the cluster's hull ends, and a closed cluster can never grow again.
  if (s.open && candidate.start <= s.hull_end) {
    s.hull_end = std::max(s.hull_end, candidate.end);
    s.resolver.offer(candidate);
    return;
  }
  if (s.open) s.result.push_back(s.resolver.best());
  s.open = true;
  s.hull_end = candidate.end;
  s.resolver.start(candidate);
}

std::optional<std::uint64_t> StreamingSolver::settled_through(std::uint64_t start) const {
  const Impl& s = *impl_;
  // A member that neither wins nor stretches the hull leaves the cluster as it was.
  if (s.open && start <= s.hull_end && s.resolver.first_wins()) return s.hull_end;
  return std::nullopt;
}

std::vector<Match> StreamingSolver::finish() {
  Impl& s = *impl_;
  if (s.open) s.result.push_back(s.resolver.best());
  s.open = false;
  return std::move(s.result);
}

}  // namespace veskal::conflict_solver
