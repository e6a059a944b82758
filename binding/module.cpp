#include "python.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "binder.hpp"
#include "boundary.hpp"
#include "cancel.hpp"
#include "exact_raw_extract.hpp"
#include "exact_token_extract.hpp"
#include "fuzzy_raw_extract.hpp"
#include "fuzzy_token_extract.hpp"
#include "matcher_type.hpp"

namespace veskal::binding {
namespace {

// The interpreter lock during an engine's work: given up at the engine's first check, so that
// other threads run meanwhile, and taken back on every way out, unwinding included. A search too
// short to reach a check keeps it: giving it up and taking it back would cost it a fifth more.
class LockRelease {
 public:
  LockRelease() = default;
  ~LockRelease() {
    if (state_ == nullptr) return;
    take_lock(state_);
  }
  LockRelease(const LockRelease&) = delete;
  LockRelease& operator=(const LockRelease&) = delete;

  // With `signals`, runs the interpreter's pending signal handlers, holding the lock only
  // meanwhile; in any case leaves the lock given up. True when a handler raised: its exception
  // is then pending on this thread.
  bool check(bool signals) noexcept {
    if (state_ != nullptr) {
      if (!signals) return false;
      take_lock(state_);
    }
    const bool raised = signals && PyErr_CheckSignals() < 0;
    state_ = PyEval_SaveThread();
    return raised;
  }

 private:
  PyThreadState* state_ = nullptr;  // while the lock is given up
};

// The fast-call wrapper of every function: binds and converts the arguments by `signature`, hands
// the typed values to `impl` (whose parameter types are those of the table's kinds), which gives
// up the interpreter lock at its first check, and turns its extraction into the result list
// under the lock again.
template <const Signature& signature, typename... Args>
PyObject* call_with(Extraction (*impl)(const cancel::Check&, Args...), PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) {
  static_assert(signature.parameters.size() == sizeof...(Args), "table and _impl disagree");
  return call_guarded([&]() -> PyObject* {
    std::array<Value, sizeof...(Args)> argv;
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    // A text the engine checks for lone surrogates as it reads it.
    bool surrogate = false;
    std::optional<Text> to_vet;
    for (Value& value : argv) {
      Text* text = std::get_if<Text>(&value);
      if (text == nullptr || text->vetted()) continue;
      text->report_to(&surrogate);
      to_vet = *text;
    }
    // Signal handlers run only in the main interpreter.
    const bool main_interpreter = PyInterpreterState_Get() == PyInterpreterState_Main();
    std::optional<Extraction> extraction;
    {
      // The engine touches no Python object: the values are plain C++ ones, and the text may
      // view the characters of a str, which the caller holds and which cannot change.
      LockRelease lock;
      int handles_signals = main_interpreter ? -1 : 0;  // -1: not yet known
      const cancel::Check check{[&] {
        if (handles_signals < 0) handles_signals = on_main_thread() ? 1 : 0;
        return lock.check(handles_signals == 1);
      }};
      extraction.emplace([&]<std::size_t... I>(std::index_sequence<I...>) {
        return impl(check, take<std::decay_t<Args>>(argv[I])...);
      }(std::index_sequence_for<Args...>{}));
    }
    // An engine that stopped early may not have read the whole text; a lone surrogate in it
    // outranks the engine's own failure, as it would have been refused before the search.
    if (to_vet && (surrogate || (!extraction->ok() && to_vet->has_surrogate()))) {
      PyErr_Clear();
      to_vet->raise_surrogate();
      return nullptr;
    }
    if (extraction->was_cancelled()) {
      // The handler's exception (KeyboardInterrupt, say) goes to the caller as it is.
      return PyErr_Occurred() != nullptr ? nullptr : raise_panic(extraction->message());
    }
    return extraction_to_list(*extraction);
  });
}

template <const Signature& signature, auto impl>
PyObject* fast_call(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  return call_with<signature>(impl, args, nargs, kwnames);
}

// ---- exact_raw_extract ----------------------------------------------------------------------

constexpr Parameter kExactRawExtractParameters[] = {
    {"s", Kind::kTextToVet},           {"pattern", Kind::kString},
    {"case_insensitive", Kind::kBool}, {"special_char_insensitive", Kind::kBool},
    {"strategies", Kind::kStringList},
};
constexpr Signature kExactRawExtract{"exact_raw_extract", kExactRawExtractParameters};

Extraction exact_raw_extract_impl(const cancel::Check& check, Text s, std::string pattern,
                                  bool case_insensitive, bool special_char_insensitive,
                                  std::vector<std::string> strategies) {
  return exact_raw_extract::extract(s.view(), std::move(pattern), case_insensitive,
                                    special_char_insensitive, std::move(strategies), check,
                                    s.found());
}

// ---- exact_token_extract --------------------------------------------------------------------

constexpr Parameter kExactTokenExtractParameters[] = {
    {"s", Kind::kTextToVet},
    {"pattern", Kind::kString},
    {"tokenizer_pattern", Kind::kString},
    {"case_insensitive", Kind::kBool},
    {"special_char_insensitive", Kind::kBool},
};
constexpr Signature kExactTokenExtract{"exact_token_extract", kExactTokenExtractParameters};

Extraction exact_token_extract_impl(const cancel::Check& check, Text s, std::string pattern,
                                    std::string tokenizer_pattern, bool case_insensitive,
                                    bool special_char_insensitive) {
  return exact_token_extract::extract(s.view(), std::move(pattern), std::move(tokenizer_pattern),
                                      case_insensitive, special_char_insensitive, check, s.found());
}

// ---- fuzzy_raw_extract ----------------------------------------------------------------------

constexpr Parameter kFuzzyRawExtractParameters[] = {
    {"s", Kind::kTextToVet},           {"pattern", Kind::kString},
    {"case_insensitive", Kind::kBool}, {"special_char_insensitive", Kind::kBool},
    {"metric", Kind::kString},         {"threshold", Kind::kFloat64},
    {"threshold_kind", Kind::kUInt8},  {"strategies", Kind::kStringList},
};
constexpr Signature kFuzzyRawExtract{"fuzzy_raw_extract", kFuzzyRawExtractParameters};

Extraction fuzzy_raw_extract_impl(const cancel::Check& check, Text s, std::string pattern,
                                  bool case_insensitive, bool special_char_insensitive,
                                  std::string metric, double threshold, std::uint8_t threshold_kind,
                                  std::vector<std::string> strategies) {
  return fuzzy_raw_extract::extract(s.view(), std::move(pattern), case_insensitive,
                                    special_char_insensitive, std::move(metric), threshold,
                                    threshold_kind, std::move(strategies), check, s.found());
}

// ---- fuzzy_token_extract --------------------------------------------------------------------

constexpr Parameter kFuzzyTokenExtractParameters[] = {
    {"s", Kind::kTextToVet},
    {"pattern", Kind::kString},
    {"tokenizer_pattern", Kind::kString},
    {"case_insensitive", Kind::kBool},
    {"special_char_insensitive", Kind::kBool},
    {"metric", Kind::kString},
    {"threshold", Kind::kFloat64},
    {"threshold_kind", Kind::kUInt8},
    {"strategies", Kind::kStringList},
};
constexpr Signature kFuzzyTokenExtract{"fuzzy_token_extract", kFuzzyTokenExtractParameters};

Extraction fuzzy_token_extract_impl(const cancel::Check& check, Text s, std::string pattern,
                                    std::string tokenizer_pattern, bool case_insensitive,
                                    bool special_char_insensitive, std::string metric,
                                    double threshold, std::uint8_t threshold_kind,
                                    std::vector<std::string> strategies) {
  return fuzzy_token_extract::extract(s.view(), std::move(pattern), std::move(tokenizer_pattern),
                                      case_insensitive, special_char_insensitive, std::move(metric),
                                      threshold, threshold_kind, std::move(strategies), check,
                                      s.found());
}

// ---- module ---------------------------------------------------------------------------------

using FastCallWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

// PyMethodDef stores every calling convention as PyCFunction; the detour through void(*)() is
// the sanctioned way to say the cast is intended.
PyCFunction as_method(FastCallWithKeywords function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The registration order is also the order of __all__. Each docstring is only a signature, so
// __doc__ is None and __text_signature__ is what inspect.signature reads.
PyMethodDef module_methods[] = {
    {"exact_raw_extract", as_method(fast_call<kExactRawExtract, exact_raw_extract_impl>),
     METH_FASTCALL | METH_KEYWORDS,
     "exact_raw_extract(s, pattern, case_insensitive, special_char_insensitive, strategies)\n"
     "--\n\n"},
    {"exact_token_extract", as_method(fast_call<kExactTokenExtract, exact_token_extract_impl>),
     METH_FASTCALL | METH_KEYWORDS,
     "exact_token_extract(s, pattern, tokenizer_pattern, case_insensitive, "
     "special_char_insensitive)\n--\n\n"},
    {"fuzzy_raw_extract", as_method(fast_call<kFuzzyRawExtract, fuzzy_raw_extract_impl>),
     METH_FASTCALL | METH_KEYWORDS,
     "fuzzy_raw_extract(s, pattern, case_insensitive, special_char_insensitive, metric, "
     "threshold, threshold_kind, strategies)\n--\n\n"},
    {"fuzzy_token_extract", as_method(fast_call<kFuzzyTokenExtract, fuzzy_token_extract_impl>),
     METH_FASTCALL | METH_KEYWORDS,
     "fuzzy_token_extract(s, pattern, tokenizer_pattern, case_insensitive, "
     "special_char_insensitive, metric, threshold, threshold_kind, strategies)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// m_size 0 rather than -1: on a re-import the interpreter then calls PyInit_veskal again (which
// hands back the kept module) instead of building a fresh module from a copy of its dict.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "veskal",
    "Native Python module that finds exact and fuzzy occurrences of a pattern in a text.",
    0,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that first imported the module; the module's objects belong to it alone.
std::atomic<std::int64_t> owner_interpreter{-1};

// Created once, kept for the life of the process.
PyObject* module_object = nullptr;

PyObject* create_module() {
  PyObject* return_value = nullptr;
  PyObject* all = nullptr;
  PyObject* panic = nullptr;
  PyObject* module = PyModule_Create(&module_def);  // also binds the functions to it
  if (module == nullptr) goto exit;
  all = PyList_New(0);
  if (all == nullptr) goto exit;
  for (const PyMethodDef* method = module_methods; method->ml_name != nullptr; ++method) {
    PyObject* name = PyUnicode_FromString(method->ml_name);
    if (name == nullptr) goto exit;
    const int appended = PyList_Append(all, name);
    Py_DECREF(name);
    if (appended < 0) goto exit;
  }
  if (PyModule_AddObjectRef(module, "__all__", all) < 0) goto exit;
  // The one version is project(VERSION) in CMakeLists.txt, which also names the wheel.
  if (PyModule_AddStringConstant(module, "__version__", VESKAL_VERSION) < 0) goto exit;
  // Exposed (outside __all__) so that callers can catch it by class.
  panic = panic_exception();  // borrowed: owned by the boundary for the life of the process
  if (panic == nullptr) goto exit;
  if (PyModule_AddObjectRef(module, "PanicException", panic) < 0) goto exit;
  // Also outside __all__, which callers of `from veskal import *` expect to hold the functions.
  if (add_matcher_type(module) < 0) goto exit;
  return_value = Py_NewRef(module);
exit:
  Py_XDECREF(all);
  Py_XDECREF(module);  // a half-built module is discarded
  return return_value;
}

// A def that states what this module is: unfit for interpreters that require isolated
// extensions. Only ever given to PyModule_FromDefAndSpec, which then applies that rule.
PyModuleDef_Slot refusal_probe_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};
PyModuleDef refusal_probe_def = {
    PyModuleDef_HEAD_INIT, "veskal", nullptr, 0,       nullptr,
    refusal_probe_slots,   nullptr,  nullptr, nullptr,
};

// Whether the interpreter accepts this module, asked before anything is recorded. Where
// extensions must be isolated, some versions refuse the module only after PyInit_veskal has
// returned it, which would leave that interpreter recorded as the owner (and the module's
// objects in its memory) and lock every other one out. The multi-phase path asks the same
// question up front, with the same ImportError; its module is discarded at once. False with
// that error set.
bool interpreter_accepts_module() {
  Ref module_spec{PyModule_New("module_spec")};  // any object with a `name` will do
  if (!module_spec) return false;
  Ref name{PyUnicode_FromString(module_def.m_name)};
  if (!name || PyObject_SetAttrString(module_spec.get(), "name", name.get()) < 0) return false;
  Ref probe{PyModule_FromDefAndSpec(&refusal_probe_def, module_spec.get())};
  return probe != nullptr;
}

}  // namespace
}  // namespace veskal::binding

PyMODINIT_FUNC PyInit_veskal(void) {
  using namespace veskal::binding;
  if (!interpreter_accepts_module()) return nullptr;
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return nullptr;
  std::int64_t recorded = -1;
  if (!owner_interpreter.compare_exchange_strong(recorded, id) && recorded != id) {
    PyErr_SetString(PyExc_ImportError,
                    "veskal does not yet support sub-interpreters: it can be imported only in "
                    "the interpreter that imported it first");
    return nullptr;
  }
  if (module_object == nullptr) {
    module_object = create_module();  // keeps the one reference create_module returns
    if (module_object == nullptr) return nullptr;
  }
  return Py_NewRef(module_object);
}
