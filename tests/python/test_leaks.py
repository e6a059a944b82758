"""A million calls through every path of the binding (results, binding and conversion errors,
engine failures) must leave neither memory nor references behind."""

import gc
import os
import sys

import pytest

import veskal

CALLS = 1_000_000

pytestmark = pytest.mark.skipif(
    not sys.platform.startswith("linux"), reason="reads /proc/self/statm"
)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Index:
    def __index__(self):
        return 1


class Wide(str):
    pass


class Failing(list):
    def __iter__(self):
        raise TypeError("no iteration")


# Built at run time: constants may be immortal, and their counts would prove nothing.
text = "".join(["x b ", "a b"])
pattern = "b"
strategies = ["longest", "".join(["best", "_match"])]
index = Index()
failing = Failing(["longest"])
surrogate = "b" + chr(0xDC80)
# One text per storage width, and a subclass, whose encoding takes each its own path.
wide = ["".join(["x é ", c, " b"]) for c in ("é", "€", "😀")] + [Wide("€ b")]
wide_surrogate = "".join(["😀 b", chr(0xD800)])
WATCHED = (text, strategies, strategies[1], index, failing, surrogate, wide_surrogate, *wide)


def one_of_each():
    """Calls through every path once; returns how many calls it made."""
    found = veskal.exact_token_extract(text, pattern, " ", False, False)
    assert found == [(2, 3, 0.0), (6, 7, 0.0)]
    veskal.exact_raw_extract(s=text, pattern=pattern, case_insensitive=True,
                             special_char_insensitive=False, strategies=strategies)
    veskal.fuzzy_raw_extract(text, pattern, False, False, "levenshtein", 1, index, strategies)
    for s in wide:
        assert veskal.exact_raw_extract(s, pattern, False, False, [s])[-1][1] == len(s)
    matcher = veskal.Matcher([pattern, wide[3]], metric="levenshtein", strategies=strategies)
    assert matcher.find(text) == [(0, 2, 3, 0.0), (0, 6, 7, 0.0)]
    assert len(matcher.find_all([text, *wide], threads=1)) == 1 + len(wide)
    matcher.__reduce__()
    for bad in (
        lambda: veskal.Matcher(text),
        lambda: veskal.Matcher([pattern, surrogate]),
        lambda: veskal.Matcher(strategies, metric="lev"),
        lambda: veskal.Matcher(strategies, threshold_kind=index, strategies=failing),
        lambda: matcher.find_all([text, wide_surrogate]),
        lambda: matcher.find(index),
        lambda: matcher.find(wide_surrogate),
    ):
        try:
            bad()
        except (TypeError, ValueError, UnicodeEncodeError):
            pass
        else:
            raise AssertionError("expected a failure")
    for bad in (
        lambda: veskal.exact_token_extract(text, pattern, " ", 1, False),
        lambda: veskal.exact_raw_extract(text, pattern, False, False, [pattern, 3]),
        lambda: veskal.exact_raw_extract(text, pattern, False, False, failing),
        lambda: veskal.exact_raw_extract(text, pattern, False, False),
        lambda: veskal.exact_raw_extract(text, pattern, False, False, strategies, s=text),
        lambda: veskal.fuzzy_raw_extract(text, pattern, False, False, "levenshtein", 1, 256, []),
        lambda: veskal.fuzzy_token_extract(text, surrogate, " ", False, False, "x", 1, 0, []),
        lambda: veskal.exact_raw_extract(text, pattern, False, False, [wide_surrogate]),
        lambda: veskal.exact_token_extract(text, "", "", False, False),
        lambda: veskal.fuzzy_raw_extract(text, pattern, False, False, "lev", 1, 0, strategies),
    ):
        try:
            bad()
        except (TypeError, OverflowError, UnicodeEncodeError, veskal.PanicException):
            pass
        else:
            raise AssertionError("expected a failure")
    return 23 + len(wide)


def test_no_growth_over_a_million_calls():
    for _ in range(2_000):
        one_of_each()
    gc.collect()
    counts = [sys.getrefcount(o) for o in WATCHED]
    rss = rss_bytes()

    calls = 0
    while calls < CALLS:
        calls += one_of_each()

    gc.collect()
    assert [sys.getrefcount(o) for o in WATCHED] == counts
    # One leaked object per call would be tens of megabytes.
    assert rss_bytes() - rss < 4 * 2**20
