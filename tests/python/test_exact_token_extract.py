import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import model
import veskal

I_DOT = "\u0130"
SIGMA = "\u03a3"

# (s, pattern, tokenizer_pattern, case_insensitive, special_char_insensitive, expected)
CASES = [
    ("a b c", "b", " ", False, False, [(2, 3, 0.0)]),
    ("x a b y", "a b", " ", False, False, [(2, 5, 0.0)]),
    ("a a a", "a a", " ", False, False, [(0, 3, 0.0), (2, 5, 0.0)]),
    ("a, b", "b", ",", False, False, [(2, 4, 0.0)]),
    ("a b", " b", " ", False, False, []),
    ("a b", "b", " ", False, False, [(2, 3, 0.0)]),
    ("a  b", "a  b", " ", False, False, []),
    ("a  b", "a b", " ", False, False, []),
    ("A B", "b", " ", True, False, [(2, 3, 0.0)]),
    ("a\nb c", "b", "\n", False, False, [(2, 3, 0.0)]),
    (I_DOT + "x b", "b", " ", True, False, [(4, 5, 0.0)]),
    ("", "a", " ", False, False, []),
    ("a, ,b", "", ",", False, False, [(2, 3, 0.0)]),
    ("--ab", "", "--", False, False, [(0, 0, 0.0)]),
    ("abc", " ", "", False, False, [(0, 0, 0.0)]),
    ("abc", "a", "", False, False, []),
    ("x@y\u00e0z\u00e2w\u00e4v", "z", "@", False, True, [(4, 5, 0.0)]),
    ("\u00c9t\u00e9 \u00e9t\u00e9", "\u00e9t\u00e9", " ", False, True, [(4, 7, 0.0)]),
    ("\u00c9t\u00e9 \u00e9t\u00e9", "\u00e9t\u00e9", " ", True, True, [(0, 3, 0.0), (4, 7, 0.0)]),
    ("\u00ee \u00f4", "\u00ee", " ", True, True, [(0, 1, 0.0)]),
    ("OD" + SIGMA + " x", "od\u03c2", " ", True, False, [(0, 3, 0.0)]),
    ("pabababaq", "q", "aba", False, False, [(8, 9, 0.0)]),
]


@pytest.mark.parametrize("s, pattern, sep, ci, sci, expected", CASES)
def test_cases(s, pattern, sep, ci, sci, expected):
    assert veskal.exact_token_extract(s, pattern, sep, ci, sci) == expected
    assert model.exact_token_extract(s, pattern, sep, ci, sci) == expected


@pytest.mark.parametrize("s", ["", "abc"])
def test_empty_pattern_and_separator_panic(s):
    with pytest.raises(BaseException) as info:
        try:
            veskal.exact_token_extract(s, "", "", False, False)
        except Exception:  # pragma: no cover - the panic must not be an Exception
            pytest.fail("caught by `except Exception`")
    assert type(info.value).__name__ == "PanicException"
    assert info.value.args == (
        "index out of bounds: the len is 1 but the index is 18446744073709551615",
    )


def test_keyword_arguments():
    assert veskal.exact_token_extract(
        s="a b", pattern="b", tokenizer_pattern=" ", case_insensitive=False,
        special_char_insensitive=False,
    ) == [(2, 3, 0.0)]


def test_long_text_positions():
    words = ["rue", "de", "la", "Paix", "\u00e9t\u00e9", I_DOT, "\n"] * 20000
    text = " ".join(words)
    got = veskal.exact_token_extract(text, "la paix", " ", True, False)
    assert got == model.exact_token_extract(text, "la paix", " ", True, False)
    assert len(got) == 20000


# Texts of every storage width; patterns and separators often wider than the text.
LATIN1 = ["a", "b", "A", " ", "\n", ",", "-", "@", "\u00e9", "\u00c9", "\u00e0", "'"]
ALPHABET = LATIN1 + [I_DOT, SIGMA, "\u03c3", "\u0178", "\u20ac", "\U0001F600"]
texts = st.one_of(
    st.lists(st.sampled_from(LATIN1), max_size=20), st.lists(st.sampled_from(ALPHABET), max_size=20)
).map("".join)
separators = st.one_of(
    st.sampled_from(["", " ", ",", "--", "ab", "aba", "\n", "@", "a", "\u00e9", "a a", "\u20ac",
                     "\U0001F600"]),
    st.lists(st.sampled_from(ALPHABET), min_size=1, max_size=3).map("".join),
)


@settings(max_examples=1500, deadline=None)
@given(s=texts, pattern=texts, sep=separators, ci=st.booleans(), sci=st.booleans())
def test_matches_model(s, pattern, sep, ci, sci):
    try:
        expected = model.exact_token_extract(s, pattern, sep, ci, sci)
    except model.IndexFault as fault:
        with pytest.raises(BaseException, match="^index out of bounds") as info:
            veskal.exact_token_extract(s, pattern, sep, ci, sci)
        assert info.value.args == (str(fault),)
        return
    assert veskal.exact_token_extract(s, pattern, sep, ci, sci) == expected


# Characters that the module's Unicode data and this interpreter's both know and can encode.
any_char = st.characters(blacklist_categories=("Cs", "Cn"))


@settings(max_examples=1500, deadline=None)
@given(st.lists(st.one_of(any_char, st.sampled_from([SIGMA, I_DOT, " ", "'", "."])),
                max_size=12).map("".join))
def test_lowercase_agrees_with_python(s):
    # One token per text: the module lowercases both sides, so the whole text matches its
    # Python lowercase only if the two lowercasings agree (lowercase is idempotent).
    s = s.replace("\x00", "")
    lowered = model.preprocess(s, True, False)
    expected = [(0, len(lowered), 0.0)] if s else []
    assert veskal.exact_token_extract(s, lowered, "\x00", True, False) == expected
