"""Every metric scores exactly as the rapidfuzz package does, reached through the engines."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import veskal
from model import preprocess, trim
from model_fuzzy import METRICS, score

# Never occurs in the texts below, so a text is one token and the item is the whole text.
SEPARATOR = "\x00"

texts = st.text(
    st.characters(blacklist_categories=("Cs",), blacklist_characters=SEPARATOR), max_size=40
)
# Mostly near each other, so that small distances and prefixes are common.
small = st.text(st.sampled_from("ab \u00e9\u4e2d\U0001f600\n"), max_size=12)


def token_score(text, pattern, metric, kind, threshold=math.inf):
    return veskal.fuzzy_token_extract(
        text, pattern, SEPARATOR, False, False, metric, threshold, kind, []
    )


@pytest.mark.parametrize("metric", METRICS)
@pytest.mark.parametrize("kind", [0, 1])
@settings(max_examples=150)
@given(data=st.data())
def test_score_equals_rapidfuzz(metric, kind, data):
    strings = data.draw(st.one_of(texts, small))
    pattern = data.draw(st.one_of(texts, small, st.just(strings)))
    text = strings
    if not preprocess(text, False, False):
        assert token_score(text, pattern, metric, kind) == []
        return
    expected = score(trim(preprocess(text, False, False)), trim(preprocess(pattern, False, False)),
                     metric, kind)
    n = len(text)
    assert token_score(text, pattern, metric, kind) == [(0, n, expected)]
    # The threshold is inclusive, to the last bit, whatever cutoff the engine uses inside.
    assert token_score(text, pattern, metric, kind, expected) == [(0, n, expected)]
    assert token_score(text, pattern, metric, kind, math.nextafter(expected, -math.inf)) == []


@pytest.mark.parametrize("metric", METRICS)
@settings(max_examples=60)
@given(text=small.filter(bool), pattern=small)
def test_raw_engine_full_window_scores(metric, text, pattern):
    # With the raw kind and a pattern as long as the text, the first window is the whole text.
    pattern = (pattern + "x" * len(text))[: len(text)]
    got = veskal.fuzzy_raw_extract(text, pattern, False, False, metric, math.inf, 0, [])
    t, p = preprocess(text, False, False), preprocess(pattern, False, False)
    assert got == [(0, len(text), score(trim(t), trim(p), metric, 0))]
