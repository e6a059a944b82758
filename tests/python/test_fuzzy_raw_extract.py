"""fuzzy_raw_extract: edge cases, and agreement with the model on small texts."""

import math
import subprocess
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import model_fuzzy
import veskal


def raw(s, pattern, metric="levenshtein", threshold=1, kind=0, strategies=(), ci=False, sci=False):
    return veskal.fuzzy_raw_extract(s, pattern, ci, sci, metric, threshold, kind, list(strategies))


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        (("the quick brwn fox", "brown", "levenshtein", 1, 0, ["best_match"]), [(9, 14, 1.0)]),
        (("abcdefg", "cde", "levenshtein", 0, 0), [(2, 5, 0.0)]),
        (("xabcx", "abc", "levenshtein", 2, 0, ["best_match"]), [(1, 4, 0.0)]),
        (("xabcx", "abc", "levenshtein", 0.34, 1, ["shortest"]), [(1, 3, 1 / 3)]),
        (("xxxxabc", "abc", "levenshtein", 0.34, 1, ["best_match"]), [(4, 7, 0.0)]),
        (("xxxxabc", "abc", "levenshtein", 0.34, 1, ["longest"]), [(3, 7, 0.25)]),
        (("ab cd", "cd", "levenshtein", 1, 0), [(2, 4, 1.0)]),
        # A pattern of blanks trims to nothing and matches every window of blanks.
        (("a  b", "  ", "levenshtein", 0, 0), [(1, 3, 0.0)]),
        (("abc", "abc", "levenshtein", math.nan, 1), []),
        (("abc", "abc", "levenshtein", -1.0, 1), []),
        (("abc", "abc", "levenshtein", 1e300, 1), [(0, 3, 0.0)]),
        # Lower-casing U+0130 adds a character, which moves every later position.
        (("\u0130\u00c9T\u00c9", "ete", "levenshtein", 0, 0, [], True, True), [(2, 5, 0.0)]),
    ],
)
def test_edge_cases(args, expected):
    assert raw(*args) == expected


@pytest.mark.parametrize(("s", "pattern"), [("", "abc"), ("abc", ""), ("", "")])
def test_nothing_compared_means_no_metric_check(s, pattern):
    assert raw(s, pattern, metric="lev") == []


@pytest.mark.parametrize("threshold", [1.0, -1.0, math.nan])
def test_unknown_metric_panics(threshold):
    with pytest.raises(veskal.PanicException, match="^Invalid distance metric$"):
        try:
            raw("abc", "b", metric="Levenshtein", threshold=threshold, kind=1)
        except Exception:  # a panic must not be caught as an ordinary error
            pytest.fail("PanicException caught by except Exception")


def test_keywords_and_positions_agree():
    args = ("the quick brwn fox", "brown", False, False, "levenshtein", 1, 0, ["best_match"])
    names = ("s", "pattern", "case_insensitive", "special_char_insensitive", "metric", "threshold",
             "threshold_kind", "strategies")
    kwargs = dict(reversed(list(zip(names, args))))
    assert veskal.fuzzy_raw_extract(*args) == veskal.fuzzy_raw_extract(**kwargs) == [(9, 14, 1.0)]


small_text = st.one_of(
    st.text(st.sampled_from("ab c\u00e9\n"), max_size=14),
    st.text(st.sampled_from("ab c\u00e9\n\u0153\U0001F600"), max_size=14),
)
strategy_names = st.lists(
    st.sampled_from(["best_match", "shortest", "longest", "minimum_isolated_character", "first"]),
    max_size=3,
)


@settings(max_examples=400)
@given(
    s=small_text,
    pattern=st.text(st.sampled_from("ab c\u00e9\u0153\u20ac"), max_size=5),
    metric=st.sampled_from(model_fuzzy.METRICS),
    threshold=st.sampled_from([0, 0.2, 0.25, 1 / 3, 0.34, 0.5, 1, 2, 3, -0.5, math.nan, math.inf]),
    kind=st.sampled_from([0, 1, 2]),
    strategies=strategy_names,
    flags=st.tuples(st.booleans(), st.booleans()),
)
def test_agrees_with_model(s, pattern, metric, threshold, kind, strategies, flags):
    ci, sci = flags
    args = (s, pattern, ci, sci, metric, threshold, kind, strategies)
    assert veskal.fuzzy_raw_extract(*args) == model_fuzzy.fuzzy_raw_extract(*args)


# Longer patterns and texts made of their near copies: the engine then skips the windows that no
# piece of the pattern reaches, and must still find exactly what the model finds. Repeated, the
# texts span the rounds of the vectors that look for the pieces, and their ends.
near_copies = st.lists(
    st.one_of(
        st.text(st.sampled_from("abcd \t\u00a0\u00e9\u4e2d"), max_size=4),
        st.sampled_from(["COPY", "EDIT"]),
    ),
    max_size=10,
)


@settings(max_examples=300)
@given(
    pattern=st.text(st.sampled_from("abcd \u00e9\u4e2d"), min_size=4, max_size=12),
    parts=near_copies,
    metric=st.sampled_from(model_fuzzy.METRICS),
    threshold=st.sampled_from([1, 2, 3, 0.2, 0.25, 1 / 3]),
    strategies=strategy_names,
    repeat=st.sampled_from([1, 4]),
)
def test_agrees_with_model_near_copies(pattern, parts, metric, threshold, strategies, repeat):
    middle = len(pattern) // 2
    edited = pattern[:middle] + "x" + pattern[middle + 1 :]
    s = "".join({"COPY": pattern, "EDIT": edited}.get(p, p) for p in parts) * repeat
    kind = 0 if threshold >= 1 else 1
    expected = model_fuzzy.fuzzy_raw_extract(
        s, pattern, False, False, metric, threshold, kind, strategies
    )
    assert raw(s, pattern, metric, threshold, kind, strategies) == expected


# Every window matching at the widest margin makes one cluster of millions of candidates: memory
# must stay a small multiple of the text, not grow with the candidates.
def test_widest_margin_keeps_memory_bounded():
    script = """
import resource, veskal
text = ("Lorem ipsum dolor sit amet, consectetur adipiscing elit. " * 200)[:8000]
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
found = veskal.fuzzy_raw_extract(text, text[100:250], False, False, "levenshtein", 1.0, 1, [])
grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
print(len(found), grown)
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    found, grown_kib = map(int, out.stdout.split())
    assert found == 1
    assert grown_kib < 32 * 1024
