#include "workers.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>

namespace veskal::workers {

namespace {

// Long enough to span the gaps between the calls of a batch, short enough that a process done
// with searching soon holds no idle threads.
std::atomic<std::int64_t> idle_ms{10'000};

}  // namespace

unsigned processors() {
  // Asked once: the system reads the count anew on each asking.
  static const unsigned count = std::max(1u, std::thread::hardware_concurrency());
  return count;
}

unsigned most_threads() {
  return std::max(64u, 4 * processors());
}

namespace detail {
void set_idle_time(std::chrono::milliseconds idle) {
  idle_ms = idle.count();
}
}  // namespace detail

class Pool {
 public:
  // This process's pool. A child forked from a process with a pool starts one of its own: none
  // of the parent's threads came with it, and the parent's lock may have been held as it forked.
  static Pool& get() {
    // Never destroyed (nor the one a fork leaves behind): idle threads may still wait on it
    // while the process exits.
    static std::atomic<Pool*> current{nullptr};
    Pool* pool = current.load(std::memory_order_acquire);
    while (pool == nullptr || pool->pid_ != getpid()) {
      auto* fresh = new Pool;
      if (current.compare_exchange_strong(pool, fresh, std::memory_order_acq_rel)) return *fresh;
      delete fresh;  // another thread installed one first: `pool` now holds it
    }
    return *pool;
  }

  void post(Crew& crew, unsigned helpers) {
    unsigned start = 0;
    {
      const std::lock_guard lock(mutex_);
      crews_.push_back(&crew);
      crew.places_ = helpers;
      places_ += helpers;
      // Enough threads for every open place to be taken at once.
      const std::size_t most = most_threads();
      if (places_ > free_ && threads_ < most) {
        start = static_cast<unsigned>(std::min(places_ - free_, most - threads_));
      }
      threads_ += start;
      free_ += start;
    }
    work_.notify_all();
    for (unsigned i = 0; i < start; ++i) {
      try {
        std::thread([this] { serve(); }).detach();
      } catch (const std::exception&) {
        // The crew's owner does the work of the threads that could not start.
        const std::lock_guard lock(mutex_);
        threads_ -= start - i;
        free_ -= start - i;
        return;
      }
    }
  }

  void withdraw(Crew& crew) {
    std::unique_lock lock(mutex_);
    if (crew.places_ > 0) {
      places_ -= crew.places_;
      crew.places_ = 0;
      crews_.erase(std::find(crews_.begin(), crews_.end(), &crew));
    }
    crew.finished_.wait(lock, [&] { return crew.running_ == 0; });
  }

 private:
  void serve() {
    std::unique_lock lock(mutex_);
    for (;;) {
      if (!work_.wait_for(lock, std::chrono::milliseconds(idle_ms.load()),
                          [&] { return !crews_.empty(); })) {
        --threads_;
        --free_;
        return;
      }
      Crew& crew = *crews_.front();
      if (--crew.places_ == 0) crews_.pop_front();
      --places_;
      --free_;
      ++crew.running_;
      lock.unlock();
      crew.task_();
      lock.lock();
      ++free_;
      // Under the lock: the crew may go as soon as its owner takes the lock after this.
      if (--crew.running_ == 0) crew.finished_.notify_all();
    }
  }

  const pid_t pid_ = getpid();
  std::mutex mutex_;
  std::condition_variable work_;
  // Guarded by mutex_.
  std::deque<Crew*> crews_;  // with places left, oldest first
  std::size_t places_ = 0;   // left in crews_
  std::size_t threads_ = 0;  // alive
  std::size_t free_ = 0;     // alive and in no task
};

Crew::Crew(unsigned helpers, std::function<void()> task) : task_(std::move(task)) {
  if (helpers == 0) return;
  Pool& pool = Pool::get();
  pool.post(*this, helpers);
  pool_ = &pool;
}

Crew::~Crew() {
  if (pool_ != nullptr) pool_->withdraw(*this);
}

}  // namespace veskal::workers
