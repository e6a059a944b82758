"""The Python face of the module: registration, argument binding and conversion, results and
the exceptions each kind of failure becomes."""

import ctypes
import gc
import inspect
import math
import os
import random
import signal
import subprocess
import sys
import threading
import time

import pytest
from hypothesis import given
from hypothesis import strategies as st

import veskal

_PARAMETERS = {
    "exact_raw_extract": "s pattern case_insensitive special_char_insensitive strategies",
    "exact_token_extract": "s pattern tokenizer_pattern case_insensitive special_char_insensitive",
    "fuzzy_raw_extract": "s pattern case_insensitive special_char_insensitive metric threshold "
    "threshold_kind strategies",
    "fuzzy_token_extract": "s pattern tokenizer_pattern case_insensitive special_char_insensitive "
    "metric threshold threshold_kind strategies",
}
SIGNATURES = {name: tuple(parameters.split()) for name, parameters in _PARAMETERS.items()}

# One valid value per parameter name, chosen so that every function finds "b" at (2, 3).
VALID = {
    "s": "a b",
    "pattern": "b",
    "tokenizer_pattern": " ",
    "case_insensitive": False,
    "special_char_insensitive": False,
    "metric": "levenshtein",
    "threshold": 0,
    "threshold_kind": 0,
    "strategies": [],
}


def call(function, **overrides):
    """Calls `function` by keyword with valid values for every parameter not overridden."""
    kwargs = {name: overrides.pop(name, VALID[name]) for name in SIGNATURES[function]}
    assert not overrides, f"{function} has no parameter {sorted(overrides)}"
    return getattr(veskal, function)(**kwargs)


def raises_exactly(exc_type, message, thunk):
    with pytest.raises(BaseException) as info:
        thunk()
    assert type(info.value) is exc_type
    assert str(info.value) == message
    return info.value


# ---- the module ---------------------------------------------------------------------------


def test_module_attributes():
    assert veskal.__all__ == list(SIGNATURES)
    assert isinstance(veskal.__doc__, str) and veskal.__doc__.strip().endswith(".")
    for name, parameters in SIGNATURES.items():
        function = getattr(veskal, name)
        assert type(function).__name__ == "builtin_function_or_method"
        assert function.__module__ == "veskal"
        assert function.__doc__ is None
        assert function.__text_signature__ == "(" + ", ".join(parameters) + ")"
        signature = inspect.signature(function)
        assert list(signature.parameters) == list(parameters)
        assert all(
            p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty
            for p in signature.parameters.values()
        )


def test_panic_exception_class():
    cls = veskal.PanicException
    assert cls.__module__ == "veskal" and cls.__qualname__ == "PanicException"
    assert issubclass(cls, BaseException) and not issubclass(cls, Exception)
    assert "PanicException" not in veskal.__all__
    assert "BaseException" in cls.__doc__


def test_reimport_gives_the_same_module():
    first = sys.modules.pop("veskal")
    try:
        import veskal as again

        assert again is first
        assert again.exact_token_extract("a b", "b", " ", False, False) == [(2, 3, 0.0)]
    finally:
        sys.modules["veskal"] = first


def test_second_interpreter_is_refused(tmp_path):
    testcapi = pytest.importorskip("_testcapi")
    out = tmp_path / "result"
    code = (
        "try:\n"
        "    import veskal\n"
        "    result = 'imported'\n"
        "except ImportError as e:\n"
        "    result = str(e)\n"
        f"open({str(out)!r}, 'w').write(result)\n"
    )
    assert testcapi.run_in_subinterp(code) == 0
    assert "not yet support sub-interpreters" in out.read_text()
    # The main interpreter keeps working.
    assert veskal.exact_token_extract("a b", "b", " ", False, False) == [(2, 3, 0.0)]


# An isolated sub-interpreter imports first and is refused; the main interpreter then imports.
_ISOLATED_FIRST = """
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters
sub = interpreters.create()  # isolated: extensions must support sub-interpreters
interpreters.run_string(sub, '''
try:
    import veskal
    print("imported")
except ImportError as e:
    print(type(e).__name__, e)
''')
interpreters.destroy(sub)
import veskal
print(veskal.exact_token_extract("a b", "b", " ", False, False))
"""


def test_refused_isolated_interpreter_leaves_the_module_to_the_main_one():
    run = subprocess.run([sys.executable, "-c", _ISOLATED_FIRST], capture_output=True, text=True,
                         timeout=60)
    assert run.returncode == 0, run.stderr
    refusal, result = run.stdout.splitlines()
    assert refusal.startswith("ImportError ")
    assert result == "[(2, 3, 0.0)]"


# ---- binding ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "function, args, kwargs, message",
    [
        ("exact_token_extract", ("a b", "b", " ", True, False, None), {},
         "exact_token_extract() takes 5 positional arguments but 6 were given"),
        ("fuzzy_token_extract", ("a b", "b", " ", False, False, "levenshtein", 0, 0, [], None), {},
         "fuzzy_token_extract() takes 9 positional arguments but 10 were given"),
        # Surplus positionals win over a bad keyword and bad types.
        ("exact_raw_extract", (1, 2, 3, 4, 5, 6), {"nope": 1},
         "exact_raw_extract() takes 5 positional arguments but 6 were given"),
        ("exact_token_extract", ("a b",), {"S": "x"},
         "exact_token_extract() got an unexpected keyword argument 'S'"),
        ("exact_token_extract", ("a b", "b", " ", True, False), {"s": "again"},
         "exact_token_extract() got multiple values for argument 's'"),
        # Keywords are checked in the caller's order.
        ("fuzzy_raw_extract", ("a b", "b"), {"pattern": "x", "bogus": 1},
         "fuzzy_raw_extract() got multiple values for argument 'pattern'"),
        ("fuzzy_raw_extract", ("a b", "b"), {"bogus": 1, "pattern": "x"},
         "fuzzy_raw_extract() got an unexpected keyword argument 'bogus'"),
        ("exact_token_extract", ("a b",), {},
         "exact_token_extract() missing 4 required positional arguments: 'pattern', "
         "'tokenizer_pattern', 'case_insensitive', and 'special_char_insensitive'"),
        ("exact_raw_extract", ("abc", "b", True), {},
         "exact_raw_extract() missing 2 required positional arguments: "
         "'special_char_insensitive' and 'strategies'"),
        ("exact_raw_extract", ("abc",), {},
         "exact_raw_extract() missing 4 required positional arguments: 'pattern', "
         "'case_insensitive', 'special_char_insensitive', and 'strategies'"),
        ("fuzzy_token_extract", (), {"strategies": [], "s": ""},
         "fuzzy_token_extract() missing 7 required positional arguments: 'pattern', "
         "'tokenizer_pattern', 'case_insensitive', 'special_char_insensitive', 'metric', "
         "'threshold', and 'threshold_kind'"),
        # A missing argument is reported before the wrong type of another.
        ("exact_token_extract", ("a b", 5, " ", True), {},
         "exact_token_extract() missing 1 required positional argument: "
         "'special_char_insensitive'"),
        # Of two wrong types, the earlier parameter is reported, whatever the keyword order.
        ("exact_token_extract", ("a b", "b", " ", 1, 2), {},
         "argument 'case_insensitive': 'int' object cannot be converted to 'PyBool'"),
        ("exact_token_extract", ("", "", ""),
         {"special_char_insensitive": 2, "case_insensitive": 1},
         "argument 'case_insensitive': 'int' object cannot be converted to 'PyBool'"),
    ],
)
def test_binding_errors(function, args, kwargs, message):
    raises_exactly(TypeError, message, lambda: getattr(veskal, function)(*args, **kwargs))


@pytest.mark.parametrize("function", SIGNATURES)
def test_keywords_in_any_order_equal_positional(function):
    names = SIGNATURES[function]
    values = {**VALID, "s": "x b a b", "strategies": ["longest"]}
    positional = getattr(veskal, function)(*(values[n] for n in names))
    assert positional == [(2, 3, 0.0), (6, 7, 0.0)]
    rng = random.Random(function)
    for split in range(len(names) + 1):
        keywords = list(names[split:])
        rng.shuffle(keywords)
        result = getattr(veskal, function)(
            *(values[n] for n in names[:split]), **{n: values[n] for n in keywords}
        )
        assert result == positional


# ---- conversion ---------------------------------------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Float:
    def __float__(self):
        return 0.0


class Str(str):
    pass


class Seq:
    """A sequence by the old protocol only: no __iter__, and a __len__ that lies."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return self.length


class BadLen(list):
    def __len__(self):
        raise ValueError("no length")


def fake_numpy_bool(value, name="bool_", error=None):
    def truth(self):
        if error is not None:
            raise error
        return value

    return type(name, (), {"__module__": "numpy", "__bool__": truth})()


@pytest.mark.parametrize(
    "function, overrides",
    [
        ("exact_token_extract", {"s": Str("a b"), "pattern": Str("b")}),
        ("exact_token_extract", {"case_insensitive": fake_numpy_bool(False)}),
        ("exact_token_extract", {"special_char_insensitive": fake_numpy_bool(False, "bool")}),
        ("fuzzy_raw_extract", {"threshold": 0.0}),
        ("fuzzy_raw_extract", {"threshold": False}),
        ("fuzzy_raw_extract", {"threshold": Index(0)}),
        ("fuzzy_raw_extract", {"threshold": Float()}),
        ("fuzzy_raw_extract", {"threshold_kind": False}),
        ("fuzzy_raw_extract", {"threshold_kind": Index(0)}),
        ("exact_raw_extract", {"strategies": ()}),
        ("exact_raw_extract", {"strategies": ("longest", Str("best_match"))}),
        ("exact_raw_extract", {"strategies": Seq(["longest"], 1 << 60)}),
        ("exact_raw_extract", {"strategies": BadLen(["longest"])}),
        ("fuzzy_token_extract", {"strategies": ["no such strategy"]}),
    ],
)
def test_accepted_values(function, overrides):
    assert call(function, **overrides) == [(2, 3, 0.0)]


def test_numpy_bools():
    np = pytest.importorskip("numpy")
    assert call("exact_token_extract", case_insensitive=np.bool_(True)) == [(2, 3, 0.0)]
    assert call("exact_raw_extract", special_char_insensitive=np.False_) == [(2, 3, 0.0)]
    raises_exactly(
        TypeError,
        "argument 'case_insensitive': 'int64' object cannot be converted to 'PyBool'",
        lambda: call("exact_token_extract", case_insensitive=np.int64(1)),
    )


@pytest.mark.parametrize(
    "function, overrides, exc_type, message",
    [
        ("exact_token_extract", {"pattern": 5}, TypeError,
         "argument 'pattern': 'int' object cannot be converted to 'PyString'"),
        ("exact_token_extract", {"s": None}, TypeError,
         "argument 's': 'NoneType' object cannot be converted to 'PyString'"),
        ("fuzzy_token_extract", {"metric": b"levenshtein"}, TypeError,
         "argument 'metric': 'bytes' object cannot be converted to 'PyString'"),
        ("exact_token_extract", {"tokenizer_pattern": Index}, TypeError,
         "argument 'tokenizer_pattern': 'type' object cannot be converted to 'PyString'"),
        ("exact_token_extract", {"case_insensitive": 1}, TypeError,
         "argument 'case_insensitive': 'int' object cannot be converted to 'PyBool'"),
        ("exact_token_extract", {"case_insensitive": None}, TypeError,
         "argument 'case_insensitive': 'NoneType' object cannot be converted to 'PyBool'"),
        ("exact_raw_extract", {"special_char_insensitive": fake_numpy_bool(True, "int_")},
         TypeError,
         "argument 'special_char_insensitive': 'int_' object cannot be converted to 'PyBool'"),
        ("exact_raw_extract", {"special_char_insensitive": Float()}, TypeError,
         "argument 'special_char_insensitive': 'Float' object cannot be converted to 'PyBool'"),
        ("fuzzy_raw_extract", {"threshold": "1"}, TypeError,
         "argument 'threshold': must be real number, not str"),
        ("fuzzy_raw_extract", {"threshold": None}, TypeError,
         "argument 'threshold': must be real number, not NoneType"),
        ("fuzzy_raw_extract", {"threshold_kind": 256}, OverflowError,
         "out of range integral type conversion attempted"),
        ("fuzzy_raw_extract", {"threshold_kind": -1}, OverflowError,
         "out of range integral type conversion attempted"),
        ("fuzzy_token_extract", {"threshold_kind": 300}, OverflowError,
         "out of range integral type conversion attempted"),
        # Past the ints that are read in place.
        ("fuzzy_raw_extract", {"threshold_kind": 2**40}, OverflowError,
         "out of range integral type conversion attempted"),
        ("fuzzy_raw_extract", {"threshold_kind": -(2**30)}, OverflowError,
         "out of range integral type conversion attempted"),
        ("fuzzy_token_extract", {"threshold_kind": Index(-(2**63))}, OverflowError,
         "out of range integral type conversion attempted"),
        ("fuzzy_raw_extract", {"threshold_kind": 1.0}, TypeError,
         "argument 'threshold_kind': 'float' object cannot be interpreted as an integer"),
        ("fuzzy_raw_extract", {"threshold_kind": "1"}, TypeError,
         "argument 'threshold_kind': 'str' object cannot be interpreted as an integer"),
        ("fuzzy_raw_extract", {"threshold_kind": None}, TypeError,
         "argument 'threshold_kind': 'NoneType' object cannot be interpreted as an integer"),
        ("exact_raw_extract", {"strategies": "longest"}, TypeError,
         "argument 'strategies': Can't extract `str` to `Vec`"),
        ("exact_raw_extract", {"strategies": Str("longest")}, TypeError,
         "argument 'strategies': Can't extract `str` to `Vec`"),
        ("exact_raw_extract", {"strategies": {"longest"}}, TypeError,
         "argument 'strategies': 'set' object cannot be converted to 'Sequence'"),
        ("exact_raw_extract", {"strategies": {"longest": 1}}, TypeError,
         "argument 'strategies': 'dict' object cannot be converted to 'Sequence'"),
        ("exact_raw_extract", {"strategies": (s for s in ["longest"])}, TypeError,
         "argument 'strategies': 'generator' object cannot be converted to 'Sequence'"),
        ("exact_raw_extract", {"strategies": None}, TypeError,
         "argument 'strategies': 'NoneType' object cannot be converted to 'Sequence'"),
        ("exact_raw_extract", {"strategies": ["longest", 3]}, TypeError,
         "argument 'strategies': 'int' object cannot be converted to 'PyString'"),
        ("exact_raw_extract", {"strategies": b"ab"}, TypeError,
         "argument 'strategies': 'int' object cannot be converted to 'PyString'"),
        ("exact_raw_extract", {"strategies": [Index(1)]}, TypeError,
         "argument 'strategies': 'Index' object cannot be converted to 'PyString'"),
        ("exact_raw_extract", {"strategies": iter(["longest"])}, TypeError,
         "argument 'strategies': 'list_iterator' object cannot be converted to 'Sequence'"),
    ],
)
def test_refused_values(function, overrides, exc_type, message):
    raises_exactly(exc_type, message, lambda: call(function, **overrides))


def test_int_beyond_64_bits_keeps_the_interpreters_overflow_error():
    with pytest.raises(OverflowError) as info:
        call("fuzzy_raw_extract", threshold_kind=2**64)
    assert "out of range integral" not in str(info.value)


# ---- strings -----------------------------------------------------------------------------

# Every storage width the interpreter uses for str: 1 byte (ASCII, Latin-1), 2 and 4 bytes.
KINDS = {"ascii": 0x7F, "latin-1": 0xFF, "bmp": 0xFFFF, "astral": 0x10FFFF}
SAMPLES = {
    "ascii": "Le chat dort pres de la fenetre ouverte.",
    "latin-1": "Le chat dort près de la fenêtre ouverte, à côté.",
    "bmp": "Le chat — déjà — dort près de la fenêtre ‘ouverte’ €.",
    "astral": "Le chat 😀 dort près de la fenêtre — 𝔘𝔫𝔦𝔠𝔬𝔡𝔢.",
}


def with_interpreter_utf8(s):
    """A copy of `s` on which the interpreter's own UTF-8 encoding is cached."""
    copy = str(s[:1]) + s[1:] if type(s) is str else type(s)(str(s[:1]) + s[1:])
    encode = ctypes.pythonapi.PyUnicode_AsUTF8AndSize
    encode.argtypes, encode.restype = [ctypes.py_object, ctypes.c_void_p], ctypes.c_void_p
    assert encode(copy, None)
    return copy


@st.composite
def texts(draw):
    """Text of any storage width and type, framed so that white space never reaches its ends."""
    widest = draw(st.sampled_from(list(KINDS.values())))
    body = draw(st.text(st.characters(max_codepoint=widest, exclude_categories=["Cs"])))
    return draw(st.sampled_from([str, Str]))("<" + body + ">")


@given(texts())
def test_text_reaches_the_engine_byte_for_byte(s):
    # The pattern carries the interpreter's encoding, the text ours: an exact match proves that
    # both are the same bytes.
    pattern = with_interpreter_utf8(s)
    assert veskal.exact_raw_extract(s, pattern, False, False, []) == [(0, len(s), 0.0)]
    assert veskal.exact_raw_extract(pattern, s, False, False, []) == [(0, len(s), 0.0)]


@given(texts(), st.integers(0, 200))
def test_positions_count_characters_of_every_width(s, shift):
    # Long ASCII runs before a character exercise the word-at-a-time copies at every alignment.
    text = "a" * shift + s
    assert veskal.exact_raw_extract(text, s, False, False, []) == [(shift, len(text), 0.0)]


# Each needs normalising under some flags: a line feed always, capitals under case_insensitive,
# '@' under special_char_insensitive; the last needs it under none.
LENT_TEXTS = [
    "Le chat\ndort, le CHAT dort.",
    "Le Chat dort; LE CHAT DORT.",
    "le ch@t dort, le chat @",
    "le chat dort, le chat dort.",
]


@pytest.mark.parametrize("flags", [(False, False), (True, False), (False, True), (True, True)])
@pytest.mark.parametrize("sentence", LENT_TEXTS)
@pytest.mark.parametrize("wide", ["\u00e9", "\u20ac", "\U0001F600"])
def test_every_storage_width_gives_the_same(sentence, flags, wide):
    # A str is searched at the width it is stored at: one distant letter stores the same text at
    # 1, 2 or 4 bytes a character, with or without a line feed. Long enough to span many blocks.
    ascii = " ".join([sentence] * 600)
    widened = ascii + " " * 20 + wide
    assert ascii.isascii()
    for pattern in ("chat", "ch@t dort", "chat\ndort", "CHAT", "chat\u2019", "\u00e9t\u00e9"):
        for function, parameters in SIGNATURES.items():
            values = dict(VALID, pattern=pattern, case_insensitive=flags[0],
                          special_char_insensitive=flags[1], threshold=1,
                          strategies=["best_match"])
            args = [values[name] for name in parameters]
            expected = getattr(veskal, function)(ascii, *args[1:])
            assert getattr(veskal, function)(widened, *args[1:]) == expected, (function, pattern)


@pytest.mark.parametrize("kind", SAMPLES)
@pytest.mark.parametrize("make", [str, Str])
def test_callers_string_is_left_as_it_was(kind, make):
    s = make("".join([SAMPLES[kind]] * 100))
    size = sys.getsizeof(s)
    strings = {"s": s, "pattern": s[20:30], "tokenizer_pattern": s[5:6], "strategies": [s[:10]]}
    for function, parameters in SIGNATURES.items():
        call(function, **{name: strings[name] for name in parameters if name in strings})
    with pytest.raises(veskal.PanicException):
        call("fuzzy_raw_extract", metric=s)
    assert sys.getsizeof(s) == size


@pytest.mark.parametrize("kind", SAMPLES)
@pytest.mark.parametrize("make", [str, Str])
@pytest.mark.parametrize("parameter", ["s", "pattern", "metric", "strategies"])
def test_lone_surrogate_raises_the_interpreters_unicode_encode_error(kind, make, parameter):
    for surrogate in ("\ud800", "\udc80", "\udfff"):
        bad = make(SAMPLES[kind][:30] + surrogate + SAMPLES[kind][30:])
        with pytest.raises(UnicodeEncodeError) as expected:
            bad.encode("utf-8")
        size = sys.getsizeof(bad)
        value = ["longest", bad] if parameter == "strategies" else bad
        with pytest.raises(BaseException) as info:
            call("fuzzy_token_extract", **{parameter: value})
        assert type(info.value) is UnicodeEncodeError
        assert info.value.args == expected.value.args
        assert sys.getsizeof(bad) == size


@pytest.mark.parametrize("kind", ["bmp", "astral"])
@pytest.mark.parametrize("function", sorted(SIGNATURES))
def test_lone_surrogate_in_the_text_outranks_everything_after_it(kind, function):
    # exact_raw_extract and fuzzy_raw_extract look for it as they search: wherever it lies
    # (inside or beyond the first blocks, where no pattern fits, at the very end), however the
    # search goes (no pattern, white space only, flags that copy the text; for the fuzzy search,
    # pieces found by vectors, by samples or one by one, every window, rows, a threshold no score
    # meets), and whatever later argument is also wrong.
    long = " ".join([SAMPLES[kind]] * 3000)
    letters = "".join(c for c in SAMPLES[kind] if c.isalpha()) * 2
    for at in (0, 35, 70_000, len(long)):
        bad = long[:at] + "\udc80" + long[at:]
        with pytest.raises(UnicodeEncodeError) as expected:
            bad.encode("utf-8")
        for overrides in ({}, {"pattern": "chat"}, {"pattern": ""}, {"pattern": "   "},
                          {"pattern": long + "x"}, {"pattern": "\U0001F600"},
                          {"pattern": "chat", "case_insensitive": True},
                          {"pattern": "\ud800"}, {"special_char_insensitive": 2},
                          {"strategies": "longest"},
                          {"pattern": letters[:16], "threshold": 1},
                          {"pattern": "dort près de la", "threshold": 1},
                          {"pattern": letters[:40], "threshold": 4},
                          {"pattern": letters[:30], "threshold": 5},
                          {"pattern": letters[:16], "threshold": 0.2, "threshold_kind": 1},
                          {"pattern": "chat", "threshold": 0.5, "threshold_kind": 1},
                          {"pattern": letters[:16], "threshold": -1},
                          {"pattern": letters[:16], "metric": "lev"},
                          {"pattern": letters[:16], "threshold": 1, "case_insensitive": True}):
            with pytest.raises(BaseException) as info:
                call(function, s=bad,
                     **{k: v for k, v in overrides.items() if k in SIGNATURES[function]})
            assert type(info.value) is UnicodeEncodeError, (at, overrides)
            assert info.value.args == expected.value.args


@pytest.mark.parametrize("threshold", [math.nan, math.inf, -math.inf])
def test_non_finite_thresholds_pass_binding(threshold):
    assert isinstance(call("fuzzy_raw_extract", threshold=threshold), list)


class Raising:
    """Raises `error` from every conversion hook the binder may call."""

    def __init__(self, error):
        self.error = error

    def _raise(self, *args):
        raise self.error

    __index__ = __float__ = __bool__ = __getitem__ = __iter__ = _raise

    def __len__(self):
        return 1


class SubTypeError(TypeError):
    pass


def type_error_with_cause():
    root = ValueError("root")
    error = TypeError("hook failed")
    error.__cause__ = root
    return error, root


def numpy_like_raising(error):
    return fake_numpy_bool(True, error=error)


@pytest.mark.parametrize(
    "function, parameter, make",
    [
        ("fuzzy_raw_extract", "threshold", Raising),
        ("fuzzy_raw_extract", "threshold_kind", Raising),
        ("exact_raw_extract", "strategies", Raising),
        ("exact_raw_extract", "case_insensitive", numpy_like_raising),
    ],
)
def test_errors_from_conversion_hooks(function, parameter, make):
    # A plain TypeError is re-raised naming the parameter, keeping the original cause.
    error, root = type_error_with_cause()
    raised = raises_exactly(
        TypeError,
        f"argument '{parameter}': hook failed",
        lambda: call(function, **{parameter: make(error)}),
    )
    assert raised is not error and raised.__cause__ is root
    # Any other type, TypeError subclasses included, passes through untouched.
    for other in (ValueError("value"), SubTypeError("sub"), KeyboardInterrupt()):
        with pytest.raises(BaseException) as info:
            call(function, **{parameter: make(other)})
        assert info.value is other


def test_sequence_failing_midway():
    class Flaky(list):
        def __iter__(self):
            yield "longest"
            raise RuntimeError("gone")

    with pytest.raises(RuntimeError, match="^gone$"):
        call("exact_raw_extract", strategies=Flaky())


# ---- results and failures -----------------------------------------------------------------


@pytest.mark.parametrize("function", SIGNATURES)
def test_results(function):
    result = call(function)
    assert result == [(2, 3, 0.0)]
    assert [tuple(map(type, match)) for match in result] == [(int, int, float)]
    assert call(function, pattern="zzz") == []


def catches_exception_first(thunk):
    """Which handler sees the error: `except Exception` or the outer `except BaseException`."""
    try:
        try:
            thunk()
        except Exception:
            return "Exception"
    except BaseException as e:
        return e


@pytest.mark.parametrize(
    "thunk, message",
    [
        (
            lambda: veskal.exact_token_extract("a", "", "", False, False),
            "index out of bounds: the len is 1 but the index is 18446744073709551615",
        ),
        (
            lambda: call("fuzzy_raw_extract", s="abc", pattern="b", metric="lev"),
            "Invalid distance metric",
        ),
        (
            lambda: call("fuzzy_token_extract", s="a b", pattern="b", metric="lev"),
            "Invalid distance metric",
        ),
    ],
)
def test_engine_failures_raise_panic_exception(thunk, message):
    raised = catches_exception_first(thunk)
    assert type(raised) is veskal.PanicException
    assert raised.args == (message,)
    # The module stays usable.
    assert call("exact_token_extract") == [(2, 3, 0.0)]


def test_empty_patterns_in_fuzzy_token_extract_panic():
    with pytest.raises(veskal.PanicException):
        call("fuzzy_token_extract", pattern="", tokenizer_pattern="")


def test_out_of_memory_never_yields_a_wrong_result():
    testcapi = pytest.importorskip("_testcapi")
    args = ("a b a b a", "a", False, False, ["longest"])
    expected = veskal.exact_raw_extract(*args)
    assert len(expected) == 3
    outcomes = set()
    # Fail the n-th interpreter allocation of one call, for every n that the call reaches.
    for n in range(40):
        testcapi.set_nomemory(n, n + 1)
        try:
            result = veskal.exact_raw_extract(*args)
        except BaseException as e:
            result = e
        finally:
            testcapi.remove_mem_hooks()
        if isinstance(result, veskal.PanicException):
            outcomes.add(str(result))
        elif isinstance(result, MemoryError):
            outcomes.add("MemoryError")
        else:
            outcomes.add("ok" if result == expected else repr(result))
    assert outcomes <= {"ok", "Python API call failed", "MemoryError"}
    assert "Python API call failed" in outcomes
    assert veskal.exact_raw_extract(*args) == expected


# ---- long searches ------------------------------------------------------------------------

_WORDS = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"]


def long_search_args(seconds):
    """Arguments of a fuzzy_raw_extract call that takes about `seconds` on this machine, and a
    short call's arguments with its result."""
    rng = random.Random(7)
    words = [rng.choice(_WORDS) for _ in range(20_000)]
    short = (" ".join(words), "gamma delta epsilon zeta", False, False, "indel", 0.4, 1,
             ["best_match"])
    started = time.perf_counter()
    expected = veskal.fuzzy_raw_extract(*short)
    took = time.perf_counter() - started
    copies = max(1, math.ceil(seconds / max(took, 1e-4)))
    return (" ".join(words * copies), *short[1:]), short, expected


def test_other_threads_run_during_a_long_search():
    args, _, _ = long_search_args(3.5)
    gaps = []
    done = threading.Event()

    def ticker():
        last = time.perf_counter()
        while not done.is_set():
            time.sleep(0.01)
            now = time.perf_counter()
            gaps.append(now - last)
            last = now

    thread = threading.Thread(target=ticker)
    thread.start()
    started = time.perf_counter()
    try:
        veskal.fuzzy_raw_extract(*args)
    finally:
        took = time.perf_counter() - started
        done.set()
        thread.join()
    assert took > 1.5 and len(gaps) > 50
    assert max(gaps) < 0.5


def test_long_result_conversion_shares_the_lock_safely():
    # A million matches take long enough to convert that other threads get turns meanwhile;
    # collecting garbage then walks the half-filled result list.
    text = "ab " * 1_000_000
    done = threading.Event()
    collections = []

    def collector():
        while not done.is_set():
            collections.append(gc.collect())
            [[i] for i in range(1000)]

    thread = threading.Thread(target=collector)
    thread.start()
    try:
        found = veskal.exact_raw_extract(text, "ab", False, False, [])
    finally:
        done.set()
        thread.join()
    assert len(found) == 1_000_000 and collections
    assert found[0] == (0, 2, 0.0) and found[-1] == (2_999_997, 2_999_999, 0.0)


class HandlerRaised(Exception):
    pass


def raise_handler_raised(signum, frame):
    raise HandlerRaised(signum)


@pytest.mark.parametrize(
    "signum, handler, exc_type",
    [
        (signal.SIGINT, signal.default_int_handler, KeyboardInterrupt),
        (signal.SIGUSR1, raise_handler_raised, HandlerRaised),
    ],
)
def test_a_signal_handlers_exception_stops_the_search(signum, handler, exc_type):
    args, short, expected = long_search_args(4)
    previous = signal.signal(signum, handler)
    sent = []

    def send():
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signum)

    timer = threading.Timer(0.5, send)
    try:
        timer.start()
        with pytest.raises(exc_type):
            veskal.fuzzy_raw_extract(*args)
        stopped = time.perf_counter()
    finally:
        timer.join()
        signal.signal(signum, previous)
    assert stopped - sent[0] < 1
    # Nothing of the stopped search lingers.
    assert veskal.fuzzy_raw_extract(*short) == expected


# A daemon thread's search ends while the interpreter shuts down (held up by a slow finaliser).
_SEARCH_DURING_SHUTDOWN = """
import threading, time, veskal
text = "alpha beta gamma delta " * 5000
matcher = veskal.Matcher(["gamma delta epsilon", "beta"], metric="indel", threshold=0.4,
                         threshold_kind=1)
def search():
    while True:
        veskal.fuzzy_raw_extract(text, "gamma delta epsilon", False, False, "indel", 0.4, 1, [])
def search_many():
    while True:
        matcher.find(text)
class Slow:
    def __del__(self):
        time.sleep(1)
slow = Slow()
slow.cycle = [slow]  # collected only by the last collection, during shutdown
del slow
import gc; gc.disable()
threading.Thread(target=search, daemon=True).start()
threading.Thread(target=search_many, daemon=True).start()
time.sleep(0.3)
"""


def test_a_search_ending_during_shutdown_lets_the_process_exit():
    run = subprocess.run([sys.executable, "-c", _SEARCH_DURING_SHUTDOWN], capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 0, run.stderr


# ---- Matcher ------------------------------------------------------------------------------

MODES = {
    # name: (Matcher keywords, the function and its arguments after s and pattern)
    "exact_raw": lambda o: ("exact_raw_extract", (o["ci"], o["sci"], o["strategies"])),
    "exact_token": lambda o: ("exact_token_extract", (o["tok"], o["ci"], o["sci"])),
    "fuzzy_raw": lambda o: (
        "fuzzy_raw_extract",
        (o["ci"], o["sci"], o["metric"], o["threshold"], o["kind"], o["strategies"]),
    ),
    "fuzzy_token": lambda o: (
        "fuzzy_token_extract",
        (o["tok"], o["ci"], o["sci"], o["metric"], o["threshold"], o["kind"], o["strategies"]),
    ),
}


def matcher_and_reference(mode, patterns, o):
    """A Matcher for `mode` and the function that gives its expected find() result."""
    kwargs = dict(case_insensitive=o["ci"], special_char_insensitive=o["sci"])
    if "token" in mode:
        kwargs["tokenizer_pattern"] = o["tok"]
    if "fuzzy" in mode:
        kwargs.update(metric=o["metric"], threshold=o["threshold"], threshold_kind=o["kind"])
    if mode != "exact_token":
        kwargs["strategies"] = o["strategies"]
    function, rest = MODES[mode](o)

    def reference(s):
        found = [
            (i, start, end, score)
            for i, pattern in enumerate(patterns)
            for start, end, score in getattr(veskal, function)(s, pattern, *rest)
        ]
        return sorted(found, key=lambda hit: (hit[1], hit[0], hit[2]))

    return veskal.Matcher(patterns, **kwargs), reference


ALPHABET = "ab aAéÉ,\t\n"
options = st.fixed_dictionaries(
    {
        "ci": st.booleans(),
        "sci": st.booleans(),
        "tok": st.sampled_from([" ", ",", "a", "", "é"]),
        "metric": st.sampled_from(["levenshtein", "indel", "jaro_winkler", "hamming"]),
        "threshold": st.sampled_from([0, 1, 2, 0.25, 0.5]),
        "kind": st.sampled_from([0, 1]),
        "strategies": st.sampled_from(
            [[], ["best_match"], ["longest"], ["shortest", "minimum_isolated_character"]]
        ),
    }
)


@given(
    mode=st.sampled_from(sorted(MODES)),
    s=st.text(ALPHABET, max_size=80),
    patterns=st.lists(st.text(ALPHABET, max_size=6), min_size=1, max_size=50),
    o=options,
    data=st.data(),
)
def test_matcher_finds_what_each_function_finds(mode, s, patterns, o, data):
    # Patterns cut from the text, duplicates among them, so that most sets have matches; the
    # longer ones have pieces long enough for every kind of piece search, and the short ones
    # among them hold back the scan's step for all.
    for _ in range(data.draw(st.integers(0, 5))):
        start = data.draw(st.integers(0, len(s)))
        patterns.append(s[start : start + data.draw(st.integers(0, 24))])
    if data.draw(st.booleans()):
        # Only long ones but the first: the scan steps over positions, and the short pattern's
        # pieces are searched for one by one.
        starts = data.draw(st.lists(st.integers(0, len(s)), max_size=8))
        patterns[1:] = [s[i : i + data.draw(st.integers(10, 30))] for i in starts]
    patterns.append(data.draw(st.sampled_from(patterns)))
    if "token" in mode and o["tok"] == "":
        patterns = [p for p in patterns if p] or ["a"]  # no token: refused, see below
    matcher, reference = matcher_and_reference(mode, patterns, o)
    assert matcher.find(s) == reference(s)


@pytest.mark.parametrize(
    "patterns, kwargs, s, expected",
    [
        # Each pattern resolves its own overlaps; duplicates get one copy of the matches each.
        (["ab", "a", "ab"], {"strategies": ["longest"]}, "xab",
         [(0, 1, 3, 0.0), (1, 1, 2, 0.0), (2, 1, 3, 0.0)]),
        (["abc", "ab"], {}, "abcab", [(0, 0, 3, 0.0), (1, 0, 2, 0.0), (1, 3, 5, 0.0)]),
        (["aa", "xa", "ay"], {}, "xaaay", [(1, 0, 2, 0.0), (0, 1, 3, 0.0), (2, 3, 5, 0.0)]),
        ([" b", "b", ""], {}, "a  b", [(0, 2, 4, 0.0), (1, 3, 4, 0.0)]),
        (["Jean Dupont", "jean"], {"tokenizer_pattern": ",", "case_insensitive": True},
         "JEAN dupont ,jean", [(0, 0, 12, 0.0), (1, 13, 17, 0.0)]),
        (["marchand"], {"metric": "levenshtein", "threshold": 1}, "Mme Marchnad, Marchand",
         [(0, 14, 22, 1.0)]),
        (["marchand"], {"metric": "levenshtein", "threshold": 2, "case_insensitive": True,
                        "tokenizer_pattern": " "}, "Mme Marchnad , Marchand",
         [(0, 4, 12, 2.0), (0, 15, 23, 0.0)]),
    ],
)
def test_matcher_table(patterns, kwargs, s, expected):
    assert veskal.Matcher(patterns, **kwargs).find(s) == expected
    assert [tuple(map(type, hit)) for hit in expected] == [(int, int, int, float)] * len(expected)


@pytest.mark.parametrize(
    "args, kwargs, exc_type, message",
    [
        ((), {}, TypeError, "Matcher() missing required argument 'patterns' (pos 1)"),
        (("ab",), {}, TypeError, "patterns must be an iterable of str, not a single str"),
        ((5,), {}, TypeError, "patterns must be an iterable of str, not int"),
        ((["a", None],), {}, TypeError, "patterns[1] must be str, not NoneType"),
        ((["a"], " "), {}, TypeError, "Matcher() takes at most 1 positional argument (2 given)"),
        ((["a"],), {"metric": "lev"}, ValueError, "metric must be one of 'levenshtein', "
         "'damerau_levenshtein', 'osa', 'hamming', 'indel', 'lcs_seq', 'prefix', 'postfix', "
         "'jaro', 'jaro_winkler', not 'lev'"),
        ((["a"],), {"metric": 1}, TypeError, "metric must be str or None, not int"),
        ((["a"],), {"tokenizer_pattern": b" "}, TypeError,
         "tokenizer_pattern must be str or None, not bytes"),
        ((["a"],), {"threshold": "1"}, TypeError, "threshold must be a real number, not str"),
        ((["a"],), {"threshold_kind": 256}, ValueError, "threshold_kind must be in 0..255"),
        ((["a"],), {"threshold_kind": 1.0}, TypeError, "threshold_kind must be int, not float"),
        ((["a"],), {"strategies": "longest"}, TypeError,
         "strategies must be an iterable of str, not a single str"),
        ((["a", ""],), {"tokenizer_pattern": ""}, ValueError,
         "patterns[1] is empty and so is tokenizer_pattern: it holds no token"),
    ],
)
def test_matcher_refused_arguments(args, kwargs, exc_type, message):
    raises_exactly(exc_type, message, lambda: veskal.Matcher(*args, **kwargs))


def test_matcher_method_arguments():
    # The interpreter words this one, differently from one version to the next.
    with pytest.raises(TypeError, match="'colour'"):
        veskal.Matcher(["a"], colour=1)
    m = veskal.Matcher(["a"])
    raises_exactly(TypeError, "find() argument must be str, not bytes", lambda: m.find(b"a"))
    raises_exactly(TypeError, "texts[1] must be str, not int", lambda: m.find_all(["a", 1]))
    raises_exactly(TypeError, "texts must be an iterable of str, not a single str",
                   lambda: m.find_all("a"))
    raises_exactly(ValueError, "threads must be at least 1", lambda: m.find_all(["a"], threads=0))
    raises_exactly(TypeError, "threads must be int, not float", lambda: m.find_all(["a"], 1.0))
    with pytest.raises(UnicodeEncodeError):
        m.find_all(["a", "b\udc80"])
    assert "Matcher" not in veskal.__all__ and veskal.Matcher.__module__ == "veskal"
    assert str(inspect.signature(m.find_all)) == "(texts, threads=None)"


@pytest.mark.parametrize("mode", sorted(MODES))
def test_matcher_pickles_as_its_arguments(mode):
    import copy
    import pickle

    o = {"ci": True, "sci": True, "tok": " ", "metric": "osa", "threshold": 0.5, "kind": 3,
         "strategies": ["longest"]}
    matcher, reference = matcher_and_reference(mode, ["Hélène", "é", "", "Hélène"], o)
    s = "helene HÉLÈNE hélèn é"
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        copied = pickle.loads(pickle.dumps(matcher, protocol))
        assert type(copied) is veskal.Matcher and copied is not matcher
        assert copied.find(s) == reference(s) == matcher.find(s)
    assert copy.deepcopy(matcher).find(s) == reference(s)


def test_matcher_find_all_keeps_input_order():
    m = veskal.Matcher(["ab", "ba"], metric="levenshtein", threshold=1)
    texts = [f"{'x' * i} ab ba {'é' * (i % 3)}" for i in range(100)]
    expected = [m.find(t) for t in texts]
    for threads in (None, 1, 2, 7, 1000):
        assert m.find_all(texts, threads=threads) == expected
    # Texts that only the iterator holds must live through the search.
    assert m.find_all(t + "" for t in (str(i) + " ab" for i in range(50))) == [
        m.find(str(i) + " ab") for i in range(50)
    ]
    assert m.find_all([]) == [] and m.find_all(iter(())) == []
    # Texts are checked for lone surrogates by the threads that search them, and yet the first
    # text that holds one raises, before any later wrong item or failing iterator.
    bad = "ab \udc80 ba"
    with pytest.raises(UnicodeEncodeError) as expected:
        bad.encode("utf-8")

    def failing():
        yield from ("ab", bad)
        raise ValueError("a later failure")

    # With flags the text is checked as it is copied, blocks in included.
    folding = veskal.Matcher(["ab", "ba"], case_insensitive=True, special_char_insensitive=True,
                             metric="levenshtein", threshold=1)
    for matcher in (m, folding):
        for text in (bad, "€" * 70_000 + bad, "É" * 70_000 + bad):
            with pytest.raises(UnicodeEncodeError) as wanted:
                text.encode("utf-8")
            with pytest.raises(UnicodeEncodeError) as info:
                matcher.find(text)
            assert info.value.args == wanted.value.args
        for texts in (lambda: ["ab"] * 5 + [bad] + ["ba"] * 50, lambda: ["ab", bad, "x" + bad],
                      lambda: ["ab", bad, 3], failing):
            for threads in (1, 2, 7):
                with pytest.raises(UnicodeEncodeError) as info:
                    matcher.find_all(texts(), threads=threads)
                assert info.value.args == expected.value.args
    with pytest.raises(TypeError):
        m.find_all(["ab", 3, bad])


def test_matcher_search_lets_other_threads_run():
    import threading
    import time

    m = veskal.Matcher([f"motif{i:03d}x" for i in range(40)], metric="levenshtein", threshold=2)
    text = "motif motif motof " * 10_000
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.01)

    ticker = threading.Thread(target=tick)
    ticker.start()
    try:
        started = time.perf_counter()
        m.find_all([text, text], threads=2)
        elapsed = time.perf_counter() - started
    finally:
        done.set()
        ticker.join()
    gaps = [b - a for a, b in zip(ticks, ticks[1:])]
    assert len(ticks) >= 3 and max(gaps) < 0.5, (elapsed, max(gaps))


def test_matcher_search_stops_on_ctrl_c():
    import signal
    import threading
    import time

    m = veskal.Matcher([f"motif{i:03d}x" for i in range(2000)], metric="levenshtein", threshold=2)
    text = "motif motif motof " * 50_000  # a minute's search
    for search in (lambda: m.find(text), lambda: m.find_all([text] * 4, threads=2)):
        timer = threading.Timer(0.3, signal.pthread_kill,
                                (threading.main_thread().ident, signal.SIGINT))
        started = time.perf_counter()
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            search()
        assert time.perf_counter() - started < 1.5
        timer.join()
    # The matcher stays usable.
    assert (1, 0, 9, 0.0) in m.find("motif001x")


# A child forked from a thread other than the main one: the forking thread is the child's main
# thread, and its searches answer Ctrl-C. The threads the parent kept for find_all did not come
# with it.
_CTRL_C_IN_A_CHILD_FORKED_FROM_A_THREAD = """
import os, signal, threading, time, veskal, warnings
warnings.simplefilter("ignore", DeprecationWarning)  # forking a process with threads
matcher = veskal.Matcher([f"motif{i:03d}x" for i in range(2000)], metric="levenshtein",
                         threshold=2)
text = "motif motif motof " * 50_000  # many seconds' search for each
searches = (lambda: matcher.find(text),
            lambda: matcher.find_all([text] * 4, threads=2),
            lambda: veskal.fuzzy_raw_extract(text, "motif motof " * 5, False, False,
                                             "damerau_levenshtein", 0.5, 1, []))
matcher.find_all(["motif001x"] * 4, threads=2)
def fork():
    pid = os.fork()
    if pid == 0:
        slow = 0
        for search in searches:
            threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT)).start()
            started = time.perf_counter()
            try:
                search()
            except KeyboardInterrupt:
                pass
            slow += time.perf_counter() - started > 1.5
        os._exit(slow)
    os._exit(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
threading.Thread(target=fork).start()
"""


def test_searches_stop_on_ctrl_c_in_a_child_forked_from_a_thread():
    run = subprocess.run([sys.executable, "-c", _CTRL_C_IN_A_CHILD_FORKED_FROM_A_THREAD],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, (run.returncode, run.stderr)


@pytest.mark.cluster
def test_matcher_on_a_dask_cluster_equals_the_serial_run(tmp_path):
    distributed = pytest.importorskip("distributed")
    dask = pytest.importorskip("dask")
    import pathlib
    import runpy

    # Loaded from its file, the example's functions travel to the workers by value.
    example = runpy.run_path(
        str(pathlib.Path(__file__).resolve().parents[2] / "examples" / "dask_search.py")
    )
    m = veskal.Matcher(["Dupont", "Lefèvre", "rue de la"], metric="levenshtein", threshold=1,
                       case_insensitive=True)
    texts = [f"M. Dupond, {i} rue de la Paix; Mme Lefevre ({i})" for i in range(20)]
    for i, text in enumerate(texts):
        (tmp_path / f"{i:02d}.txt").write_text(text, encoding="utf-8")
    # Workers forked from a server process start in half the time spawned ones take, without
    # forking this multi-threaded process.
    with dask.config.set({"distributed.worker.multiprocessing-method": "forkserver"}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                     dashboard_address=None) as cluster:
        with distributed.Client(cluster, timeout=60) as client:
            found = example["search_folder"](client, m, tmp_path)
    assert list(found.values()) == m.find_all(texts)
    assert sum(map(len, found.values())) == 3 * len(texts)
