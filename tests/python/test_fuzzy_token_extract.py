"""fuzzy_token_extract: edge cases, and agreement with the model on small texts."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import model_fuzzy
import veskal


def tokens(s, pattern, sep=" ", metric="levenshtein", threshold=0, kind=0, strategies=(), ci=False):
    return veskal.fuzzy_token_extract(
        s, pattern, sep, ci, False, metric, threshold, kind, list(strategies)
    )


@pytest.mark.parametrize(
    ("args", "expected"),
    [
        (("a b", "b"), [(2, 3, 0.0)]),
        (("new york city", "new yrok", " ", "levenshtein", 2), [(0, 8, 2.0)]),
        (("new york city", "new yrok", " ", "levenshtein", 0.25, 1), [(0, 8, 0.25)]),
        (("new york", "new york city", " ", "levenshtein", 100), []),
        (("new   york", "new york", " ", "levenshtein", 2), [(0, 10, 2.0)]),
        (("new   york", "new york", " ", "levenshtein", 1), []),
        # Two blanks in the pattern make three tokens, compared with runs of three.
        (("a b c d", "b  d", " ", "levenshtein", 1), [(2, 7, 1.0)]),
        # The separator is normalised with the text.
        (("AxBXc", "b", "X", "levenshtein", 0, 0, [], True), [(2, 3, 0.0)]),
        (("a b", "b", " ", "jaro", math.nan, 1), []),
    ],
)
def test_edge_cases(args, expected):
    assert tokens(*args) == expected


def test_fewer_tokens_than_pattern_skips_the_metric():
    assert tokens("a b", "a b c", metric="lev") == []


def test_unknown_metric_panics():
    with pytest.raises(veskal.PanicException, match="^Invalid distance metric$"):
        tokens("a b", "b", metric="lev")


def test_empty_pattern_and_separator_panic():
    message = "^index out of bounds: the len is 1 but the index is "
    with pytest.raises(veskal.PanicException, match=message):
        tokens("abc", "", "", metric="lev")


small_text = st.one_of(
    st.text(st.sampled_from("ab c\u00e9\n-"), max_size=16),
    st.text(st.sampled_from("ab c\u00e9\n-\u0153\U0001F600"), max_size=16),
)


@settings(max_examples=400)
@given(
    s=small_text,
    pattern=st.text(st.sampled_from("ab c\u00e9-\u20ac"), max_size=6),
    sep=st.sampled_from([" ", "-", "--", "b", "C", " -", "\u20ac", "\U0001F600"]),
    metric=st.sampled_from(model_fuzzy.METRICS),
    threshold=st.sampled_from([0, 0.25, 1 / 3, 0.5, 1, 2, 3, -1, math.nan, math.inf]),
    kind=st.sampled_from([0, 1]),
    strategies=st.lists(
        st.sampled_from(["best_match", "shortest", "longest", "minimum_isolated_character", "x"]),
        max_size=3,
    ),
    ci=st.booleans(),
)
def test_agrees_with_model(s, pattern, sep, metric, threshold, kind, strategies, ci):
    args = (s, pattern, sep, ci, False, metric, threshold, kind, strategies)
    assert veskal.fuzzy_token_extract(*args) == model_fuzzy.fuzzy_token_extract(*args)
