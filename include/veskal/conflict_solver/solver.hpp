#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../match.hpp"
#include "../text.hpp"

namespace veskal::conflict_solver {

// One match per cluster of neighbouring candidates whose spans overlap or touch, chosen by the
// strategy names in order ("best_match", "shortest", "longest", "minimum_isolated_character";
// any other name picks the first remaining candidate). Candidates are expected in ascending
// start order; they are not sorted. Never fails.
std::vector<Match> solver(text::TextView text, std::vector<Match> candidates,
                          const std::vector<std::string>& strategies);

// Whether resolving by `strategies` may read the text the solver is given: an engine that
// normalises the text a stretch at a time can hand it the caller's text only when not.
bool reads_text(const std::vector<std::string>& strategies);

// Resolves candidates handed over one at a time, exactly as `solver` resolves the same list,
// for engines that produce candidates in ascending start order with start <= end. Each cluster
// is decided while it grows, so memory does not grow with the number of candidates in it.
class StreamingSolver {
 public:
  // `text` and `strategies` must outlive the solver.
  StreamingSolver(text::TextView text, const std::vector<std::string>& strategies);
  StreamingSolver(StreamingSolver&&) noexcept;
  StreamingSolver& operator=(StreamingSolver&&) noexcept;
  ~StreamingSolver();

  // Takes the next candidate; its start is not below any earlier candidate's start.
  void add(const Match& candidate);

  // Where further candidates at `start` stop counting, when the first member of a cluster wins
  // it whatever joins: the end of the open cluster that `start` joins. A candidate ending there
  // or before changes nothing, and of those at `start` ending later only the last one does.
  // Nothing when every candidate counts.
  std::optional<std::uint64_t> settled_through(std::uint64_t start) const;

  // One match per cluster of the candidates added, in order.
  std::vector<Match> finish();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

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
