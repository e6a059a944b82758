"""A slow, literal pure-Python model of conflict resolution and exact raw extraction.

Grouping restarts from the front after every merge and every window is cut and trimmed from
scratch, exactly as the rules read; tests compare the native module with these functions.
"""

from __future__ import annotations

import math
import struct

from model import char_substring, preprocess, trim

U64 = 2**64


def overlaps(a: list, b: list) -> bool:
    # The three inclusive tests, kept apart: they differ from the two-test form for spans
    # whose start lies after their end.
    return (
        (a[0] <= b[0] and b[1] <= a[1])
        or (b[0] <= a[0] <= b[1])
        or (b[0] <= a[1] <= b[1])
    )


def groups(candidates: list[tuple]) -> list[list]:
    """[start, end, members] per cluster, by the restart-from-the-front loop."""
    gs = [[c[0], c[1], [c]] for c in candidates]
    while len(gs) >= 2:
        for i in range(len(gs) - 1):
            a, b = gs[i], gs[i + 1]
            if overlaps(a, b):
                a[0] = min(a[0], b[0])
                a[1] = max(a[1], b[1])
                a[2] = a[2] + b[2]
                del gs[i + 1]
                break
        else:
            break
    return gs


def isolated_count(text: str, s: int, e: int) -> int:
    """Characters beyond the text count as non-spaces."""
    if s >= e:
        return 0

    def space(p: int) -> bool:
        return p < len(text) and text[p] == " "

    count = 0
    for p in range(s, e):
        prev = p - 1 if p > s else s
        nxt = p + 1 if p < e - 1 else e - 1
        if (p == s and space(nxt)) or (p == e - 1 and space(prev)) or (space(prev) and space(nxt)):
            count += 1
    return count


def _total_order_key(x: float) -> int:
    bits = struct.unpack("<q", struct.pack("<d", x))[0]
    return bits ^ ((bits >> 63) & 0x7FFF_FFFF_FFFF_FFFF)


def _bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def resolve(text: str, members: list[tuple], strategies: list[str]) -> tuple:
    alive = list(members)
    for name in strategies:
        if len(alive) == 1:
            break
        if name == "best_match":
            target = min(alive, key=lambda c: _total_order_key(c[2]))[2]
            if math.isnan(target):
                # Nothing equals a NaN; its bitwise twins stand in, so the group never empties.
                alive = [c for c in alive if _bits(c[2]) == _bits(target)]
            else:
                alive = [c for c in alive if c[2] == target]
        elif name in ("shortest", "longest"):
            values = [(c[1] - c[0]) % U64 for c in alive]
            target = min(values) if name == "shortest" else max(values)
            alive = [c for c, v in zip(alive, values) if v == target]
        elif name == "minimum_isolated_character":
            values = [isolated_count(text, c[0], c[1]) for c in alive]
            target = min(values)
            alive = [c for c, v in zip(alive, values) if v == target]
        else:
            alive = alive[:1]
            break
    return alive[0]


def solver(text: str, candidates: list[tuple], strategies: list[str]) -> list[tuple]:
    return [resolve(text, g[2], strategies) for g in groups(candidates)]


def exact_raw_candidates(t: str, pattern: str) -> list[tuple]:
    """Windows of the untrimmed pattern's length whose trimmed text is the trimmed pattern."""
    m, n = len(pattern), len(t)
    p = trim(pattern)
    if m == 0:
        return []
    out = []
    for i in range(n):
        end = min(i + m, n)
        if trim(char_substring(t, i, end)) == p:
            out.append((i, end, 0.0))
    return out


def exact_raw_extract(s: str, pattern: str, ci: bool, sci: bool, strategies: list[str]) -> list:
    t = preprocess(s, ci, sci)
    return solver(t, exact_raw_candidates(t, preprocess(pattern, ci, sci)), strategies)
