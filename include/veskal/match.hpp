#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veskal {

// One match: character positions in the normalised text (end exclusive) and a distance.
struct Match {
  std::uint64_t start;
  std::uint64_t end;
  double score;

  friend bool operator==(const Match&, const Match&) = default;
};

// What an engine returns: its matches, or the message of the fatal check that stopped it, or
// word that the caller's cancellation check stopped it. A failed or cancelled extraction carries
// no matches, so no partial result can leak out.
class Extraction {
 public:
  Extraction(std::vector<Match> matches) : matches_(std::move(matches)) {}  // NOLINT: implicit

  // An extraction stopped by an internal check; `message` is what the caller is shown.
  static Extraction failure(std::string message) {
    Extraction e{{}};
    e.failure_ = std::move(message);
    return e;
  }

  // An extraction stopped by the caller's cancellation check.
  static Extraction cancelled() {
    Extraction e = failure("search cancelled");
    e.cancelled_ = true;
    return e;
  }

  bool ok() const { return !failure_.has_value(); }
  bool was_cancelled() const { return cancelled_; }
  // The failure message; only meaningful when !ok().
  const std::string& message() const { return *failure_; }
  // The matches; empty when !ok().
  std::vector<Match>& matches() { return matches_; }
  const std::vector<Match>& matches() const { return matches_; }

 private:
  std::vector<Match> matches_;
  std::optional<std::string> failure_;
  bool cancelled_ = false;
};

}  // namespace veskal
