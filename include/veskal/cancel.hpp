#pragma once

// Stopping a search from outside. The caller hands an extraction a check; the engines count their
// work with poll(), and every so often poll() asks the check. A check that answers true unwinds
// the search with Cancelled, which the engine's extract turns into Extraction::cancelled(), so
// that everything is freed on the way out and no partial result escapes.

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>

#include "match.hpp"

namespace veskal::cancel {

// Asked on the extraction's own thread: first once the search has run for `first` (a search
// shorter than that is never interrupted, and its caller is spared whatever the check costs),
// then about once per `interval` of its work. True stops the extraction. An empty `stop` never
// stops it and costs nothing. `stop` should not throw: what it throws passes out of the
// extraction unchanged.
struct Check {
  std::function<bool()> stop;
  std::chrono::nanoseconds interval = std::chrono::milliseconds(10);
  std::chrono::nanoseconds first = std::chrono::milliseconds(1);
};

// What poll() throws once the check has asked to stop.
class Cancelled final : public std::exception {
 public:
  const char* what() const noexcept override;
};

namespace detail {

// Units poll() may still count before it next looks at the clock. Plain TLS: no wrapper call.
extern __thread std::int64_t units_left;

// Looks at the clock, asks the check when due, and sets the next budget.
[[gnu::cold]] void lap();

}  // namespace detail

// Counts `units` of work: about a character, a window or a token of cheap work each. The rate
// is learnt from the clock as the search runs, so the weights need only be rough.
inline void poll(std::uint64_t units = 1) {
  detail::units_left -= static_cast<std::int64_t>(units);
  if (detail::units_left < 0) [[unlikely]]
    detail::lap();
}

// poll() for loops whose steps are a few dozen instructions: units are gathered locally (in a
// register, as a rule) and handed on in batches, since reaching the thread's counter costs more
// than counting. Used on the thread that made it.
class Meter {
 public:
  void poll(std::uint64_t units = 1) {
    pending_ += units;
    if (pending_ >= kBatch) [[unlikely]] {
      cancel::poll(pending_);
      pending_ = 0;
    }
  }

 private:
  static constexpr std::uint64_t kBatch = 64;
  std::uint64_t pending_ = 0;
};

// Makes `check` the one poll() consults on this thread for the scope's life; the check must
// outlive it. The enclosing scope's check comes back on exit.
class Scope {
 public:
  explicit Scope(const Check& check) noexcept;
  ~Scope();
  Scope(const Scope&) = delete;
  Scope& operator=(const Scope&) = delete;

  struct State {
    const Check* check = nullptr;
    std::int64_t budget = 0;  // units between two looks at the clock
    std::int64_t units_left = 0;
    std::chrono::steady_clock::time_point started;  // when the check has a `first` to wait
    std::chrono::steady_clock::time_point lap_start;
    std::chrono::steady_clock::time_point last_asked;
  };

 private:
  State saved_;
};

// `body()` under `check`: its extraction, or Extraction::cancelled() once the check said stop.
template <class Body>
Extraction run(const Check& check, Body&& body) {
  const Scope scope(check);
  try {
    return body();
  } catch (const Cancelled&) {
    return Extraction::cancelled();
  }
}

}  // namespace veskal::cancel
