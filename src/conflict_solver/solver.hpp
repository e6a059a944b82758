#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../match.hpp"

namespace veskal::conflict_solver {

// One match per cluster of neighbouring candidates whose spans overlap or touch, chosen by the
// strategy names in order ("best_match", "shortest", "longest", "minimum_isolated_character";
// any other name picks the first remaining candidate). Candidates are expected in ascending
// start order; they are not sorted. Never fails.
std::vector<Match> solver(std::string_view text, std::vector<Match> candidates,
                          const std::vector<std::string>& strategies);

namespace detail {

// A cluster of candidates: the hull of its members' spans and the members themselves, which are
// always the contiguous input run [first, last).
struct Group {
  std::uint64_t start;
  std::uint64_t end;
  std::size_t first;
  std::size_t last;

  friend bool operator==(const Group&, const Group&) = default;
};

// The clusters of `candidates`, in list order: neighbours are merged while they overlap or touch,
// with a grown cluster rejoining the one before it.
std::vector<Group> group(const std::vector<Match>& candidates);

}  // namespace detail

}  // namespace veskal::conflict_solver
