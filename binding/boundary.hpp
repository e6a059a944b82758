#pragma once

#include "python.hpp"

#include <exception>
#include <string_view>
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

// The matches as a list, or PanicException carrying the engine's failure message.
PyObject* extraction_to_list(const Extraction& extraction) noexcept;

// True on the process's main thread: only there do signal handlers run, so elsewhere a check
// would take the lock from other threads for nothing.
bool on_main_thread();

// A thread other than the one shutting the interpreter down is ended (pthread_exit) when it asks
// for the lock then, and that cannot unwind through C++ frames: it would abort the process. Such
// a thread waits for the process to end instead, as CPython's own threads do from 3.14 on. Call
// before taking the lock back.
void wait_if_interpreter_exiting();

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
