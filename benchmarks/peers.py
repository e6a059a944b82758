"""The libraries and plain-Python loops that veskal is compared with.

Every peer takes the caller's str and returns a list, so that whatever it must do to get from
the str to a result (encoding, lowercasing, building spans) is in its time, as it is in veskal's.
A peer whose package fails to import is recorded in MISSING and skipped.
"""

from __future__ import annotations

import importlib
from collections.abc import Callable

MISSING: dict[str, str] = {}


def _load(module: str):
    try:
        return importlib.import_module(module)
    except Exception as exc:  # any import failure only removes that peer
        MISSING[module] = f"{type(exc).__name__}: {exc}"
        return None


flashtext = _load("flashtext")
flashtext2 = _load("flashtext2")
ahocorasick = _load("ahocorasick")
stringzilla = _load("stringzilla")
fuzzysearch = _load("fuzzysearch")
regex = _load("regex")
edlib = _load("edlib")
rf_distance = _load("rapidfuzz.distance")

DISTRIBUTIONS = ("flashtext", "flashtext2", "pyahocorasick", "stringzilla", "fuzzysearch",
                 "regex", "edlib", "rapidfuzz")


def versions() -> dict[str, str]:
    from importlib import metadata

    out = {}
    for dist in DISTRIBUTIONS:
        try:
            out[dist] = metadata.version(dist)
        except metadata.PackageNotFoundError:
            out[dist] = "missing"
    return out


# --- exact raw -----------------------------------------------------------------------------


def find_loop(text: str, pattern: str) -> list[tuple[int, int]]:
    """Every occurrence, overlapping ones included, as character spans."""
    out = []
    m = len(pattern)
    find = text.find
    i = find(pattern)
    while i >= 0:
        out.append((i, i + m))
        i = find(pattern, i + 1)
    return out


def spaced_find(text: str, pattern: str) -> list[tuple[int, int]]:
    """find_loop where a line feed of the text stands for a space, as between words."""
    return find_loop(text.replace("\n", " "), pattern)


def _zilla_loop(s, needle: bytes) -> list[tuple[int, int]]:
    out = []
    m = len(needle)
    find = s.find
    i = find(needle)
    while i >= 0:
        out.append((i, i + m))
        i = find(needle, i + 1)
    return out


def stringzilla_str(text: str, pattern: str) -> list[tuple[int, int]]:
    """StringZilla on the caller's str: it reads the str's UTF-8 form, which CPython makes (and
    caches on the object) the first time; spans are byte offsets, not characters."""
    return _zilla_loop(stringzilla.Str(text), pattern.encode("utf-8"))


def stringzilla_bytes(data: bytes, pattern: str) -> list[tuple[int, int]]:
    """The limit: bytes encoded before the clock starts, byte offsets."""
    return _zilla_loop(stringzilla.Str(data), pattern.encode("utf-8"))


def ahocorasick_automaton(patterns: list[str]):
    automaton = ahocorasick.Automaton()
    for i, p in enumerate(patterns):
        automaton.add_word(p, (i, len(p)))
    automaton.make_automaton()
    return automaton


def ahocorasick_iter(automaton, text: str) -> list[tuple[int, int, int]]:
    return [(i, end - m + 1, end + 1) for end, (i, m) in automaton.iter(text)]


# The special-character folding, as fourteen replace passes.
FOLDS = (("à", "a"), ("â", "a"), ("ä", "a"), ("@", "a"), ("ç", "c"), ("è", "e"), ("é", "e"),
         ("ê", "e"), ("ë", "e"), ("€", "e"), ("ï", "i"), ("ù", "u"), ("û", "u"), ("ü", "u"))


def fold(text: str) -> str:
    text = text.lower()
    for a, b in FOLDS:
        text = text.replace(a, b)
    return text


def lower_replace_find(text: str, pattern: str) -> list[tuple[int, int]]:
    """Both flags by hand: str.lower() (full lowercase, as veskal's), then the folds."""
    return find_loop(fold(text), fold(pattern))


# --- exact tokens --------------------------------------------------------------------------


def split_loop(text: str, pattern: str) -> list[tuple[int, int, float]]:
    """Tokens cut at blanks (line feeds count as blanks) that equal the pattern once trimmed.

    The same answer as veskal's for a one-token pattern and the separator " ": runs of blanks
    yield empty tokens here, which never equal a non-empty pattern. The `in` test is only a
    cheap filter before the exact trimmed comparison.
    """
    out = []
    pos = 0
    for tok in text.replace("\n", " ").split(" "):
        if pattern in tok and tok.strip() == pattern:
            out.append((pos, pos + len(tok), 0.0))
        pos += len(tok) + 1
    return out


def flashtext_processor(patterns: list[str]):
    kp = flashtext.KeywordProcessor(case_sensitive=True)
    for p in patterns:
        kp.add_keyword(p)
    return kp


def flashtext_extract(kp, text: str):
    return kp.extract_keywords(text, span_info=True)


def flashtext2_processor(patterns: list[str]):
    kp = flashtext2.KeywordProcessor(True)
    for p in patterns:
        kp.add_keyword(p)
    return kp


def flashtext2_extract(kp, text: str):
    return kp.extract_keywords_with_span(text)


# --- fuzzy raw, edit distance --------------------------------------------------------------


def fuzzysearch_find(text: str, pattern: str, k: int):
    return fuzzysearch.find_near_matches(pattern, text, max_l_dist=k)


def regex_compile(pattern: str, k: int):
    return regex.compile(f"(?:{regex.escape(pattern)}){{e<={k}}}")


def regex_find(compiled, text: str):
    return [m.span() for m in compiled.finditer(text)]


def edlib_find(text: str, pattern: str, k: int):
    """edlib works on bytes; the encoding is part of its work. Best-distance hits only."""
    return edlib.align(pattern.encode("utf-8"), text.encode("utf-8"), mode="HW",
                       task="locations", k=k)["locations"]


# --- windows scored one by one with rapidfuzz ----------------------------------------------

METRICS = {
    "levenshtein": "Levenshtein", "damerau_levenshtein": "DamerauLevenshtein", "osa": "OSA",
    "hamming": "Hamming", "indel": "Indel", "lcs_seq": "LCSseq", "prefix": "Prefix",
    "postfix": "Postfix", "jaro": "Jaro", "jaro_winkler": "JaroWinkler",
}


def scorer(metric: str, kind: int) -> Callable:
    module = getattr(rf_distance, METRICS[metric])
    return module.normalized_distance if kind else module.distance


def window_loop(text: str, pattern: str, metric: str, threshold: float, kind: int):
    """veskal's raw windows (the pattern's length, ± the threshold's share of it under a
    normalised threshold), each trimmed and scored on its own, in a plain loop."""
    score = scorer(metric, kind)
    text = text.replace("\n", " ")
    p = len(pattern)
    pattern = pattern.strip()
    d = min(127, int(p * threshold)) if kind else 0
    lengths = range(p - min(p - 1, d), p + d + 1)
    out = []
    for start in range(len(text)):
        for n in lengths:
            window = text[start:start + n]
            s = score(window.strip(), pattern, score_cutoff=threshold)
            if s <= threshold:
                out.append((start, start + len(window), s))
            if start + n >= len(text):
                break
    return out


def token_spans(text: str) -> list[tuple[int, int]]:
    spans = []
    pos = 0
    for tok in text.replace("\n", " ").split(" "):
        if tok:
            spans.append((pos, pos + len(tok)))
        pos += len(tok) + 1
    return spans


def token_window_loop(text: str, pattern: str, metric: str, threshold: float, kind: int):
    """Runs of as many blank-separated tokens as the pattern has, trimmed and scored."""
    score = scorer(metric, kind)
    window = len(pattern.split(" "))
    pattern = pattern.strip()
    flat = text.replace("\n", " ")
    spans = token_spans(text)
    out = []
    for i in range(len(spans) - window + 1):
        start = spans[i][0]
        end = spans[i + window - 1][1]
        s = score(flat[start:end].strip(), pattern, score_cutoff=threshold)
        if s <= threshold:
            out.append((start, end, s))
    return out
