#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "conflict_solver/solver.hpp"
#include "match.hpp"

namespace veskal::fuzzy_candidates {

// Collects candidates in ascending start order and hands each cluster to the solver as soon as
// it closes, so that only the open cluster is held. With ascending starts a candidate that
// starts past the hull's end can never join an earlier cluster, and the solver resolves every
// cluster by itself, so the result equals one solver call on the whole list.
class ClusterSink {
 public:
  ClusterSink(std::string_view text, const std::vector<std::string>& strategies)
      : text_(text), strategies_(strategies) {}

  void add(const Match& m) {
    if (!open_.empty() && m.start > hull_end_) flush();
    hull_end_ = open_.empty() ? m.end : std::max(hull_end_, m.end);
    open_.push_back(m);
  }

  // The solver's result over every candidate added.
  std::vector<Match> finish() {
    flush();
    return std::move(result_);
  }

 private:
  void flush() {
    if (open_.empty()) return;
    std::vector<Match> chosen = conflict_solver::solver(text_, std::move(open_), strategies_);
    open_.clear();
    result_.insert(result_.end(), chosen.begin(), chosen.end());
  }

  std::string_view text_;
  const std::vector<std::string>& strategies_;
  std::vector<Match> open_;
  std::uint64_t hull_end_ = 0;
  std::vector<Match> result_;
};

}  // namespace veskal::fuzzy_candidates
