#include "solver.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <optional>

#include "../text.hpp"

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
// text read as non-spaces, so spans reaching past the end are counted safely.
class SpaceMap {
 public:
  explicit SpaceMap(std::string_view text) {
    words_.assign(text.size() / 64 + 2, 0);
    std::uint64_t position = 0;
    for (const char c : text) {
      const auto byte = static_cast<unsigned char>(c);
      if (!text::is_lead_byte(byte)) continue;
      if (byte == ' ') words_[position / 64] |= std::uint64_t{1} << (position % 64);
      ++position;
    }
    size_ = position;
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

std::vector<Match> solver(std::string_view text, std::vector<Match> candidates,
                          const std::vector<std::string>& strategies) {
  std::vector<Match> result;
  if (candidates.empty()) return result;

  std::vector<Strategy> steps;
  steps.reserve(strategies.size());
  for (const std::string& name : strategies) steps.push_back(classify(name));

  const std::vector<Group> groups = detail::group(candidates);
  result.reserve(groups.size());

  std::optional<SpaceMap> spaces;  // built on first need
  std::vector<std::size_t> alive;
  std::vector<std::uint64_t> values;
  for (const Group& g : groups) {
    if (g.last - g.first == 1 || steps.empty()) {
      result.push_back(candidates[g.first]);
      continue;
    }
    alive.clear();
    for (std::size_t i = g.first; i < g.last; ++i) alive.push_back(i);

    for (const Strategy step : steps) {
      if (alive.size() == 1) break;
      if (step == Strategy::kFirst) {
        alive.resize(1);
        break;
      }
      if (step == Strategy::kBestMatch) {
        std::int64_t best = total_order_key(candidates[alive[0]].score);
        double target = candidates[alive[0]].score;
        for (const std::size_t i : alive) {
          const std::int64_t key = total_order_key(candidates[i].score);
          if (key < best) {
            best = key;
            target = candidates[i].score;
          }
        }
        // Numeric equality joins -0.0 and 0.0; a NaN target keeps its bitwise equals instead,
        // since it equals nothing numerically and the group must never empty.
        const bool nan = target != target;
        std::erase_if(alive, [&](std::size_t i) {
          const double s = candidates[i].score;
          return nan ? total_order_key(s) != best : s != target;
        });
        continue;
      }
      values.clear();
      if (step == Strategy::kMinimumIsolatedCharacter) {
        if (!spaces) spaces.emplace(text);
        for (const std::size_t i : alive) {
          values.push_back(spaces->isolated(candidates[i].start, candidates[i].end));
        }
      } else {
        // Lengths wrap modulo 2^64 for spans whose start lies after their end.
        for (const std::size_t i : alive) values.push_back(candidates[i].end - candidates[i].start);
      }
      const std::uint64_t target = step == Strategy::kLongest
                                       ? *std::max_element(values.begin(), values.end())
                                       : *std::min_element(values.begin(), values.end());
      std::size_t kept = 0;
      for (std::size_t j = 0; j < alive.size(); ++j) {
        if (values[j] == target) alive[kept++] = alive[j];
      }
      alive.resize(kept);
    }
    result.push_back(candidates[alive[0]]);
  }
  return result;
}

}  // namespace veskal::conflict_solver
