#pragma once

#include "python.hpp"

#include <chrono>
#include <cstddef>
#include <exception>
#include <string_view>
#include <thread>
#include <vector>

#include "match.hpp"

namespace veskal::binding {

// The class raised for internal failures; derives from BaseException so that `except Exception`
// does not swallow it. Created on first use; null with an exception set if that fails.
PyObject* panic_exception();

// Sets PanicException(message) (or, if the class cannot be created, that failure) and returns
// null.
PyObject* raise_panic(std::string_view message) noexcept;

// A new list of (start, end, score) tuples, or null with PanicException set: the result is whole
// or absent.
PyObject* matches_to_list(const std::vector<Match>& matches) noexcept;

// Takes the interpreter lock back, given up as `state`. A thread other than the one shutting the
// interpreter down is ended (pthread_exit) when it asks for the lock then, and that cannot unwind
// through C++ frames: it would abort the process. Such a thread waits for the process to end
// instead, as CPython's own threads do from 3.14 on.
void take_lock(PyThreadState* state);

// Hands the interpreter lock to waiting threads during a long conversion, which would
// otherwise hold it for tens of milliseconds on a million matches. A bare release and re-take
// wins the lock back before a waiter wakes, and resets the wait after which it would insist; so
// each turn pauses long enough for a waiter to wake and take the lock, and turns are rare enough
// that the pauses cost under 2 % when nobody waits. The list being filled is reachable by no one
// else, so its empty slots are safe meanwhile.
class Turns {
 public:
  void after(std::size_t item) {
    if (item % 1024 != 1023) return;
    // Timed from the first thousand items on: a short list never reads the clock.
    const auto now = std::chrono::steady_clock::now();
    if (last_ == std::chrono::steady_clock::time_point{}) last_ = now;
    if (now - last_ < kSpacing) return;
    PyThreadState* const state = PyEval_SaveThread();
    std::this_thread::sleep_for(kPause);
    take_lock(state);
    last_ = std::chrono::steady_clock::now();
  }

 private:
  static constexpr std::chrono::milliseconds kSpacing{4};
  static constexpr std::chrono::microseconds kPause{50};
  std::chrono::steady_clock::time_point last_;
};

// The matches as a list, or PanicException carrying the engine's failure message.
PyObject* extraction_to_list(const Extraction& extraction) noexcept;

// True on the process's main thread: only there do signal handlers run, so elsewhere a check
// would take the lock from other threads for nothing.
bool on_main_thread();

// Runs `body`, turning any C++ exception into PanicException so none unwinds into the
// interpreter.
template <typename Body>
PyObject* call_guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    return raise_panic(e.what());
  } catch (...) {
    return raise_panic("unknown internal failure");
  }
}

}  // namespace veskal::binding
