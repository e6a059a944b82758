"""A slow, literal pure-Python model of text preparation and exact token extraction.

Tests compare the native module with these functions, so they favour obviousness over
speed: every step is written the plain way, character by character.
"""

from __future__ import annotations

from collections.abc import Iterator

U64 = 2**64

# Unicode White_Space. str.strip() is not used: it also strips U+001C..U+001F.
WHITE_SPACE = frozenset(
    [chr(c) for c in range(0x09, 0x0E)]
    + [" ", "\u0085", "\u00a0", "\u1680"]
    + [chr(c) for c in range(0x2000, 0x200B)]
    + ["\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]
)

SPECIAL_CHARS = {
    "\u00e0": "a",
    "\u00e2": "a",
    "\u00e4": "a",
    "@": "a",
    "\u00e7": "c",
    "\u00e8": "e",
    "\u00e9": "e",
    "\u00ea": "e",
    "\u00eb": "e",
    "\u20ac": "e",
    "\u00ef": "i",
    "\u00f9": "u",
    "\u00fb": "u",
    "\u00fc": "u",
}


class IndexFault(Exception):
    """The fault of a token window of zero; its message is what the module reports."""


def preprocess(s: str, ci: bool, sci: bool) -> str:
    s = s.replace("\n", " ")
    if ci:
        # str.lower() is the full default lowercase: SpecialCasing and Final_Sigma, no locale.
        s = s.lower()
    if sci:
        s = "".join(SPECIAL_CHARS.get(c, c) for c in s)
    return s


def trim(s: str) -> str:
    begin, end = 0, len(s)
    while begin < end and s[begin] in WHITE_SPACE:
        begin += 1
    while end > begin and s[end - 1] in WHITE_SPACE:
        end -= 1
    return s[begin:end]


def char_substring(s: str, start: int, end: int) -> str:
    # The length wraps like an unsigned 64-bit subtraction.
    return s[start : start + (end - start) % U64]


def tokenize(text: str, sep: str) -> list[tuple[int, int]]:
    n, m = len(text), len(sep)
    start = 0
    spans = []
    for i in range(n + 1):
        if char_substring(text, i, i + m) != sep:
            continue
        if i + m == start + 1 or i < start:
            # Inside a run of overlapping separators: the separator grows, no token ends.
            start = i + m
        else:
            spans.append((start, i))
            start = i + m
    if start != n:
        spans.append((start, n))
    return spans


def pattern_token_count(pattern: str, sep: str) -> int:
    if sep == "":
        pieces = [""] + list(pattern) + [""]
    else:
        pieces = pattern.split(sep)
    return sum(1 for piece in pieces if piece != sep)


def token_windows(text: str, sep: str, window: int) -> Iterator[tuple[int, int, str]]:
    spans = tokenize(text, sep)
    count = len(spans)
    if window == 0:
        index = 0 if count == 0 else (window - 1) % U64
        raise IndexFault(f"index out of bounds: the len is {count} but the index is {index}")
    for index in range(count - window + 1):
        start = spans[index][0]
        end = spans[index + window - 1][1]
        yield start, end, char_substring(text, start, end)


def exact_token_extract(
    s: str, pattern: str, tokenizer_pattern: str, ci: bool, sci: bool
) -> list[tuple[int, int, float]]:
    s = preprocess(s, ci, sci)
    pattern = preprocess(pattern, ci, sci)
    tokenizer_pattern = preprocess(tokenizer_pattern, ci, sci)
    window = pattern_token_count(pattern, tokenizer_pattern)
    target = trim(pattern)
    return [
        (start, end, 0.0)
        for start, end, item in token_windows(s, tokenizer_pattern, window)
        if trim(item) == target
    ]
