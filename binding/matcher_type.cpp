#include "matcher_type.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binder.hpp"
#include "boundary.hpp"
#include "cancel.hpp"
#include "matcher.hpp"

namespace veskal::binding {
namespace {

// What the constructor was given, kept so that a Matcher pickles as a call that rebuilds it.
struct Arguments {
  std::vector<std::string> patterns;
  matcher::Options options;
};

struct MatcherObject {
  PyObject_HEAD matcher::Matcher* matcher;  // owned
  Arguments* arguments;                     // owned
};

MatcherObject* as_matcher(PyObject* self) {
  return reinterpret_cast<MatcherObject*>(self);
}

// The interpreter lock released for the scope's native work, taken back on every path out.
class Unlocked {
 public:
  Unlocked() : state_(PyEval_SaveThread()) {}
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;
  ~Unlocked() { take_lock(state_); }

  // A cancellation check for the core: takes the lock briefly to run pending signal handlers;
  // true when one raised, its exception then set for the caller. Signal handlers run only on the
  // main thread of the main interpreter: elsewhere the check would take the lock for nothing,
  // and a busy interpreter can hold it a whole switch interval.
  cancel::Check signals() {
    if (PyThreadState_GetInterpreter(state_) != PyInterpreterState_Main()) return {};
    return {[this, main_thread = -1]() mutable {
      if (main_thread < 0) main_thread = on_main_thread() ? 1 : 0;
      if (main_thread == 0) return false;
      take_lock(state_);
      const bool raised = PyErr_CheckSignals() < 0;
      state_ = PyEval_SaveThread();
      return raised;
    }};
  }

  // body() with the lock held, on the thread that released it.
  template <class Body>
  auto locked(Body&& body) {
    take_lock(state_);
    const struct Release {
      PyThreadState*& state;
      ~Release() { state = PyEval_SaveThread(); }
    } release{state_};
    return body();
  }

 private:
  PyThreadState* state_;
};

// Sets `out` to the items of `object`, an iterable of str but not a str itself. False with
// TypeError naming `name` (or the interpreter's own error) set.
bool string_items(PyObject* object, const char* name, std::vector<std::string>& out) {
  if (PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be an iterable of str, not a single str", name);
    return false;
  }
  Ref iterator{PyObject_GetIter(object)};
  if (!iterator) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Format(PyExc_TypeError, "%s must be an iterable of str, not %.200s", name,
                   Py_TYPE(object)->tp_name);
    }
    return false;
  }
  for (Py_ssize_t i = 0;; ++i) {
    Ref item{PyIter_Next(iterator.get())};
    if (!item) break;
    if (!PyUnicode_Check(item.get())) {
      PyErr_Format(PyExc_TypeError, "%s[%zd] must be str, not %.200s", name, i,
                   Py_TYPE(item.get())->tp_name);
      return false;
    }
    if (!str_to_utf8(item.get(), out.emplace_back())) return false;
  }
  return !PyErr_Occurred();  // the iteration itself may have failed
}

// Sets `out` to `object`'s UTF-8 unless it is None. False with TypeError naming `name` set.
bool optional_string(PyObject* object, const char* name, std::optional<std::string>& out) {
  if (object == Py_None) return true;
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be str or None, not %.200s", name,
                 Py_TYPE(object)->tp_name);
    return false;
  }
  return str_to_utf8(object, out.emplace());
}

// An integer in [low, high]: TypeError for a non-integer, ValueError out of range.
bool bounded_int(PyObject* object, const char* name, long low, long high, long& out) {
  if (!PyIndex_Check(object) || PyBool_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s must be int, not %.200s", name, Py_TYPE(object)->tp_name);
    return false;
  }
  int overflow = 0;
  Ref index{PyNumber_Index(object)};
  if (!index) return false;
  out = PyLong_AsLongAndOverflow(index.get(), &overflow);
  if (out == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || out < low || out > high) {
    if (high == std::numeric_limits<long>::max()) {
      PyErr_Format(PyExc_ValueError, "%s must be at least %ld", name, low);
    } else {
      PyErr_Format(PyExc_ValueError, "%s must be in %ld..%ld", name, low, high);
    }
    return false;
  }
  return true;
}

// ---- construction ---------------------------------------------------------------------------

PyObject* matcher_new_impl(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {
      "patterns", "tokenizer_pattern", "case_insensitive", "special_char_insensitive",
      "metric",   "threshold",         "threshold_kind",   "strategies",
      nullptr};
  // Borrowed from the caller's arguments.
  PyObject* patterns = nullptr;
  PyObject* tokenizer_pattern = Py_None;
  int case_insensitive = 0;
  int special_char_insensitive = 0;
  PyObject* metric = Py_None;
  PyObject* threshold = nullptr;
  PyObject* threshold_kind = nullptr;
  PyObject* strategies = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OppOOOO:Matcher", const_cast<char**>(keywords),
                                   &patterns, &tokenizer_pattern, &case_insensitive,
                                   &special_char_insensitive, &metric, &threshold, &threshold_kind,
                                   &strategies)) {
    return nullptr;
  }
  auto arguments = std::make_unique<Arguments>();
  matcher::Options& options = arguments->options;
  if (!string_items(patterns, "patterns", arguments->patterns)) return nullptr;
  if (!optional_string(tokenizer_pattern, "tokenizer_pattern", options.tokenizer_pattern)) {
    return nullptr;
  }
  options.case_insensitive = case_insensitive != 0;
  options.special_char_insensitive = special_char_insensitive != 0;
  if (!optional_string(metric, "metric", options.metric)) return nullptr;
  if (threshold != nullptr) {
    options.threshold = PyFloat_AsDouble(threshold);
    if (options.threshold == -1.0 && PyErr_Occurred()) {
      if (PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Format(PyExc_TypeError, "threshold must be a real number, not %.200s",
                     Py_TYPE(threshold)->tp_name);
      }
      return nullptr;
    }
  }
  long kind = 0;
  if (threshold_kind != nullptr && !bounded_int(threshold_kind, "threshold_kind", 0, 255, kind)) {
    return nullptr;
  }
  options.threshold_kind = static_cast<std::uint8_t>(kind);
  if (strategies != nullptr && !string_items(strategies, "strategies", options.strategies)) {
    return nullptr;
  }

  matcher::Error error{};
  std::unique_ptr<matcher::Matcher> compiled =
      matcher::Matcher::compile(arguments->patterns, options, error);
  if (!compiled) {
    switch (error.code) {
      case matcher::Error::Code::unknown_metric:
        PyErr_Format(PyExc_ValueError,
                     "metric must be one of 'levenshtein', 'damerau_levenshtein', 'osa', "
                     "'hamming', 'indel', 'lcs_seq', 'prefix', 'postfix', 'jaro', "
                     "'jaro_winkler', not %R",
                     metric);
        break;
      case matcher::Error::Code::empty_token:
        PyErr_Format(PyExc_ValueError,
                     "patterns[%zu] is empty and so is tokenizer_pattern: it holds no token",
                     error.pattern);
        break;
    }
    return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (self == nullptr) return nullptr;
  as_matcher(self)->matcher = compiled.release();
  as_matcher(self)->arguments = arguments.release();
  return self;
}

PyObject* matcher_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_guarded([&] { return matcher_new_impl(type, args, kwargs); });
}

void matcher_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete as_matcher(self)->matcher;
  delete as_matcher(self)->arguments;
  type->tp_free(self);
  Py_DECREF(type);  // instances of a heap type own a reference to it
}

// ---- searches -------------------------------------------------------------------------------

// A new (pattern_index, start, end, score) tuple, or null with the exception set. `zero`: the
// float 0.0, shared by every hit that scores exactly +0.0 (all exact ones).
PyObject* hit_to_tuple(const matcher::Hit& h, PyObject* zero) {
  Ref tuple{PyTuple_New(4)};
  if (!tuple) return nullptr;
  PyObject* const items[] = {
      PyLong_FromSsize_t(static_cast<Py_ssize_t>(h.pattern)), PyLong_FromUnsignedLongLong(h.start),
      PyLong_FromUnsignedLongLong(h.end),
      std::bit_cast<std::uint64_t>(h.score) == 0 ? Py_NewRef(zero) : PyFloat_FromDouble(h.score)};
  // The tuple steals every item; a null slot is released as nothing.
  for (Py_ssize_t i = 0; i < 4; ++i) PyTuple_SET_ITEM(tuple.get(), i, items[i]);
  for (PyObject* item : items) {
    if (item == nullptr) return nullptr;
  }
  // Only numbers: it can join no cycle, and the collector, which would untrack it on its first
  // pass, never has to visit it.
  PyObject_GC_UnTrack(tuple.get());
  return tuple.release();
}

// A new list of (pattern_index, start, end, score) tuples, or null with the exception set.
PyObject* hits_to_list(const std::vector<matcher::Hit>& hits) {
  Ref list{PyList_New(static_cast<Py_ssize_t>(hits.size()))};
  if (!list) return nullptr;
  Ref zero{PyFloat_FromDouble(0.0)};
  if (!zero) return nullptr;
  Turns turns;
  for (std::size_t i = 0; i < hits.size(); ++i) {
    PyObject* tuple = hit_to_tuple(hits[i], zero.get());
    if (tuple == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);  // steals tuple
    turns.after(i);
  }
  return list.release();
}

PyObject* matcher_find_impl(PyObject* self, PyObject* s) {
  if (!PyUnicode_Check(s)) {
    PyErr_Format(PyExc_TypeError, "find() argument must be str, not %.200s", Py_TYPE(s)->tp_name);
    return nullptr;
  }
  // The text may view the str's own bytes: the caller holds it, and a str never changes. The
  // search checks it for lone surrogates, without the lock, as it reads it.
  std::optional<Text> text = str_to_text(s, false);
  if (!text) return nullptr;
  const matcher::Matcher& m = *as_matcher(self)->matcher;
  std::optional<std::vector<matcher::Hit>> hits;
  bool surrogate = false;
  {
    Unlocked unlocked;
    hits = m.find(text->view(), unlocked.signals(), &surrogate);
  }
  if (surrogate) {
    text->raise_surrogate();
    return nullptr;
  }
  if (!hits) return nullptr;  // a signal handler raised
  return hits_to_list(*hits);
}

PyObject* matcher_find(PyObject* self, PyObject* s) {
  return call_guarded([&] { return matcher_find_impl(self, s); });
}

PyObject* matcher_find_all_impl(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"texts", "threads", nullptr};
  PyObject* texts = nullptr;  // borrowed
  PyObject* threads_arg = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:find_all", const_cast<char**>(keywords),
                                   &texts, &threads_arg)) {
    return nullptr;
  }
  long threads = 0;  // one per processor
  if (threads_arg != Py_None &&
      !bounded_int(threads_arg, "threads", 1, std::numeric_limits<long>::max(), threads)) {
    return nullptr;
  }
  if (PyUnicode_Check(texts)) {
    PyErr_SetString(PyExc_TypeError, "texts must be an iterable of str, not a single str");
    return nullptr;
  }
  Ref iterator{PyObject_GetIter(texts)};
  if (!iterator) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Format(PyExc_TypeError, "texts must be an iterable of str, not %.200s",
                   Py_TYPE(texts)->tp_name);
    }
    return nullptr;
  }
  // Every text is converted before the search starts. Lent texts view their str, so each str is
  // held here until the end: an iterator may hand out strs that nothing else keeps. They are
  // checked for lone surrogates by the threads that search them, not here on one thread; the
  // first that holds one raises, as it would have when read, even when a later item fails.
  std::vector<Ref> held;
  std::vector<Text> converted;
  const auto raise_first_surrogate = [&] {
    for (const Text& text : converted) {
      if (text.has_surrogate()) {
        PyErr_Clear();
        return !text.raise_surrogate();
      }
    }
    return false;
  };
  for (Py_ssize_t i = 0;; ++i) {
    Ref item{PyIter_Next(iterator.get())};
    if (!item) break;
    if (!PyUnicode_Check(item.get())) {
      if (raise_first_surrogate()) return nullptr;
      PyErr_Format(PyExc_TypeError, "texts[%zd] must be str, not %.200s", i,
                   Py_TYPE(item.get())->tp_name);
      return nullptr;
    }
    std::optional<Text> text = str_to_text(item.get(), false);
    if (!text) return nullptr;
    converted.push_back(std::move(*text));
    held.push_back(std::move(item));
  }
  if (PyErr_Occurred()) {
    raise_first_surrogate();
    return nullptr;
  }
  std::vector<text::TextView> views;
  views.reserve(converted.size());
  for (const Text& text : converted) views.push_back(text.view());

  // Its slots stay empty until filled, and it is reachable by no one else meanwhile.
  Ref list{PyList_New(static_cast<Py_ssize_t>(views.size()))};
  if (!list) return nullptr;
  const matcher::Matcher& m = *as_matcher(self)->matcher;
  bool whole = false;
  bool surrogate = false;
  {
    Unlocked unlocked;
    // Each text's list is built as soon as its hits are found, while other threads search on.
    whole = m.find_each(
        views, static_cast<unsigned>(std::min<long>(threads, 1 << 16)), unlocked.signals(),
        [&](std::size_t i, std::vector<matcher::Hit>* hits) {
          if (hits == nullptr) {
            surrogate = true;
            return false;
          }
          return unlocked.locked([&] {
            PyObject* items = hits_to_list(*hits);
            if (items == nullptr) return false;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), items);  // steals items
            return true;
          });
        },
        true);
  }
  // A lone surrogate outranks a signal that came meanwhile, as it would have been refused first.
  if (surrogate && raise_first_surrogate()) return nullptr;
  if (!whole) return nullptr;  // a signal handler raised, or a list could not be built
  return list.release();
}

PyObject* matcher_find_all(PyObject* self, PyObject* args, PyObject* kwargs) {
  return call_guarded([&] { return matcher_find_all_impl(self, args, kwargs); });
}

// ---- pickling -------------------------------------------------------------------------------

PyObject* string_or_none(const std::optional<std::string>& s) {
  if (!s) return Py_NewRef(Py_None);
  return PyUnicode_DecodeUTF8(s->data(), static_cast<Py_ssize_t>(s->size()), nullptr);
}

PyObject* string_list(const std::vector<std::string>& items) {
  Ref list{PyList_New(static_cast<Py_ssize_t>(items.size()))};
  if (!list) return nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyObject* item =
        PyUnicode_DecodeUTF8(items[i].data(), static_cast<Py_ssize_t>(items[i].size()), nullptr);
    if (item == nullptr) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

// copyreg.__newobj_ex__(type, (patterns,), keywords): the constructor called again, so that a
// Matcher ships as its arguments and compiles where it lands.
PyObject* matcher_reduce_impl(PyObject* self) {
  const Arguments& a = *as_matcher(self)->arguments;
  const matcher::Options& o = a.options;
  Ref copyreg{PyImport_ImportModule("copyreg")};
  if (!copyreg) return nullptr;
  Ref newobj{PyObject_GetAttrString(copyreg.get(), "__newobj_ex__")};
  if (!newobj) return nullptr;
  Ref patterns{string_list(a.patterns)};
  if (!patterns) return nullptr;
  Ref tokenizer{string_or_none(o.tokenizer_pattern)};
  if (!tokenizer) return nullptr;
  Ref metric{string_or_none(o.metric)};
  if (!metric) return nullptr;
  Ref strategies{string_list(o.strategies)};
  if (!strategies) return nullptr;
  Ref keywords{Py_BuildValue("{sOsOsOsOsdsisO}", "tokenizer_pattern", tokenizer.get(),
                             "case_insensitive", o.case_insensitive ? Py_True : Py_False,
                             "special_char_insensitive",
                             o.special_char_insensitive ? Py_True : Py_False, "metric",
                             metric.get(), "threshold", o.threshold, "threshold_kind",
                             static_cast<int>(o.threshold_kind), "strategies", strategies.get())};
  if (!keywords) return nullptr;
  return Py_BuildValue("(O(O(O)O))", newobj.get(), reinterpret_cast<PyObject*>(Py_TYPE(self)),
                       patterns.get(), keywords.get());
}

PyObject* matcher_reduce(PyObject* self, PyObject* /*unused*/) {
  return call_guarded([&] { return matcher_reduce_impl(self); });
}

// ---- the type -------------------------------------------------------------------------------

using KeywordsFunction = PyObject* (*)(PyObject*, PyObject*, PyObject*);

// PyMethodDef stores every calling convention as PyCFunction; the detour through void(*)() is
// the sanctioned way to say the cast is intended.
PyCFunction as_method(KeywordsFunction function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef matcher_methods[] = {
    {"find", matcher_find, METH_O,
     "find($self, s, /)\n--\n\n"
     "Every match of every pattern in s, as a list of (pattern_index, start, end, score)\n"
     "tuples sorted by start, then pattern_index, then end. Each pattern's matches are those\n"
     "of the function its options select, called with that pattern and those options.\n"
     "Runs without the interpreter lock; Ctrl-C stops it."},
    {"find_all", as_method(matcher_find_all), METH_VARARGS | METH_KEYWORDS,
     "find_all($self, /, texts, threads=None)\n--\n\n"
     "find() for every str of the iterable texts, on up to `threads` native threads, the\n"
     "calling one among them (by default one per processor): one list per text, in the order\n"
     "of texts. Every text is read before the search starts."},
    {"__reduce__", matcher_reduce, METH_NOARGS,
     "Pickles the matcher as a call of the constructor with the same arguments."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kMatcherDoc[] =
    "Matcher(patterns, *, tokenizer_pattern=None, case_insensitive=False, "
    "special_char_insensitive=False, metric=None, threshold=0.0, threshold_kind=0, "
    "strategies=())\n--\n\n"
    "Many patterns compiled once, searched for together by find() and find_all().\n\n"
    "tokenizer_pattern selects runs of tokens (the token functions) instead of windows of\n"
    "characters, metric selects fuzzy matching instead of equality; threshold and\n"
    "threshold_kind apply with a metric only, strategies to every mode but exact tokens. The\n"
    "other arguments mean what they mean to the four functions. Raises ValueError for an\n"
    "unknown metric, or for an empty pattern with an empty tokenizer_pattern.";

PyType_Slot matcher_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(matcher_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(matcher_dealloc)},
    {Py_tp_methods, matcher_methods},
    {Py_tp_doc, const_cast<char*>(kMatcherDoc)},
    {0, nullptr},
};

// Holds no Python object, so it takes no part in garbage collection; immutable, so no search
// can see its compiled state change.
PyType_Spec matcher_spec = {
    "veskal.Matcher", sizeof(MatcherObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    matcher_slots,
};

}  // namespace

int add_matcher_type(PyObject* module) {
  Ref type{PyType_FromModuleAndSpec(module, &matcher_spec, nullptr)};
  if (!type) return -1;
  return PyModule_AddObjectRef(module, "Matcher", type.get());
}

}  // namespace veskal::binding
