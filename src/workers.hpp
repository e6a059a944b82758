#pragma once

// Threads kept from one call to the next. Starting a thread costs some tens of microseconds,
// which a search of a few short texts does not repay: the threads a call borrows wait for the
// next call once it returns, and leave after some time without work.

#include <chrono>
#include <condition_variable>
#include <functional>

namespace veskal::workers {

class Pool;

// The processors the system offers, at least 1; read from the system once.
unsigned processors();

// The most threads a call should ask for: more only add contention, and may not be there to
// start.
unsigned most_threads();

// Lends up to `helpers` pooled threads, started as needed, to run `task` once each while the
// crew lives. The owner's thread must share the work, as a helper may come late or never.
// `task` must not throw. The destructor withdraws the places no thread has taken yet and waits
// for the helpers still running the task: whatever the task reads must outlive the crew.
class Crew {
 public:
  Crew(unsigned helpers, std::function<void()> task);
  ~Crew();
  Crew(const Crew&) = delete;
  Crew& operator=(const Crew&) = delete;

 private:
  friend class Pool;
  std::function<void()> task_;
  Pool* pool_ = nullptr;  // where the places were posted
  // Guarded by the pool's lock.
  unsigned places_ = 0;   // not taken yet
  unsigned running_ = 0;  // helpers in the task
  std::condition_variable finished_;
};

namespace detail {
// How long a pooled thread waits for work before it leaves (for tests).
void set_idle_time(std::chrono::milliseconds idle);
}  // namespace detail

}  // namespace veskal::workers
