#include "python.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "binder.hpp"
#include "boundary.hpp"
#include "exact_raw_extract.hpp"
#include "exact_token_extract.hpp"
#include "fuzzy_raw_extract.hpp"
#include "fuzzy_token_extract.hpp"
#include "matcher_type.hpp"

namespace veskal::binding {
namespace {

// The fast-call wrapper of every function: binds and converts the arguments by `signature`, then
// hands the typed values to `impl`, whose parameter types are those of the table's kinds.
template <const Signature& signature, typename... Args>
PyObject* call_with(PyObject* (*impl)(Args...), PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  static_assert(signature.parameters.size() == sizeof...(Args), "table and _impl disagree");
  return call_guarded([&]() -> PyObject* {
    std::array<Value, sizeof...(Args)> argv;
    if (!parse_arguments(signature, args, nargs, kwnames, argv)) return nullptr;
    // No Python object is touched from here on: the values are plain C++ ones (the text may
    // view a str's bytes, which stay put while the call runs).
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
      return impl(take<std::decay_t<Args>>(argv[I])...);
    }
    (std::index_sequence_for<Args...>{});
  });
}

template <const Signature& signature, auto impl>
PyObject* fast_call(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
  return call_with<signature>(impl, args, nargs, kwnames);
}

// ---- exact_raw_extract ----------------------------------------------------------------------

constexpr Parameter kExactRawExtractParameters[] = {
    {"s", Kind::kText},
    {"pattern", Kind::kString},
    {"case_insensitive", Kind::kBool},
    {"special_char_insensitive", Kind::kBool},
    {"strategies", Kind::kStringList},
};
constexpr Signature kExactRawExtract{"exact_raw_extract", kExactRawExtractParameters};

PyObject* exact_raw_extract_impl(Text s, std::string pattern, bool case_insensitive,
                                 bool special_char_insensitive,
                                 std::vector<std::string> strategies) {
  // Nothing Python-side is touched until the result is built.
  return matches_to_list(exact_raw_extract::extract(s.view(), std::move(pattern), case_insensitive,
                                                    special_char_insensitive,
                                                    std::move(strategies)));
}

// ---- exact_token_extract --------------------------------------------------------------------

constexpr Parameter kExactTokenExtractParameters[] = {
    {"s", Kind::kText},
    {"pattern", Kind::kString},
    {"tokenizer_pattern", Kind::kString},
    {"case_insensitive", Kind::kBool},
    {"special_char_insensitive", Kind::kBool},
};
constexpr Signature kExactTokenExtract{"exact_token_extract", kExactTokenExtractParameters};

PyObject* exact_token_extract_impl(Text s, std::string pattern, std::string tokenizer_pattern,
                                   bool case_insensitive, bool special_char_insensitive) {
  return extraction_to_list(
      exact_token_extract::extract(s.view(), std::move(pattern), std::move(tokenizer_pattern),
                                   case_insensitive, special_char_insensitive));
}

// ---- fuzzy_raw_extract ----------------------------------------------------------------------

constexpr Parameter kFuzzyRawExtractParameters[] = {
    {"s", Kind::kText},
    {"pattern", Kind::kString},
    {"case_insensitive", Kind::kBool},
    {"special_char_insensitive", Kind::kBool},
    {"metric", Kind::kString},
    {"threshold", Kind::kFloat64},
    {"threshold_kind", Kind::kUInt8},
    {"strategies", Kind::kStringList},
};
constexpr Signature kFuzzyRawExtract{"fuzzy_raw_extract", kFuzzyRawExtractParameters};

PyObject* fuzzy_raw_extract_impl(Text s, std::string pattern, bool case_insensitive,
                                 bool special_char_insensitive, std::string metric,
                                 double threshold, std::uint8_t threshold_kind,
                                 std::vector<std::string> strategies) {
  return extraction_to_list(fuzzy_raw_extract::extract(
      s.view(), std::move(pattern), case_insensitive, special_char_insensitive, std::move(metric),
      threshold, threshold_kind, std::move(strategies)));
}

// ---- fuzzy_token_extract --------------------------------------------------------------------

constexpr Parameter kFuzzyTokenExtractParameters[] = {
    {"s", Kind::kText},
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

PyObject* fuzzy_token_extract_impl(Text s, std::string pattern, std::string tokenizer_pattern,
                                   bool case_insensitive, bool special_char_insensitive,
                                   std::string metric, double threshold,
                                   std::uint8_t threshold_kind,
                                   std::vector<std::string> strategies) {
  return extraction_to_list(
      fuzzy_token_extract::extract(s.view(), std::move(pattern), std::move(tokenizer_pattern),
                                   case_insensitive, special_char_insensitive, std::move(metric),
                                   threshold, threshold_kind, std::move(strategies)));
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

}  // namespace
}  // namespace veskal::binding

PyMODINIT_FUNC PyInit_veskal(void) {
  using namespace veskal::binding;
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
