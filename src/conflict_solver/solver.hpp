#pragma once

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

}  // namespace veskal::conflict_solver
