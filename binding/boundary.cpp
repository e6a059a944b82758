#include "boundary.hpp"

#include <bit>
#include <chrono>
#include <cstdint>
#include <thread>

#ifdef __GLIBCXX__
#include <cxxabi.h>
#endif

#ifdef __linux__
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace veskal::binding {
namespace {

constexpr const char kPanicExceptionDoc[] =
    "Raised when native code called from Python fails internally.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it normally\n"
    "propagates to the top instead of being caught by a bare `except Exception`.";

// Created once under the interpreter lock and never released.
PyObject* panic_class = nullptr;

// `zero`: the float 0.0, shared by every match that scores exactly +0.0 (all exact matches):
// floats are immutable, and one allocation fewer per match counts when there are millions.
PyObject* match_to_tuple(const Match& match, PyObject* zero) {
  PyObject* return_value = nullptr;
  PyObject* item = nullptr;
  PyObject* tuple = PyTuple_New(3);
  if (tuple == nullptr) goto exit;
  item = PyLong_FromUnsignedLongLong(match.start);
  if (item == nullptr) goto exit;
  PyTuple_SET_ITEM(tuple, 0, item);  // steals item
  item = PyLong_FromUnsignedLongLong(match.end);
  if (item == nullptr) goto exit;
  PyTuple_SET_ITEM(tuple, 1, item);
  item = std::bit_cast<std::uint64_t>(match.score) == 0 ? Py_NewRef(zero)
                                                        : PyFloat_FromDouble(match.score);
  if (item == nullptr) goto exit;
  PyTuple_SET_ITEM(tuple, 2, item);
  // Only numbers: it can join no cycle, and the collector, which would untrack it on its first
  // pass, never has to visit it.
  PyObject_GC_UnTrack(tuple);
  return_value = Py_NewRef(tuple);
exit:
  Py_XDECREF(tuple);
  return return_value;
}

// The interpreter could not build the result (memory exhausted): show its error, then report a
// panic, as a half-built list must never reach the caller.
PyObject* raise_api_failure() {
  PyObject* error = PyErr_GetRaisedException();
  if (error != nullptr) {
    PyErr_DisplayException(error);
    Py_DECREF(error);
  }
  return raise_panic("Python API call failed");
}

}  // namespace

PyObject* panic_exception() {
  if (panic_class == nullptr) {
    panic_class = PyErr_NewExceptionWithDoc("veskal.PanicException", kPanicExceptionDoc,
                                            PyExc_BaseException, nullptr);
  }
  return panic_class;
}

PyObject* raise_panic(std::string_view message) noexcept {
  PyObject* cls = panic_exception();
  if (cls == nullptr) return nullptr;  // its creation failed and left that error set
  // Messages of C++ exceptions are not promised to be UTF-8.
  PyObject* text =
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (text == nullptr) return nullptr;
  PyErr_SetObject(cls, text);
  Py_DECREF(text);
  return nullptr;
}

PyObject* matches_to_list(const std::vector<Match>& matches) noexcept {
  PyObject* return_value = nullptr;
  const auto size = static_cast<Py_ssize_t>(matches.size());
  PyObject* zero = nullptr;
  Turns turns;
  PyObject* list = PyList_New(size);
  if (list == nullptr) goto exit;
  if (size > 0) {
    zero = PyFloat_FromDouble(0.0);
    if (zero == nullptr) goto exit;
  }
  for (Py_ssize_t i = 0; i < size; ++i) {
    PyObject* tuple = match_to_tuple(matches[static_cast<std::size_t>(i)], zero);
    if (tuple == nullptr) goto exit;
    PyList_SET_ITEM(list, i, tuple);  // steals tuple
    turns.after(static_cast<std::size_t>(i));
  }
  return_value = Py_NewRef(list);
exit:
  Py_XDECREF(zero);
  Py_XDECREF(list);  // also releases the tuples already stored on failure
  if (return_value == nullptr) return raise_api_failure();
  return return_value;
}

PyObject* extraction_to_list(const Extraction& extraction) noexcept {
  if (!extraction.ok()) return raise_panic(extraction.message());
  return matches_to_list(extraction.matches());
}

// A syscall, so asked once per search and only once it has run a while.
bool on_main_thread() {
#ifdef __linux__
  return syscall(SYS_gettid) == getpid();
#else
  return true;  // PyErr_CheckSignals itself does nothing on other threads
#endif
}

namespace {

[[noreturn]] void wait_for_exit() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

void take_lock(PyThreadState* state) {
#if PY_VERSION_HEX >= 0x030D0000
  const bool exiting = Py_IsFinalizing();
#else
  const bool exiting = _Py_IsFinalizing();
#endif
  if (exiting && !on_main_thread()) wait_for_exit();
#ifdef __GLIBCXX__
  // Shutdown may begin after the test above: the thread is then ended by a forced unwind, which
  // stops here for good, short of the frames that may not be unwound. A handler that never
  // returns needs no rethrow.
  try {
    PyEval_RestoreThread(state);
  } catch (abi::__forced_unwind&) {
    wait_for_exit();
  }
#else
  PyEval_RestoreThread(state);
#endif
}

}  // namespace veskal::binding
