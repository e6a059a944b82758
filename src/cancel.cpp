#include "cancel.hpp"

#include <algorithm>
#include <limits>

namespace veskal::cancel {

namespace {

using Clock = std::chrono::steady_clock;

// Without a check poll() should never come here again.
constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
// Small enough that the first ask comes close to its time, large enough that a short search
// never laps.
constexpr std::int64_t kFirstBudget = 1024;
constexpr std::int64_t kMaxBudget = std::int64_t{1} << 40;

thread_local Scope::State current;

}  // namespace

const char* Cancelled::what() const noexcept {
  return "search cancelled";
}

namespace detail {

__thread std::int64_t units_left = 0;

// Laps are kept near an eighth of the interval, so the check comes at most that late, while the
// clock is read only once per lap however fine the units.
void lap() {
  Scope::State& s = current;
  if (s.check == nullptr) {
    units_left = kNever;
    return;
  }
  const Clock::time_point now = Clock::now();
  const bool first = s.lap_start == Clock::time_point{};
  if (!first) {
    // Scaled toward the target at once when laps run long (the work grew costlier), but at most
    // doubled when they run short, so that a burst of cheap units cannot overshoot far.
    const double target = std::chrono::duration<double>(s.check->interval).count() / 8;
    const double elapsed = std::chrono::duration<double>(now - s.lap_start).count();
    const double scaled =
        elapsed > 0 ? static_cast<double>(s.budget) * target / elapsed : kMaxBudget;
    s.budget =
        std::clamp<std::int64_t>(static_cast<std::int64_t>(std::min<double>(scaled, kMaxBudget)), 1,
                                 std::min(2 * s.budget, kMaxBudget));
  }
  s.lap_start = now;
  const bool asked = s.last_asked != Clock::time_point{};
  if (asked ? now - s.last_asked >= s.check->interval : now - s.started >= s.check->first) {
    const bool stop = s.check->stop();
    // Time spent in the check (waiting for a lock, say) is not the engine's work.
    s.lap_start = s.last_asked = Clock::now();
    if (stop) throw Cancelled();
  }
  units_left = s.budget;
}

}  // namespace detail

Scope::Scope(const Check& check) noexcept : saved_(current) {
  saved_.units_left = detail::units_left;
  current = State{};
  if (check.stop) {
    current.check = &check;
    if (check.first > Clock::duration::zero()) current.started = Clock::now();
    current.budget = kFirstBudget;
    detail::units_left = kFirstBudget;
  } else {
    detail::units_left = kNever;
  }
}

Scope::~Scope() {
  current = saved_;
  detail::units_left = saved_.units_left;
}

}  // namespace veskal::cancel
