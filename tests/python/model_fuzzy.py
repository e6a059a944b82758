"""A slow, literal pure-Python model of the fuzzy comparator and the two fuzzy engines.

The metrics come from the rapidfuzz package; everything else is written the plain way: every
window is cut, trimmed and scored from scratch, and every candidate goes to the solver model.
"""

from __future__ import annotations

import math

from rapidfuzz.distance import (
    OSA,
    DamerauLevenshtein,
    Hamming,
    Jaro,
    JaroWinkler,
    LCSseq,
    Levenshtein,
    Postfix,
    Prefix,
)

from model import char_substring, pattern_token_count, preprocess, token_windows, trim
from model_solver import solver

METRICS = (
    "levenshtein",
    "damerau_levenshtein",
    "osa",
    "hamming",
    "indel",
    "lcs_seq",
    "prefix",
    "postfix",
    "jaro",
    "jaro_winkler",
)

_PLAIN = {
    "levenshtein": Levenshtein,
    "damerau_levenshtein": DamerauLevenshtein,
    "osa": OSA,
    "lcs_seq": LCSseq,
    "prefix": Prefix,
    "postfix": Postfix,
}


class InvalidMetric(Exception):
    """An unknown metric name met at a comparison; its message is what the module reports."""


def score(candidate: str, pattern: str, metric: str, kind: int) -> float:
    normalised = kind != 0
    n1, n2 = len(candidate), len(pattern)
    if metric == "jaro":
        return Jaro.normalized_distance(candidate, pattern)
    if metric == "jaro_winkler":
        return JaroWinkler.normalized_distance(candidate, pattern, prefix_weight=0.1)
    if metric == "hamming":
        if n1 != n2:
            return 1.0 if normalised else float(max(n1, n2))
        if normalised:
            return Hamming.normalized_distance(candidate, pattern)
        return float(Hamming.distance(candidate, pattern))
    if metric == "indel":
        distance = n1 + n2 - 2 * LCSseq.similarity(candidate, pattern)
        if not normalised:
            return float(distance)
        return distance / (n1 + n2) if n1 + n2 else 0.0
    module = _PLAIN[metric]
    if normalised:
        return module.normalized_distance(candidate, pattern)
    return float(module.distance(candidate, pattern))


def search(candidate: str, pattern: str, metric: str, kind: int, threshold: float):
    if metric not in METRICS:
        raise InvalidMetric("Invalid distance metric")
    s = score(candidate, pattern, metric, kind)
    return s <= threshold, s


def margin(pattern_chars: int, threshold: float, kind: int) -> int:
    if kind == 0:
        return 0
    product = float(pattern_chars) * threshold
    if math.isnan(product):
        return 0
    if product >= 127:
        return 127
    if product <= -128:
        return -128
    return math.trunc(product)


def raw_windows(t: int, p: int, d: int) -> list[tuple[int, int]]:
    if t == 0 or p == 0:
        return []
    if d < 0:
        # Nothing can match; one window is enough to meet the metric name.
        return [(0, min(p, t))]
    lowest = -min(p - 1, d)
    out = []
    start, a = 0, 0
    while True:
        uncut = start + p + a
        if uncut <= start:
            break
        end = min(uncut, t)
        if a >= d or uncut >= t:
            nxt = (start + 1, lowest)
        else:
            nxt = (start, a + 1)
        out.append((start, end))
        start, a = nxt
        if start >= t:
            break
    return out


def fuzzy_raw_extract(s, pattern, ci, sci, metric, threshold, kind, strategies):
    s = preprocess(s, ci, sci)
    pattern = preprocess(pattern, ci, sci)
    p = len(pattern)
    d = margin(p, threshold, kind)
    target = trim(pattern)
    candidates = []
    for start, end in raw_windows(len(s), p, d):
        matched, sc = search(trim(char_substring(s, start, end)), target, metric, kind, threshold)
        if matched:
            candidates.append((start, end, sc))
    return solver(s, candidates, strategies)


def fuzzy_token_extract(
    s, pattern, tokenizer_pattern, ci, sci, metric, threshold, kind, strategies
):
    s = preprocess(s, ci, sci)
    pattern = preprocess(pattern, ci, sci)
    tokenizer_pattern = preprocess(tokenizer_pattern, ci, sci)
    window = pattern_token_count(pattern, tokenizer_pattern)
    target = trim(pattern)
    candidates = []
    for start, end, item in token_windows(s, tokenizer_pattern, window):
        matched, sc = search(trim(item), target, metric, kind, threshold)
        if matched:
            candidates.append((start, end, sc))
    return solver(s, candidates, strategies)
