"""exact_raw_extract: edge cases, and agreement with the literal model on small texts."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

import model_solver
import veskal

ALL_NAMES = ["best_match", "shortest", "longest", "minimum_isolated_character"]


def raw(s, pattern, strategies=(), ci=False, sci=False):
    return veskal.exact_raw_extract(s, pattern, ci, sci, list(strategies))


@pytest.mark.parametrize(
    ("s", "pattern", "strategies", "expected"),
    [
        ("abc", "", ALL_NAMES, []),
        ("", "a", ALL_NAMES, []),
        ("", "", ["first"], []),
        ("abc", "abcd", [], []),
        # Edge white space in the pattern is matched by white space on either side, or by the
        # end of the text.
        ("the cat", " cat", [], [(3, 7, 0.0)]),
        ("the cat", " cat", ["shortest"], [(4, 7, 0.0)]),
        ("cat dog", " cat", [], [(0, 4, 0.0)]),
        ("abc", "abc ", [], [(0, 3, 0.0)]),
        ("x\u00a0ab\u3000y", " ab ", [], [(1, 5, 0.0)]),
        ("a\tb a b", "a b", [], [(4, 7, 0.0)]),
        # A pattern of white space matches inside runs of white space only.
        ("a   b ", "  ", [], [(1, 3, 0.0), (5, 6, 0.0)]),
        ("a b", "  ", [], []),
        ("a  b", "\u3000", [], [(1, 2, 0.0)]),
        # Overlapping and touching occurrences collapse into their first.
        ("aaaa", "aa", ALL_NAMES, [(0, 2, 0.0)]),
        ("abab", "ab", ALL_NAMES, [(0, 2, 0.0)]),
        ("aaa", "a", ["longest", "first"], [(0, 1, 0.0)]),
        ("a a a", "a", [], [(0, 1, 0.0), (2, 3, 0.0), (4, 5, 0.0)]),
        # Unknown names are no error; they settle the group on its first window.
        ("the cat", " cat", ["first", "shortest"], [(3, 7, 0.0)]),
        ("the cat", " cat", ["Shortest"], [(3, 7, 0.0)]),
        # Windows (1, 4), (2, 4) and (3, 4) hold 2, 1 and 0 isolated characters.
        ("x  a", "  a", ["minimum_isolated_character"], [(3, 4, 0.0)]),
        ("x  a", "  a", ["longest", "minimum_isolated_character"], [(1, 4, 0.0)]),
        ("\u00e9t\u00e9 \u00e9t\u00e9", "t\u00e9", [], [(1, 3, 0.0), (5, 7, 0.0)]),
    ],
)
def test_cases(s, pattern, strategies, expected):
    assert raw(s, pattern, strategies) == expected


@pytest.mark.parametrize(
    ("s", "pattern", "ci", "sci", "expected"),
    [
        ("Cat", "cat", False, False, []),
        ("caf\u00e9", "cafe", False, False, []),
        ("a\nb", "a b", False, False, [(0, 3, 0.0)]),
        ("a b", "a\nb", False, False, [(0, 3, 0.0)]),
        ("CAF\u00c9", "caf\u00e9", True, False, [(0, 4, 0.0)]),
        ("CAF\u00c9", "cafe", False, True, []),
        ("CAF\u00c9", "cafe", True, True, [(0, 4, 0.0)]),
        ("\u20ac@", "ea", False, True, [(0, 2, 0.0)]),
        # The lowercased U+0130 takes two characters, moving every later position.
        ("\u0130ab", "ab", True, False, [(2, 4, 0.0)]),
        ("\u0130ab", "ab", False, False, [(1, 3, 0.0)]),
    ],
)
def test_normalisation(s, pattern, ci, sci, expected):
    assert raw(s, pattern, ci=ci, sci=sci) == expected


def test_strategies_accepts_any_sequence_of_names():
    assert veskal.exact_raw_extract("abab", "ab", False, False, ()) == [(0, 2, 0.0)]
    assert veskal.exact_raw_extract("abab", "ab", False, False, ("best_match", "")) == [
        (0, 2, 0.0)
    ]


def test_long_runs_stay_linear():
    # A million touching occurrences form one group; a quadratic grouping would not finish.
    assert raw("a" * 1_000_000, "a", ["best_match"]) == [(0, 1, 0.0)]
    assert raw(" " * 1_000_000, "  ", ["longest"]) == [(0, 2, 0.0)]
    result = raw("ab   " * 300_000, " ab", ["shortest"])
    assert len(result) == 300_000 and result[1] == (4, 7, 0.0)


# Characters of every storage width (Latin-1, BMP, astral), and ones that narrow a text once
# normalised (U+0178 lowercases into Latin-1, the euro sign folds to e).
LATIN1 = ["a", "a", "b", " ", " ", "\t", "\n", "\u00a0", "\u00e9", "\u00c9", "\u00ff", "@"]
WIDE = ["\u3000", "\u0130", "\u0178", "\u2019", "\u20ac", "\U0001F600"]
ALPHABET = st.sampled_from(LATIN1 + WIDE)
texts = st.one_of(
    st.lists(st.sampled_from(LATIN1), max_size=24), st.lists(ALPHABET, max_size=24)
).map("".join)
names = st.lists(st.sampled_from(ALL_NAMES + ["other"]), max_size=3)


@st.composite
def patterns(draw, text):
    kind = draw(st.integers(0, 2))
    if kind == 0 and text:
        i = draw(st.integers(0, len(text) - 1))
        core = text[i : draw(st.integers(i, len(text)))]
    elif kind == 1:
        core = draw(st.text(st.sampled_from(" \u3000\t"), max_size=4))
    else:
        core = draw(st.lists(ALPHABET, max_size=5).map("".join))
    left = draw(st.sampled_from(["", " ", "\t", "  "]))
    right = draw(st.sampled_from(["", " ", "\u00a0"]))
    return left + core + right


@given(data=st.data(), s=texts, ci=st.booleans(), sci=st.booleans(), strategies=names)
def test_agrees_with_model(data, s, ci, sci, strategies):
    pattern = data.draw(patterns(s))
    expected = model_solver.exact_raw_extract(s, pattern, ci, sci, strategies)
    assert raw(s, pattern, strategies, ci=ci, sci=sci) == expected
