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

// Asked on the extraction's own thread, about once per `interval` of its work; true stops the
// extraction. An empty `stop` never stops it and costs nothing. `stop` should not throw: what it
// throws passes out of the extraction unchanged.
struct Check {
  std::function<bool()> stop;
  std::chrono::nanoseconds interval = std::chrono::milliseconds(10);
};

// What poll() throws once the check has asked to stop.
class Cancelled final : public std::exception {
 public:
  const char* what() const noexcept override;
};

namespace detail {

// Units poll() may still count before it next looks at the clock. Plain TLS: no wrapper call.
extern __thread std::int64_t units_left;

// Looks at the clock, asks the check when its interval has passed, and sets the next budget.
[[gnu::cold]] void lap();

}  // namespace detail

// Counts `units` of work: about a character, a window or a token of cheap work each. The rate
// is learnt from the clock as the search runs, so the weights need only be rough.
inline void poll(std::uint64_t units = 1) {
  detail::units_left -= static_cast<std::int64_t>(units);
  if (detail::units_left < 0) [[unlikely]]
    detail::lap();
}

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
