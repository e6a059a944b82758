"""The libraries and plain-Python loops that the module is compared with.

Every peer returns a list of spans so that the work of building the result is timed on
both sides. A peer whose package fails to import is recorded in MISSING and skipped.
"""

from __future__ import annotations

import importlib
import re
from collections.abc import Callable

MISSING: dict[str, str] = {}


def _load(module: str):
    try:
        return importlib.import_module(module)
    except Exception as exc:  # any import failure only removes that peer
        MISSING[module] = f"{type(exc).__name__}: {exc}"
        return None


flashtext = _load("flashtext")
ahocorasick = _load("ahocorasick")
stringzilla = _load("stringzilla")
fuzzysearch = _load("fuzzysearch")
regex = _load("regex")
edlib = _load("edlib")
rapidfuzz_distance = _load("rapidfuzz.distance")


def versions() -> dict[str, str]:
    from importlib import metadata

    out = {}
    for dist in ("flashtext", "pyahocorasick", "stringzilla", "fuzzysearch", "regex", "edlib",
                 "rapidfuzz"):
        try:
            out[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            out[dist] = "missing"
    return out


# --- exact tokens --------------------------------------------------------------------------


def split_loop(text: str, pattern: str) -> list[tuple[int, int, float]]:
    """Blank-separated tokens that equal the pattern once trimmed, with character spans.

    The same answer as the module's token search for a one-token pattern and the separator
    " ": runs of blanks yield empty tokens, which never equal a non-empty pattern. The `in`
    test is only a cheap filter before the exact trimmed comparison.
    """
    out = []
    pos = 0
    for tok in text.split(" "):
        if pattern in tok and tok.strip() == pattern:
            out.append((pos, pos + len(tok), 0.0))
        pos += len(tok) + 1
    return out


def flashtext_prepare(pattern: str):
    if flashtext is None:
        return None
    kp = flashtext.KeywordProcessor(case_sensitive=True)
    kp.add_keyword(pattern)
    return kp


def flashtext_extract(kp, text: str):
    # flashtext cuts words at any non-word character, not only at blanks, so it finds more.
    return kp.extract_keywords(text, span_info=True)


# --- exact raw -----------------------------------------------------------------------------


def find_loop(text: str, pattern: str) -> list[tuple[int, int]]:
    """Every occurrence, overlapping ones included."""
    out = []
    m = len(pattern)
    i = text.find(pattern)
    while i >= 0:
        out.append((i, i + m))
        i = text.find(pattern, i + 1)
    return out


def re_lookahead(text: str, pattern: str) -> list[tuple[int, int]]:
    m = len(pattern)
    return [(x.start(), x.start() + m) for x in re.finditer(f"(?={re.escape(pattern)})", text)]


def ahocorasick_prepare(pattern: str):
    if ahocorasick is None:
        return None
    automaton = ahocorasick.Automaton()
    automaton.add_word(pattern, len(pattern))
    automaton.make_automaton()
    return automaton


def ahocorasick_iter(automaton, text: str) -> list[tuple[int, int]]:
    return [(end - m + 1, end + 1) for end, m in automaton.iter(text)]


def stringzilla_prepare(text: str):
    """Wraps the UTF-8 bytes; the reported spans are then byte offsets."""
    if stringzilla is None:
        return None
    data = text.encode("utf-8")
    return data, stringzilla.Str(data)


def stringzilla_find_loop(haystack, pattern: str) -> list[tuple[int, int]]:
    _, s = haystack
    needle = pattern.encode("utf-8")
    m = len(needle)
    out = []
    i = s.find(needle)
    while i >= 0:
        out.append((i, i + m))
        i = s.find(needle, i + 1)
    return out


# --- fuzzy raw -----------------------------------------------------------------------------


def fuzzysearch_find(text: str, pattern: str, k: int):
    return fuzzysearch.find_near_matches(pattern, text, max_l_dist=k)


def regex_prepare(pattern: str, k: int):
    if regex is None:
        return None
    return regex.compile(f"(?:{regex.escape(pattern)}){{e<={k}}}")


def regex_find(compiled, text: str):
    return [m.span() for m in compiled.finditer(text, overlapped=True)]


def edlib_find(text: str, pattern: str, k: int):
    # edlib reports only the locations at the best distance found within k.
    return edlib.align(pattern, text, mode="HW", task="locations", k=k)["locations"]


# --- fuzzy tokens --------------------------------------------------------------------------

_TOKEN = re.compile(r"[^ ]+")


def token_window_loop(text: str, pattern: str, k: int) -> list[tuple[int, int, float]]:
    """Runs of as many blank-separated tokens as the pattern has, within Levenshtein k."""
    distance: Callable = rapidfuzz_distance.Levenshtein.distance
    window = len(pattern.split(" "))
    pattern = pattern.strip()
    spans = [m.span() for m in _TOKEN.finditer(text)]
    out = []
    for i in range(len(spans) - window + 1):
        start = spans[i][0]
        end = spans[i + window - 1][1]
        d = distance(text[start:end].strip(), pattern, score_cutoff=k)
        if d <= k:
            out.append((start, end, float(d)))
    return out
