"""veskal against its peers on real French text, every row a ratio of times taken in one run.

    python benchmarks/run.py                 # the full run: about 20 minutes on 2 idle cores
    python benchmarks/run.py --quick         # small sizes and short time boxes: a smoke test
    python benchmarks/run.py --sections exact,threads --quick

The texts are real manual pages (prepare_data.py): French as rendered, French without its
characters above U+00FF, OCR-damaged French, and ASCII English. MB means 10^6 characters (the
UTF-8 file is a few per cent larger). Each row gives peer time / veskal time for the same work
on the same text, so above 1 veskal is faster; the target and whether it is met stand beside it.

Slow contenders (Python loops, and veskal itself on its slowest settings) run on a prefix of
the text that grows until a run takes long enough, and their time per character is compared;
the note says so. Calls that might not return in reasonable time run in a child process that is
killed at a deadline. A full run writes benchmarks/results.md, the pictures under docs/bench/
and README's Speed table; a quick run writes only under benchmarks/data/quick/.
"""

from __future__ import annotations

import argparse
import datetime
import json
import math
import os
import platform
import random
import re
import signal
import sys
import textwrap
import threading
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import harness  # noqa: E402
import peers  # noqa: E402
import prepare_data  # noqa: E402
from harness import MB, Report, Row, Target, Timing, bounded, timed  # noqa: E402

SECTIONS = ("checks", "exact", "token", "fuzzy", "metrics", "fuzzy-token", "growth", "memory",
            "threads", "matcher")
LABELS = {"fr": "French", "fr1": "French 1-byte", "ocr": "OCR French", "en": "ASCII English"}
README_START = "<!-- bench:start -->"
README_END = "<!-- bench:end -->"

veskal: Any = None  # imported in main()


class Texts:
    """Texts of a given variant and size, made once and shared by the sections."""

    def __init__(self) -> None:
        self.base = {v: prepare_data.build(v) for v in prepare_data.VARIANTS}
        self.cache: dict[tuple[str, int], str] = {}

    def get(self, variant: str, mb: float) -> str:
        key = (variant, int(mb * MB))
        if key not in self.cache:
            self.cache[key] = prepare_data.corpus(key[1], self.base[variant])
        return self.cache[key]

    def drop(self) -> None:
        self.cache.clear()


def label(variant: str, mb: float) -> str:
    return f"{LABELS[variant]} {mb:g} MB"


class Bench:
    def __init__(self, args, texts: Texts, report: Report) -> None:
        self.args = args
        self.texts = texts
        self.report = report
        self.stalls: list[tuple[float, str]] = []

    def mine(self, fn: Callable[[str], Any], text: str, what: str, budget: float | None = None,
             repeat: int | None = None) -> Timing:
        t = timed(fn, text, repeat or self.args.repeat, budget or self.args.budget,
                  ticker=True)
        if t.stall is not None:
            self.stalls.append((t.stall, what))
        return t

    def mine_sizes(self, fn: Callable[[str], Any], texts: list[str], what: str) -> list[Timing]:
        """The best run on each of `texts`, taken in rounds of one run a text: a slope compares
        them, and a spell of the host that slowed only one text's runs would tilt it."""
        return self.rounds([(fn, text, f"{what}, {len(text) / MB:.3g} MB") for text in texts],
                           self.args.growth_budget)

    def mine_against(self, fn: Callable[[str], Any], peer: Callable[[str], Any],
                     text: str, what: str) -> tuple[Timing, Timing]:
        """The best runs of veskal and of a peer on `text`, taken in turns: a ratio of two
        timings taken apart reads the host's spells as well as the code."""
        mine, theirs = self.rounds([(fn, text, what), (peer, text, None)], self.args.peer_budget)
        return mine, theirs

    def rounds(self, runs: list[tuple[Callable[[str], Any], str, str | None]],
               budget: float) -> list[Timing]:
        """The best of each of `runs` (fn, text, what: veskal's, whose stalls count, or None),
        in rounds of one run each: at least `repeat` rounds, more up to `rounds` while twice
        `budget` is not spent."""
        best: list[Timing | None] = [None] * len(runs)
        spent = 0.0
        done = 0
        while done < max(1, self.args.repeat) or (done < self.args.rounds and spent < 2 * budget):
            for i, (fn, text, what) in enumerate(runs):
                t = harness.best_of(fn, text, 1, ticker=what is not None)
                spent += t.seconds
                if what is not None and t.stall is not None:
                    self.stalls.append((t.stall, what))
                if best[i] is None or t.seconds < best[i].seconds:
                    best[i] = t
            done += 1
        return [t for t in best if t is not None]

    def mine_bounded(self, fn: Callable[[str], Any], text: str, what: str,
                     first_chars: int = 2000) -> tuple[Timing | None, str]:
        t, note = harness.timed_bounded(fn, text, self.args.budget, self.args.hard_timeout,
                                        first_chars)
        if t is not None and t.stall is not None:
            self.stalls.append((t.stall, what))
        return t, note

    def peer(self, fn: Callable[[Any], Any], text: str, prepare=None) -> Timing:
        return timed(fn, text, self.args.repeat, self.args.peer_budget, prepare=prepare)

    def compare(self, section: str, search: str, variant: str, mb: float,
                mine: Callable[[str], Any], contenders: list[tuple], mine_budget=None,
                mine_timing: Timing | None = None, bound: int = 0) -> Timing | None:
        """One row per peer: peer time / veskal time per character of the same text.

        `contenders` holds (peer name, fn, target or None, note[, prepare]) tuples; `prepare`
        turns the text into the peer's input outside its time. A non-zero `bound` runs veskal
        in a child killed at the hard timeout, starting on that many characters.
        """
        text = self.texts.get(variant, mb)
        where = label(variant, mb)
        mine_note = ""
        if mine_timing is not None:
            me = mine_timing
        elif bound:  # may take minutes even on a short prefix
            got, mine_note = self.mine_bounded(mine, text, f"{search}, {where}", bound)
            if got is None:
                self.report.add(Row(section, search, where, "", None, "×", None, None, None,
                                    mine_note))
                return None
            me = got
        else:
            me = self.mine(mine, text, f"{search}, {where}", mine_budget)
        speeds = self.report.speeds.setdefault(case_key(section, search, variant, mb), {})
        speeds["veskal"] = me.mb_per_s
        for name, fn, target, note, *prepare in contenders:
            if fn is None:
                continue
            try:
                them = self.peer(fn, text, *prepare)
            except Exception as exc:  # a failing peer loses its row, not the run
                self.report.notes.append(f"{name} failed on {search}: {exc}")
                continue
            speeds[name] = them.mb_per_s
            notes = [n for n in (note, mine_note) if n]
            if me.prefix and not mine_note:
                notes.append(f"veskal timed on {me.chars / MB:.3g} MB, extrapolated")
            if them.prefix:
                notes.append(f"peer timed on {them.chars / MB:.3g} MB, extrapolated")
            self.report.add(Row(section, search, where, name, them.per_char / me.per_char,
                                "×", target, me.mb_per_s, them.mb_per_s, "; ".join(notes),
                                "< " if me.lower else ""))
        return me


def case_key(section: str, search: str, variant: str, mb: float) -> str:
    """The key of a search's speeds, by contender, in Report.speeds."""
    function = re.search(r"\((\w+)", section)
    return f"{function.group(1) + ', ' if function else ''}{search}\n{LABELS[variant]}\n{mb:g}"


# --- patterns drawn from the text ----------------------------------------------------------

WORD = r"[^\W\d_]+"


def segment(text: str, n: int, offset: int) -> str:
    """n characters of prose that begin and end on a word, from the first such run after
    `offset`. Lines are short in manual pages, so long segments join lines with one blank."""
    if n <= 64:
        rx = re.compile(rf"(?<![^\s(]){WORD}(?:[ ,'’-]{{1,2}}{WORD})*")
        for m in rx.finditer(text, offset):
            s = m.group()
            if len(s) >= n and (len(s) == n or not s[n].isalpha()) and s[n - 1].isalpha() \
                    and "  " not in s[:n]:
                return s[:n]
        raise ValueError(f"no segment of {n} characters")
    flat = " ".join(text[offset:offset + 4 * n].split()[1:])
    return flat[:n].rstrip()


def tokens_from(text: str, count: int, offset: int) -> str:
    return " ".join(text[offset:].split(None, count)[:count])


class Patterns:
    def __init__(self, texts: Texts) -> None:
        fr = texts.base["fr"]
        self.rare_fr = "déclencher"
        self.frequent_fr = "les"
        self.rare_en = "repertoire"
        # Several words: line feeds in the text read as the spaces between them.
        self.phrase_fr = "fichier de configuration"
        self.by_length = {n: segment(fr, n, 200_000 + 1000 * n) for n in (8, 16, 32, 64, 200)}
        self.huge = fr[300_000:400_000]
        self.one_token = self.by_length[8]
        self.three_tokens = self.by_length[16]
        self.many_tokens = tokens_from(fr, 200, 500_000)


# --- do the peers answer the same question? ------------------------------------------------


def agreement(mine: list, theirs: list) -> str:
    mine_set, theirs_set = set(map(tuple, mine)), set(map(tuple, theirs))
    if mine_set == theirs_set:
        return f"the same {len(mine_set)} results"
    if mine_set <= theirs_set:
        return f"a subset ({len(mine_set)} of {len(theirs_set)})"
    return f"DIFFERENT results ({len(mine_set - theirs_set)} of {len(mine_set)} not in the peer's)"


def check_peers(b: Bench, pats: Patterns) -> None:
    """Compares veskal's results with the loops that stand for it, on small texts, so that a
    ratio never compares different work unnoticed. veskal keeps one match per cluster of
    touching candidates, so a subset of the loop's candidates is the expected answer."""
    rare, freq, p8, p16 = pats.rare_fr, pats.frequent_fr, pats.by_length[8], pats.by_length[16]
    fr = b.texts.base["fr"][:1_000_000]
    # OCR text around the patterns' own places, so that the fuzzy checks have matches to agree on.
    at = b.texts.base["fr"].find(p16)
    ocr = b.texts.base["ocr"][at - 25_000:at + 25_000]
    small = ocr[25_000 - 1500:25_000 + 1500]
    spans = lambda r: [(x[0], x[1]) for x in r]  # noqa: E731
    checks = [
        (f"exact_raw_extract '{rare}' / str.find loop",
         spans(veskal.exact_raw_extract(fr, rare, False, False, [])), peers.find_loop(fr, rare)),
        (f"exact_raw_extract '{freq}' / str.find loop",
         spans(veskal.exact_raw_extract(fr, freq, False, False, [])), peers.find_loop(fr, freq)),
        (f"exact_raw_extract '{pats.phrase_fr}' / line feeds replaced + str.find loop",
         spans(veskal.exact_raw_extract(fr, pats.phrase_fr, False, False, [])),
         peers.spaced_find(fr, pats.phrase_fr)),
        ("exact_raw_extract, both flags / lower() + replace + find loop",
         spans(veskal.exact_raw_extract(fr, rare, True, True, [])),
         peers.lower_replace_find(fr, rare)),
        (f"exact_token_extract '{freq}' / split loop",
         veskal.exact_token_extract(fr, freq, " ", False, False), peers.split_loop(fr, freq)),
    ]
    if peers.rf_distance is not None:
        checks.append(("fuzzy_raw_extract k = 1 / window loop",
                       veskal.fuzzy_raw_extract(ocr, p16, False, False, "levenshtein", 1, 0, []),
                       peers.window_loop(ocr, p16, "levenshtein", 1, 0)))
        for metric in peers.METRICS:
            checks.append((f"fuzzy_raw_extract {metric} t = 0.25 / window loop",
                           veskal.fuzzy_raw_extract(small, p16, False, False, metric, 0.25, 1,
                                                    []),
                           peers.window_loop(small, p16, metric, 0.25, 1)))
        for threshold, kind in ((1, 0), (0.2, 1)):
            checks.append((f"fuzzy_token_extract threshold {threshold} / token loop",
                           veskal.fuzzy_token_extract(ocr, p8, " ", False, False, "levenshtein",
                                                      threshold, kind, []),
                           peers.token_window_loop(ocr, p8, "levenshtein", threshold, kind)))
    for what, mine, theirs in checks:
        verdict = agreement(mine, theirs)
        b.report.notes.append(f"check, {what}: veskal gives {verdict}")
        print(f"  {what}: {verdict}", flush=True)


# --- exact raw and exact token -------------------------------------------------------------


def bench_exact(b: Bench, pats: Patterns) -> None:
    sec = "Exact search (exact_raw_extract)"
    big = max(b.args.raw_sizes)
    zilla = peers.stringzilla is not None
    aho = peers.ahocorasick is not None
    for variant, word in (("fr", pats.rare_fr), ("fr1", pats.rare_fr), ("en", pats.rare_en)):
        for mb in b.args.raw_sizes:
            final = mb == big
            want_find = Target("≥", 3) if final and variant in ("fr", "en") else None
            want_str = Target("≥", 1) if final and variant == "fr" else None
            want_bytes = Target("≥", 1 / 1.5) if final and variant == "en" else None
            automaton = peers.ahocorasick_automaton([word]) if aho else None
            b.compare(sec, f"rare word '{word}', no flags", variant, mb,
                      lambda s: veskal.exact_raw_extract(s, word, False, False, []), [
                          ("str.find loop", lambda s: peers.find_loop(s, word), want_find, ""),
                          ("StringZilla find loop on the str",
                           (lambda s: peers.stringzilla_str(s, word)) if zilla else None,
                           want_str, "UTF-8 conversion in its time; byte offsets"),
                          ("StringZilla on encoded bytes",
                           (lambda data: peers.stringzilla_bytes(data, word)) if zilla else None,
                           want_bytes, "the limit: encoded before timing; byte offsets",
                           lambda s: s.encode("utf-8")),
                          ("pyahocorasick", (lambda s: peers.ahocorasick_iter(automaton, s))
                           if aho else None, None, ""),
                      ])
    for mb in b.args.raw_sizes:
        word = pats.frequent_fr
        b.compare(sec, f"frequent word '{word}', no flags", "fr", mb,
                  lambda s: veskal.exact_raw_extract(s, word, False, False, []), [
                      ("str.find loop", lambda s: peers.find_loop(s, word),
                       Target("≥", 2) if mb == big else None,
                       "every occurrence; veskal merges touching ones"),
                  ])
    for mb in b.args.raw_sizes:
        phrase = pats.phrase_fr
        b.compare(sec, f"phrase '{phrase}', no flags", "fr", mb,
                  lambda s: veskal.exact_raw_extract(s, phrase, False, False, []), [
                      ("line feeds replaced + str.find loop",
                       lambda s: peers.spaced_find(s, phrase), None,
                       "the same question: a line feed may part the words"),
                  ])
    for mb in b.args.raw_sizes:
        word = pats.rare_fr
        b.compare(sec, f"'{word}', case_insensitive + special_char_insensitive", "fr", mb,
                  lambda s: veskal.exact_raw_extract(s, word, True, True, []), [
                      ("lower() + 14 replace + find loop",
                       lambda s: peers.lower_replace_find(s, word),
                       Target("≥", 5) if mb == big else None, ""),
                  ])
    b.texts.drop()


def bench_token(b: Bench, pats: Patterns) -> None:
    sec = "Exact token search (exact_token_extract, separator ' ')"
    big = max(b.args.token_sizes)
    for word in (pats.rare_fr, pats.frequent_fr):
        ft = peers.flashtext_processor([word]) if peers.flashtext else None
        ft2 = peers.flashtext2_processor([word]) if peers.flashtext2 else None
        for mb in b.args.token_sizes:
            b.compare(sec, f"'{word}'", "fr", mb,
                      lambda s: veskal.exact_token_extract(s, word, " ", False, False), [
                          ("split loop", lambda s: peers.split_loop(s, word),
                           Target("≥", 10) if mb == big else None, "the same spans"),
                          ("flashtext2 (native)",
                           (lambda s: peers.flashtext2_extract(ft2, s)) if ft2 else None, None,
                           "cuts words at any non-word character"),
                          ("flashtext", (lambda s: peers.flashtext_extract(ft, s)) if ft else None,
                           None, "cuts words at any non-word character"),
                      ])
    phrase = pats.phrase_fr
    ft = peers.flashtext_processor([phrase]) if peers.flashtext else None
    ft2 = peers.flashtext2_processor([phrase]) if peers.flashtext2 else None
    for mb in b.args.token_sizes:
        b.compare(sec, f"phrase '{phrase}'", "fr", mb,
                  lambda s: veskal.exact_token_extract(s, phrase, " ", False, False), [
                      ("flashtext2 (native)",
                       (lambda s: peers.flashtext2_extract(ft2, s)) if ft2 else None, None,
                       "cuts words at any non-word character"),
                      ("flashtext", (lambda s: peers.flashtext_extract(ft, s)) if ft else None,
                       None, "cuts words at any non-word character"),
                  ])
    b.texts.drop()


# --- fuzzy ---------------------------------------------------------------------------------


def bench_fuzzy(b: Bench, pats: Patterns) -> None:
    """Edit distance within k, windows of the pattern's length (threshold_kind 0)."""
    sec = "Fuzzy search within k edits (fuzzy_raw_extract, levenshtein, threshold_kind 0)"
    for k in (1, 2):
        for n in (8, 16, 32):
            pat = pats.by_length[n]
            search = f"pattern {n}, k = {k}"
            compiled = peers.regex_compile(pat, k) if peers.regex else None
            for mb in b.args.fuzzy_sizes:
                b.compare(sec, search, "ocr", mb,
                          lambda s: veskal.fuzzy_raw_extract(s, pat, False, False,
                                                             "levenshtein", k, 0, []), [
                              ("fuzzysearch", (lambda s: peers.fuzzysearch_find(s, pat, k))
                               if peers.fuzzysearch else None, Target("≥", 10),
                               "variable-length matches"),
                              ("edlib (UTF-8 bytes)", (lambda s: peers.edlib_find(s, pat, k))
                               if peers.edlib else None, None,
                               "best-distance hits only, byte offsets; encoding in its time"),
                              ("regex {e<=k}", (lambda s: peers.regex_find(compiled, s))
                               if compiled else None, None,
                               "non-overlapping, variable-length matches"),
                          ])
                if k == 1 and n == 32:
                    ceiling(b, sec, search, pat, mb)
    b.texts.drop()


def ceiling(b: Bench, sec: str, search: str, pat: str, mb: float) -> None:
    """How far fuzzysearch trails one exact search of the same text, and a bare read of its
    bytes: a search that must read every character, as a k-edit one must, leads it by little
    more."""
    them = b.report.speeds.get(case_key(sec, search, "ocr", mb), {}).get("fuzzysearch")
    if them is None:
        return
    text = b.texts.get("ocr", mb)
    exact = b.mine(lambda s: veskal.exact_raw_extract(s, pat, False, False, []), text,
                   f"exact_raw_extract, {label('ocr', mb)}")
    b.report.add(Row(sec, f"{search}: the text read once, by exact_raw_extract", label("ocr", mb),
                     "fuzzysearch", exact.mb_per_s / them, "×", None, exact.mb_per_s, them,
                     "the lead of a search that only reads the text; fuzzysearch's speed as above"))
    # About the machine's own limit: glibc's memchr over the bytes the str holds, for a byte that
    # is not among them, so that it reads them all and compares nothing else.
    width = 1 if max(text) <= "\xff" else 2 if max(text) <= "\uffff" else 4
    codec = {1: "latin-1", 2: "utf-16-le", 4: "utf-32-le"}[width]
    held = text.encode(codec)
    absent = next(bytes([c]) for c in range(256) if bytes([c]) not in held)
    del held
    read = b.peer(lambda raw: raw.find(absent), text, prepare=lambda s: s.encode(codec))
    b.report.add(Row(sec, f"{search}: the str's bytes read once, by memchr", label("ocr", mb),
                     "fuzzysearch", read.mb_per_s / them, "×", None, None, them,
                     f"memchr at {harness.number(read.mb_per_s)} MB/s over the {width} bytes a "
                     "character the str holds: the lead of a bare read of the text; fuzzysearch's "
                     "speed as above"))


def bench_metrics(b: Bench, pats: Patterns) -> None:
    sec = ("Fuzzy search under a normalised threshold (fuzzy_raw_extract, threshold_kind 1),"
           " against a Python loop scoring the same windows with rapidfuzz")
    mb = b.args.metric_mb
    slowest: tuple[float, str] | None = None
    for metric in peers.METRICS:
        for n in (16, 64):
            pat = pats.by_length[n]
            for t in (0.1, 0.25):
                me = b.compare(
                    sec, f"{metric}, pattern {n}, t = {t}", "ocr", mb,
                    lambda s: veskal.fuzzy_raw_extract(s, pat, False, False, metric, t, 1, []),
                    [("Python loop + rapidfuzz",
                      (lambda s: peers.window_loop(s, pat, metric, t, 1))
                      if peers.rf_distance else None, Target("≥", 30),
                      "no overlap resolution")], bound=max(2000, 5 * n))
                if me is None:
                    continue
                if n == 64 and t == 0.25 and (slowest is None or me.mb_per_s < slowest[0]):
                    slowest = (me.mb_per_s, metric)
    if slowest:
        b.report.add(Row(sec, "slowest metric at pattern 64, t = 0.25", label("ocr", mb), "",
                         slowest[0], "MB/s", Target("≥", 10, "MB/s"), slowest[0], None,
                         slowest[1]))
    sec2 = "Long patterns (fuzzy_raw_extract, threshold_kind 1)"
    pat = pats.by_length[200]
    text = b.texts.get("ocr", 1)
    for metric in peers.METRICS:
        what = f"{metric}, 200-character pattern, t = 0.5"
        me, note = b.mine_bounded(
            lambda s: veskal.fuzzy_raw_extract(s, pat, False, False, metric, 0.5, 1, []), text,
            what, 5 * len(pat))
        if me is not None and me.prefix and not note:
            note = f"timed on {me.chars:,} characters, extrapolated"
        b.report.add(Row(sec2, what, label("ocr", 1), "", me and me.per_char * MB, "s per MB",
                         Target("≤", 10, "s"), me and me.mb_per_s, None, note,
                         "> " if me and me.lower else ""))
    what = "levenshtein, 100,000-character pattern, t = 0.9"
    small = b.texts.get("ocr", 0.01)
    huge = pats.huge
    status, got = bounded(lambda: _time_once(lambda: veskal.fuzzy_raw_extract(
        small, huge, False, False, "levenshtein", 0.9, 1, [])), b.args.hard_timeout)
    if status == "ok":
        b.report.add(Row(sec2, what, label("ocr", 0.01), "", got[0], "s", None, None, None,
                         f"{got[1]} matches; no window is long enough to match"))
    elif status == "timeout":
        b.report.add(Row(sec2, what, label("ocr", 0.01), "", b.args.hard_timeout, "s", None,
                         None, None, "stopped at the deadline", "> "))
    else:
        b.report.add(Row(sec2, what, label("ocr", 0.01), "", None, "s", None, None, None,
                         str(got)))
    b.texts.drop()


def _time_once(fn: Callable[[], Any]) -> tuple[float, int]:
    t0 = time.perf_counter()
    r = fn()
    return time.perf_counter() - t0, len(r)


def bench_fuzzy_token(b: Bench, pats: Patterns) -> None:
    sec = ("Fuzzy token search (fuzzy_token_extract, separator ' ', levenshtein), against a"
           " split-based Python loop scoring the same token runs with rapidfuzz")
    for name, pat in (("1 token", pats.one_token), ("3 tokens", pats.three_tokens)):
        for threshold, kind in ((1, 0), (0.2, 1)):
            setting = f"k = {threshold}" if kind == 0 else f"t = {threshold}"
            for mb in b.args.token_sizes:
                b.compare(sec, f"{name} '{pat}', {setting}", "ocr", mb,
                          lambda s: veskal.fuzzy_token_extract(
                              s, pat, " ", False, False, "levenshtein", threshold, kind, []),
                          [("Python token loop + rapidfuzz",
                            (lambda s: peers.token_window_loop(s, pat, "levenshtein", threshold,
                                                               kind))
                            if peers.rf_distance else None, Target("≥", 20),
                            "no overlap resolution")])
    pat = pats.many_tokens
    mb = b.args.metric_mb
    text = b.texts.get("ocr", mb)
    search = "200 tokens, damerau_levenshtein, t = 0.5"
    me, note = b.mine_bounded(lambda s: veskal.fuzzy_token_extract(
        s, pat, " ", False, False, "damerau_levenshtein", 0.5, 1, []), text, search,
        5 * len(pat))
    if me is None:
        b.report.add(Row(sec, search, label("ocr", mb), "", None, "s per MB", None, None, None,
                         note))
    else:
        b.compare(sec, search, "ocr", mb, lambda s: None,
                  [("Python token loop + rapidfuzz",
                    (lambda s: peers.token_window_loop(s, pat, "damerau_levenshtein", 0.5, 1))
                    if peers.rf_distance else None, None,
                    "; ".join(filter(None, ["no overlap resolution", note])))],
                  mine_timing=me)
    b.texts.drop()


# --- growth and memory ---------------------------------------------------------------------


def growth_cases(pats: Patterns) -> list[tuple[str, str, Callable[[str], Any], bool]]:
    """(name, variant, call, whether the time must grow linearly)."""
    rare, p16, p8 = pats.rare_fr, pats.by_length[16], pats.by_length[8]
    cases = [
        ("exact_raw_extract", "fr", lambda s: veskal.exact_raw_extract(s, rare, False, False, []),
         False),
        ("exact_raw_extract, both flags", "fr",
         lambda s: veskal.exact_raw_extract(s, rare, True, True, []), False),
        ("exact_token_extract", "fr",
         lambda s: veskal.exact_token_extract(s, rare, " ", False, False), False),
        ("fuzzy_raw_extract, k = 1", "ocr",
         lambda s: veskal.fuzzy_raw_extract(s, p16, False, False, "levenshtein", 1, 0, []), True),
        ("fuzzy_token_extract, k = 1", "ocr",
         lambda s: veskal.fuzzy_token_extract(s, p8, " ", False, False, "levenshtein", 1, 0, []),
         True),
    ]
    for metric in peers.METRICS:
        cases.append((f"fuzzy_raw_extract, {metric}, t = 0.25", "ocr",
                      lambda s, m=metric: veskal.fuzzy_raw_extract(s, p16, False, False, m, 0.25,
                                                                   1, []), True))
    return cases


def loglog_slope(points: list[tuple[int, float]]) -> float:
    """Least-squares slope of log(time) against log(size)."""
    xs = [math.log(c) for c, _ in points]
    ys = [math.log(t) for _, t in points]
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    return sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)


def affine_fit(points: list[tuple[int, float]]) -> tuple[float, float]:
    """Least-squares (seconds per call, seconds per character) of time against size: a slope
    under 1 with a positive first term is a cost per call, not work that shrinks with size."""
    xs = [float(c) for c, _ in points]
    ys = [t for _, t in points]
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    per_char = sum((x - mx) * (y - my) for x, y in zip(xs, ys)) / sum((x - mx) ** 2 for x in xs)
    return my - per_char * mx, per_char


def bench_growth(b: Bench, pats: Patterns) -> None:
    sec = "Growth: time against text size (log-log slope; 1.0 is linear)"
    lo, hi = b.args.growth_sizes
    for name, variant, fn, linear in growth_cases(pats):
        # Scale both sizes down, keeping their ratio, when the larger run would be too long.
        probe = timed(fn, b.texts.get(variant, lo), 1, b.args.budget)
        predicted = probe.per_char * hi * MB
        scale = min(1.0, b.args.growth_budget / predicted) if predicted > 0 else 1.0
        small, middle, large = (float(f"{mb * scale:.3g}") for mb in (lo, math.sqrt(lo * hi), hi))
        # Every text repeats the same stretch of prose, so only their length differs.
        unit = b.texts.base[variant][:int(small * MB)]
        texts = [prepare_data.corpus(int(mb * MB), unit) for mb in (small, middle, large)]
        points = [(len(text), t.seconds) for text, t in zip(texts, b.mine_sizes(fn, texts, name))]
        b.report.growth[name] = points
        fixed, per_char = affine_fit(points)
        note = " → ".join(f"{c / MB:.3g}" for c, _ in points) + " MB: " + \
            " → ".join(f"{t:.3g}" for _, t in points) + " s" + \
            f"; fit: {fixed * 1e6:.3g} µs a call + {per_char * MB * 1e3:.3g} ms/MB"
        slope = loglog_slope(points)
        b.report.add(Row(sec, name, LABELS[variant], "", slope, "",
                         Target("±0.1", 1.0, "") if linear else None, None, None, note))
        b.texts.drop()


def bench_memory(b: Bench, pats: Patterns) -> None:
    sec = ("Peak memory: extra bytes per character of text, measured as the growth of the"
           " resident set of a fresh process during one call")
    mb = b.args.memory_mb
    rare, p16, p8 = pats.rare_fr, pats.by_length[16], pats.by_length[8]
    cases = [
        ("exact_raw_extract, no flags", "fr", "exact_raw_extract", [rare, False, False, []], True),
        ("exact_raw_extract, no flags", "fr1", "exact_raw_extract", [rare, False, False, []],
         True),
        ("exact_raw_extract, no flags", "en", "exact_raw_extract",
         [pats.rare_en, False, False, []], True),
        ("exact_raw_extract, phrase, no flags", "fr", "exact_raw_extract",
         [pats.phrase_fr, False, False, []], True),
        ("exact_raw_extract, both flags", "fr", "exact_raw_extract", [rare, True, True, []],
         False),
        ("exact_token_extract, no flags", "fr", "exact_token_extract",
         [rare, " ", False, False], True),
        ("exact_token_extract, both flags", "fr", "exact_token_extract",
         [rare, " ", True, True], False),
        ("fuzzy_raw_extract, k = 1, no flags", "ocr", "fuzzy_raw_extract",
         [p8, False, False, "levenshtein", 1, 0, []], True),
        ("fuzzy_raw_extract, t = 0.25, both flags", "ocr", "fuzzy_raw_extract",
         [p16, True, True, "levenshtein", 0.25, 1, []], False),
        ("fuzzy_token_extract, k = 1, both flags", "ocr", "fuzzy_token_extract",
         [p8, " ", True, True, "levenshtein", 1, 0, []], False),
    ]
    for name, variant, function, args, in_place in cases:
        got = harness.peak_memory(variant, int(mb * MB), function, args, sys.executable,
                                  b.args.hard_timeout)
        if "error" in got:
            b.report.add(Row(sec, name, label(variant, mb), "", None, "B/char", None, None, None,
                             got["error"]))
            continue
        per_char = got["extra"] / got["chars"]
        # In place no copy is needed at all; otherwise at most the text's own storage again.
        target = Target("≤", 0.01, "B/char") if in_place else Target("≤", got["kind"], "B/char")
        note = f"the str holds {got['kind']} B/char"
        beyond = got["extra"] - got["kind"] * got["chars"]
        if not in_place and beyond >= 0:
            note += f"; {beyond / 1024:,.0f} KB beyond one copy of it"
        if got["result"] >= 1024:
            # Counted: the peak may come before the list is built or with it.
            note += f"; the {got['found']:,} matches returned take {got['result'] / 1024:,.0f} KB"
        if not got["exact"]:
            note += "; upper bound (no peak reset)"
        b.report.add(Row(sec, name, label(variant, mb), "", per_char, "B/char", target, None,
                         None, note))


# --- responsiveness ------------------------------------------------------------------------


def _threads_run(fn: Callable[[str], Any], texts: list[str]) -> float:
    barrier = threading.Barrier(len(texts) + 1)
    errors: list[BaseException] = []

    def work(s: str) -> None:
        barrier.wait()
        try:
            fn(s)
        except BaseException as exc:
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(s,)) for s in texts]
    for t in threads:
        t.start()
    barrier.wait()
    t0 = time.perf_counter()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return time.perf_counter() - t0


def bench_threads(b: Bench, pats: Patterns) -> None:
    sec = "Responsiveness: threads, stalls and Ctrl-C"
    mb = b.args.thread_mb
    base = b.texts.base["ocr"]
    p16 = pats.by_length[16]
    def fn(s):
        return veskal.fuzzy_raw_extract(s, p16, False, False, "levenshtein", 0.25, 1, [])
    search = "fuzzy_raw_extract levenshtein, pattern 16, t = 0.25"

    def measure() -> dict[int, float]:
        # Different texts: the corpus rotated by a different amount for each thread.
        texts = []
        for i in range(4):
            cut = (len(base) // 5) * i
            texts.append(prepare_data.corpus(int(mb * MB), base[cut:] + "\n" + base[:cut]))
        fn(texts[0][:10_000])
        # The thread counts in turns, best of each: a slow spell of the host then lands on one
        # turn, not on every run of one count.
        out: dict[int, float] = {}
        for _ in range(max(3, b.args.repeat)):
            for n in (1, 2, 4):
                t = _threads_run(fn, texts[:n])
                out[n] = min(out.get(n, t), t)
        return out

    status, got = bounded(measure, b.args.hard_timeout * 4)
    if status != "ok":
        b.report.add(Row(sec, f"{search}, 2 threads", label("ocr", mb) + " each", "1 thread",
                         None, "×", Target("≥", 1.8), None, None, str(got or status)))
    else:
        one = mb / got[1]
        for n in (2, 4):
            speed = n * mb / got[n]
            b.report.add(Row(sec, f"{search}, {n} threads", label("ocr", mb) + " each",
                             "the same, 1 thread", speed / one, "×",
                             Target("≥", 1.8) if n == 2 else None, speed, one,
                             "throughput ratio"))
    status, got = bounded(lambda: _sigint_latency(pats, b.args.sigint_seconds),
                          b.args.hard_timeout * 3)
    what = "SIGINT 0.5 s into a long call → KeyboardInterrupt"
    if status != "ok":
        b.report.add(Row(sec, what, "OCR French", "", None, "ms", Target("≤", 50, "ms"), None,
                         None, str(got or status)))
    else:
        latency, call_s, finished = got
        note = f"a {call_s:.1f} s call" + ("; the call ran to its end first" if finished else "")
        b.report.add(Row(sec, what, "OCR French", "", latency * 1000, "ms",
                         Target("≤", 50, "ms"), None, None, note))


def _sigint_latency(pats: Patterns, seconds: float) -> tuple[float, float, bool]:
    """In a forked child: a call sized to last `seconds`, interrupted after 0.5 s."""
    signal.signal(signal.SIGINT, signal.default_int_handler)
    pat = pats.by_length[64]
    base = prepare_data.build("ocr")
    def fn(s):
        return veskal.fuzzy_raw_extract(s, pat, False, False, "indel", 0.25, 1, [])
    probe = timed(fn, base, 1, 1.0)
    chars = int(min(50 * MB, seconds / max(probe.per_char, 1e-12)))
    text = prepare_data.corpus(chars, base)
    sent = [0.0]

    def interrupt() -> None:
        time.sleep(0.5)
        sent[0] = time.perf_counter()
        os.kill(os.getpid(), signal.SIGINT)

    result = None
    threading.Thread(target=interrupt, daemon=True).start()
    t0 = time.perf_counter()
    try:
        result = fn(text)
        time.sleep(seconds + 1)  # a signal that lands after the call still reaches us here
        raise RuntimeError("no KeyboardInterrupt")
    except KeyboardInterrupt:
        caught = time.perf_counter()
    return caught - sent[0], caught - t0, result is not None


# --- many patterns -------------------------------------------------------------------------


def names(text: str, count: int, seed: int = 7) -> list[str]:
    """French-looking people and street names made of the text's capitalised words; a tenth
    are pairs of capitalised words that stand side by side in the text, so some are found."""
    capital = r"[A-ZÉÈ][a-zéèêëàâçôîïûù]{3,}"
    words = sorted(set(re.findall(rf"\b{capital}\b", text)))
    pairs = sorted(set(re.findall(rf"\b{capital} {capital}\b", text)))
    rng = random.Random(seed)
    out = dict.fromkeys(rng.sample(pairs, min(len(pairs), count // 10)))
    kinds = ("rue", "avenue", "boulevard", "place", "impasse", "allée", "chemin", "quai")
    links = ("de ", "du ", "des ", "de la ", "")
    while len(out) < count:
        if rng.random() < 0.5:
            name = f"{rng.choice(words)} {rng.choice(words)}"
        else:
            name = f"{rng.choice(kinds)} {rng.choice(links)}{rng.choice(words)}"
        out.setdefault(name)
    return list(out)


def bench_matcher(b: Bench, pats: Patterns) -> None:
    sec = "Many patterns at once (Matcher)"
    if not hasattr(veskal, "Matcher"):
        b.report.notes.append("Matcher rows skipped: this veskal has no Matcher")
        print("  skipped: veskal has no Matcher")
        return
    M = veskal.Matcher
    fr = b.texts.base["fr"]
    all_names = names(fr, 10_000)
    five = all_names[:5000]
    aho = peers.ahocorasick_automaton(five) if peers.ahocorasick else None
    ft = peers.flashtext_processor(five) if peers.flashtext else None
    ft2 = peers.flashtext2_processor(five) if peers.flashtext2 else None
    exact_raw = M(five)
    exact_token = M(five, tokenizer_pattern=" ")

    def single_calls(call: Callable[[str, str], Any], pool: list[str]):
        # A few patterns' calls, timed and scaled to all of them.
        few = pool[: max(1, min(len(pool), b.args.loop_patterns))]
        scale = len(pool) / len(few)

        def run(s: str):
            out = []
            for p in few:
                out.extend(call(s, p))
            return out

        return run, scale

    for mb in b.args.matcher_sizes:
        text = b.texts.get("fr", mb)
        run, scale = single_calls(lambda s, p: veskal.exact_raw_extract(s, p, False, False, []),
                                  five)
        me, them = b.mine_against(exact_raw.find, run, text,
                                  f"Matcher exact raw, {label('fr', mb)}")
        b.report.add(Row(sec, "5,000 names, exact raw", label("fr", mb),
                         "5,000 exact_raw_extract calls", them.per_char * scale / me.per_char,
                         "×", Target("≥", 100), me.mb_per_s, them.mb_per_s / scale,
                         f"{b.args.loop_patterns} calls timed, scaled to 5,000"))
        if aho is not None:
            b.compare(sec, "5,000 names, exact raw", "fr", mb, exact_raw.find,
                      [("pyahocorasick", lambda s: peers.ahocorasick_iter(aho, s),
                        Target("≥", 2), "every occurrence")], mine_timing=me)
        b.compare(sec, "5,000 names, exact token", "fr", mb, exact_token.find, [
            ("flashtext", (lambda s: peers.flashtext_extract(ft, s)) if ft else None,
             Target("≥", 5), "cuts words at any non-word character"),
            ("flashtext2 (native)", (lambda s: peers.flashtext2_extract(ft2, s)) if ft2 else None,
             None, "cuts words at any non-word character"),
        ])
    mb = min(b.args.matcher_sizes)
    text = b.texts.get("ocr", mb)
    for mode, kwargs, call in (
        ("fuzzy raw", {}, lambda s, p: veskal.fuzzy_raw_extract(s, p, False, False,
                                                                "levenshtein", 1, 0, [])),
        ("fuzzy token", {"tokenizer_pattern": " "},
         lambda s, p: veskal.fuzzy_token_extract(s, p, " ", False, False, "levenshtein", 1, 0,
                                                 [])),
    ):
        for count in (100, 1000, 10_000):
            pool = all_names[:count]
            matcher = M(pool, metric="levenshtein", threshold=1, threshold_kind=0, **kwargs)
            run, scale = single_calls(call, pool)
            me, them = b.mine_against(matcher.find, run, text, f"Matcher {mode} {count}")
            b.report.add(Row(sec, f"{count:,} names, {mode}, k = 1", label("ocr", mb),
                             f"{count:,} single-pattern calls",
                             them.per_char * scale / me.per_char, "×", Target("≥", 50),
                             me.mb_per_s, them.mb_per_s / scale,
                             f"{min(count, b.args.loop_patterns)} calls timed, scaled"))
    # Names that all begin with a phrase frequent in the text: the pieces of each must be cut where
    # they tell it apart, or every occurrence of the phrase sends all of them to be judged.
    capital = r"[A-ZÉÈ][a-zéèêëàâçôîïûù]{3,}"
    words = sorted(set(re.findall(rf"\b{capital}\b", fr)))
    shared = [f"de la {w}" for w in random.Random(11).sample(words, min(1000, len(words)))]
    for mode, kwargs, call in (
        ("fuzzy raw", {}, lambda s, p: veskal.fuzzy_raw_extract(s, p, False, False,
                                                                "levenshtein", 1, 0, [])),
        ("fuzzy token", {"tokenizer_pattern": " "},
         lambda s, p: veskal.fuzzy_token_extract(s, p, " ", False, False, "levenshtein", 1, 0,
                                                 [])),
    ):
        matcher = M(shared, metric="levenshtein", threshold=1, threshold_kind=0, **kwargs)
        run, scale = single_calls(call, shared)
        me, them = b.mine_against(matcher.find, run, text, f"Matcher {mode} shared")
        b.report.add(Row(sec, f"{len(shared):,} names all beginning \"de la \", {mode}, k = 1",
                         label("ocr", mb), f"{len(shared):,} single-pattern calls",
                         them.per_char * scale / me.per_char, "×", Target("≥", 1),
                         me.mb_per_s, them.mb_per_s / scale,
                         f"{min(len(shared), b.args.loop_patterns)} calls timed, scaled;"
                         " a phrase frequent in the text"))
    size = b.args.doc_mb
    source = b.texts.get("fr", size)
    docs = [source[i * 1000:] + source[:i * 1000] for i in range(100)]
    fuzzy = M(five[:1000], metric="levenshtein", threshold=1, threshold_kind=0)

    def pool_seconds(threads: int) -> float:
        t0 = time.perf_counter()
        fuzzy.find_all(docs, threads=threads)
        return time.perf_counter() - t0

    # A run lasts some 20 ms, where a moment's stall of either core shows: the best of as many
    # as other short runs take (harness.MOST_RUNS), in turn so that both thread counts meet the
    # same spells of the host. Nine pairs gave anywhere from 1.2 to 1.84 on one quiet machine.
    pool_seconds(1)
    runs = [(pool_seconds(1), pool_seconds(2)) for _ in range(harness.MOST_RUNS)]
    one = min(a for a, _ in runs)
    two = min(b for _, b in runs)
    b.report.add(Row(sec, "find_all, 1,000 names, fuzzy raw k = 1, 2 threads",
                     f"100 French documents of {size:g} MB", "the same, 1 thread", one / two,
                     "×", Target("≥", 1.8), 100 * size / two, 100 * size / one,
                     f"throughput ratio; best of {harness.MOST_RUNS} runs each"))

    # Many short documents: what a search costs beyond reading each must not grow with the
    # patterns, or it outweighs the reading.
    short = 5_000
    source = b.texts.get("ocr", 1000 * short / MB)
    docs = [source[i * short:(i + 1) * short] for i in range(len(source) // short)]
    joined = "".join(docs)
    where = f"{len(docs):,} OCR French documents of {short:,} characters"

    def each(search: Callable[[list[str]], Any]) -> Timing:
        # Timed as every row is, over the documents' characters in all.
        return harness.best_of(lambda _: search(docs), joined, 5)

    if aho is not None:
        me = each(lambda ds: exact_raw.find_all(ds, threads=1))
        them = each(lambda ds: [peers.ahocorasick_iter(aho, d) for d in ds])
        b.report.add(Row(sec, "5,000 names, exact raw, one document at a time", where,
                         "pyahocorasick", them.seconds / me.seconds, "×", None, me.mb_per_s,
                         them.mb_per_s, "find_all, 1 thread; every occurrence"))
    many = M(all_names, metric="levenshtein", threshold=1, threshold_kind=0)
    me = each(lambda ds: many.find_all(ds, threads=1))
    whole = harness.best_of(many.find, joined, 5)
    b.report.add(Row(sec, "10,000 names, fuzzy raw k = 1, one document at a time", where,
                     "the documents joined, one find", whole.seconds / me.seconds, "×", None,
                     me.mb_per_s, whole.mb_per_s,
                     "find_all, 1 thread; the cost of a document beyond its characters"))


def against_baseline(report: Report, old: dict) -> None:
    """veskal's speed on each row over its speed on the same row of an earlier run."""
    sec = "Against the baseline run (veskal's speed now ÷ then, same row)"
    before = {(r["section"], r["search"], r["text"]): r["veskal_mbs"] for r in old["rows"]
              if r.get("veskal_mbs")}

    def name(r: Row) -> str:
        function = re.search(r"\((\w+)", r.section)
        return f"{function.group(1) + ', ' if function else ''}{r.search}"

    ratios = sorted((r.veskal_mbs / before[(r.section, r.search, r.text)], name(r), r.text)
                    for r in list(report.rows) if r.veskal_mbs
                    and before.get((r.section, r.search, r.text)))
    ratios = list({(s, t): (x, s, t) for x, s, t in ratios}.values())
    if not ratios:
        report.notes.append("baseline: no row in common")
        return
    ratios.sort()
    median = ratios[len(ratios) // 2][0]
    report.add(Row(sec, f"median over {len(ratios)} rows", "", "", median, "×"))
    for x, search, text in ratios[:5]:
        report.add(Row(sec, search, text, "", x, "×", Target("≥", 0.98), note="slowest rows"))


# --- output --------------------------------------------------------------------------------


def machine() -> str:
    cpu = "unknown CPU"
    flags: set[str] = set()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name") and cpu == "unknown CPU":
                cpu = line.split(":", 1)[1].strip()
            elif line.startswith("flags") and not flags:
                flags = set(line.split(":", 1)[1].split())
    except OSError:
        pass
    # The engines pick their vector code at run time: the same code runs slower without it.
    vectors = ("AVX-512 (VBMI2)" if {"avx512f", "avx512bw", "avx512_vbmi2"} <= flags
               else "AVX2" if "avx2" in flags else "no AVX2" if flags else "")
    return (f"{cpu}{f' with {vectors}' if vectors else ''}, {os.cpu_count()} cores,"
            f" {platform.system()} {platform.release()}, Python {platform.python_version()}")


def load_average() -> float | None:
    try:
        return float(Path("/proc/loadavg").read_text().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def draw(report: Report, out_dir: Path) -> list[Path]:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    out_dir.mkdir(parents=True, exist_ok=True)
    paths = []
    cases = [(c, v) for c, v in report.speeds.items() if len(v) > 1]
    # One bar group per search and text: the largest size it ran on.
    best: dict[tuple[str, str], tuple[str, dict]] = {}
    for case, speeds in cases:
        search, text, mb = case.split("\n")
        # Of the per-metric rows, one setting is enough to show each metric.
        if ", pattern " in search and not search.endswith("pattern 16, t = 0.25") \
                and "k = " not in search:
            continue
        best[(search, text)] = (f"{search}, {text} {mb} MB", speeds)
    if best:
        chosen = list(best.values())
        contenders = list(dict.fromkeys(k for _, v in chosen for k in v))
        colours = {name: plt.cm.tab20(i % 20) for i, name in enumerate(contenders)}
        colours["veskal"] = "black"
        height = 0.8
        fig, ax = plt.subplots(figsize=(12, 0.32 * sum(len(v) for _, v in chosen) + 2))
        y = 0.0
        ticks, labels = [], []
        for case, speeds in chosen:
            names_ = list(speeds)
            for i, name in enumerate(names_):
                ax.barh(y + i * height / len(names_), speeds[name], height / len(names_),
                        color=colours[name], label=name)
            ticks.append(y + height / 2 - height / len(names_) / 2)
            labels.append(textwrap.fill(case, 42))
            y += 1.2
        handles, names_ = ax.get_legend_handles_labels()
        unique = dict(zip(names_, handles))
        ax.legend(unique.values(), unique.keys(), fontsize=7, loc="lower right")
        ax.set_yticks(ticks, labels, fontsize=7)
        ax.invert_yaxis()
        ax.set_xscale("log")
        ax.set_xlabel("throughput, MB/s (10^6 characters a second), log scale")
        ax.set_title("veskal and its peers on the same text")
        fig.tight_layout()
        path = out_dir / "throughput.png"
        fig.savefig(path, dpi=90)
        plt.close(fig)
        paths.append(path)
    if report.growth:
        fig, ax = plt.subplots(figsize=(9, 6))
        for i, (name, points) in enumerate(report.growth.items()):
            xs = [c / MB for c, _ in points]
            ts = [t for _, t in points]
            slope = loglog_slope(points)
            ax.plot(xs, ts, marker="o", linestyle="-" if i < 10 else "--",
                    color=plt.cm.tab20(i % 20), label=f"{name} (slope {slope:.2f})")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("text size, MB (10^6 characters)")
        ax.set_ylabel("time of one call, s")
        ax.set_title("veskal: time against text size")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=7)
        fig.tight_layout()
        path = out_dir / "growth.png"
        fig.savefig(path, dpi=90)
        plt.close(fig)
        paths.append(path)
    return paths


def update_readme(table: str) -> bool:
    readme = ROOT / "README.md"
    text = readme.read_text(encoding="utf-8")
    if README_START not in text or README_END not in text:
        return False
    head, rest = text.split(README_START, 1)
    _, tail = rest.split(README_END, 1)
    readme.write_text(f"{head}{README_START}\n{table}{README_END}{tail}", encoding="utf-8")
    return True


def sizes(arg: str) -> list[float]:
    return sorted(float(x) for x in arg.split(",") if x.strip())


def main() -> int:
    global veskal
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sections", default=",".join(SECTIONS),
                    help=f"comma-separated subset of {','.join(SECTIONS)}")
    ap.add_argument("--quick", action="store_true", help="small sizes and short time boxes")
    ap.add_argument("--raw-sizes", type=sizes, default=[10.0, 100.0], help="MB")
    ap.add_argument("--token-sizes", type=sizes, default=[1.0, 10.0], help="MB")
    ap.add_argument("--fuzzy-sizes", type=sizes, default=[1.0, 10.0], help="MB")
    ap.add_argument("--metric-mb", type=float, default=1.0,
                    help="text for the per-metric rows, MB (slow runs take a prefix)")
    ap.add_argument("--growth-sizes", type=sizes, default=[1.0, 10.0], help="two sizes, MB")
    ap.add_argument("--rounds", type=int, default=9,
                    help="most rounds of runs taken in turns (growth sizes, Matcher against its"
                    " loop), budget allowing")
    ap.add_argument("--growth-budget", type=float, default=6.0,
                    help="longest growth run, s; both sizes shrink to fit")
    ap.add_argument("--memory-mb", type=float, default=10.0)
    ap.add_argument("--thread-mb", type=float, default=10.0)
    ap.add_argument("--matcher-sizes", type=sizes, default=[1.0, 10.0], help="MB")
    ap.add_argument("--doc-mb", type=float, default=0.1,
                    help="size of each of the 100 documents given to Matcher.find_all, MB")
    ap.add_argument("--loop-patterns", type=int, default=20,
                    help="single-pattern calls timed, then scaled, against a Matcher")
    ap.add_argument("--budget", type=float, default=3.0,
                    help="longest veskal run before it is timed on a prefix, s")
    ap.add_argument("--peer-budget", type=float, default=2.0,
                    help="longest peer run before it is timed on a prefix, s")
    ap.add_argument("--hard-timeout", type=float, default=30.0,
                    help="a call run in a child process is killed after this long, s")
    ap.add_argument("--sigint-seconds", type=float, default=4.0,
                    help="length of the call interrupted by SIGINT, s")
    ap.add_argument("--repeat", type=int, default=3,
                    help="best of N runs at least; short runs go on for a second")
    ap.add_argument("--baseline", type=Path, default=None,
                    help="a benchmarks/data/last-run.json kept from an earlier run: compare"
                    " veskal's speed on every row with it")
    ap.add_argument("--out", type=Path, default=None,
                    help="where results.md and the pictures go (default: the committed places"
                    " for a full run, benchmarks/data/quick/ for --quick)")
    if "--quick" in sys.argv[1:]:
        # Options given explicitly still win over these.
        ap.set_defaults(raw_sizes=[1.0, 5.0], token_sizes=[0.5, 1.0], fuzzy_sizes=[0.2, 1.0],
                        metric_mb=0.1, growth_sizes=[0.2, 2.0], growth_budget=1.0,
                        memory_mb=2.0, thread_mb=2.0, matcher_sizes=[0.2, 1.0], doc_mb=0.02,
                        loop_patterns=5, budget=0.3, peer_budget=0.2, hard_timeout=10.0,
                        sigint_seconds=2.0, repeat=2)
    args = ap.parse_args()
    chosen = [s.strip() for s in args.sections.split(",") if s.strip()]
    unknown = [s for s in chosen if s not in SECTIONS]
    if unknown:
        ap.error(f"unknown sections {unknown}; choose from {SECTIONS}")
    full = not args.quick and chosen == list(SECTIONS)
    out = args.out or (ROOT if full else HERE / "data" / "quick")
    try:
        import veskal as module
    except ImportError as exc:
        print(f"cannot import veskal: {exc}", file=sys.stderr)
        return 2
    veskal = module

    started = time.perf_counter()
    load_start = load_average()
    texts = Texts()
    pats = Patterns(texts)
    report = Report()
    bench = Bench(args, texts, report)
    when = datetime.datetime.now(datetime.UTC).strftime("%Y-%m-%d %H:%M UTC")
    print(f"machine: {machine()}\nveskal: {getattr(veskal, '__file__', '?')}")
    print("peers: " + ", ".join(f"{k} {v}" for k, v in peers.versions().items()))
    for module_name, why in peers.MISSING.items():
        print(f"peer skipped: {module_name} failed to import ({why})")
    for v in prepare_data.VARIANTS:
        print(f"text {v}: {prepare_data.source(v)}, {len(texts.base[v]):,} characters")
    print(f"patterns: {pats.by_length}")

    steps = {"checks": check_peers, "exact": bench_exact, "token": bench_token,
             "fuzzy": bench_fuzzy,
             "metrics": bench_metrics, "fuzzy-token": bench_fuzzy_token, "growth": bench_growth,
             "memory": bench_memory, "threads": bench_threads, "matcher": bench_matcher}
    for name in SECTIONS:
        if name in chosen:
            print(f"\n== {name} ==", flush=True)
            steps[name](bench, pats)
    if bench.stalls:
        worst = max(bench.stalls)
        report.add(Row("Responsiveness: threads, stalls and Ctrl-C",
                       "longest stall of another thread during any veskal call", "", "",
                       worst[0] * 1000, "ms", Target("≤", 20, "ms"), None, None, worst[1]))

    if args.baseline is not None:
        against_baseline(report, json.loads(args.baseline.read_text(encoding="utf-8")))
    load_end = load_average()
    elapsed = time.perf_counter() - started
    met = sum(r.verdict == "met" for r in report.rows)
    missed = sum(r.verdict == "missed" for r in report.rows)
    header = [
        f"Measured by `make bench` on {when}: {machine()}; load average {load_start} at the"
        f" start and {load_end} at the end of a {elapsed / 60:.0f}-minute run. Peers: "
        + ", ".join(f"{k} {v}" for k, v in peers.versions().items()) + ".",
        "",
        "Texts: " + "; ".join(f"{LABELS[v]}: {prepare_data.source(v)}"
                              for v in prepare_data.VARIANTS) + ". MB = 10^6 characters."
        " **result** is peer time ÷ veskal time for the same work on the same text (above 1,"
        " veskal is faster), or the quantity named. Slow contenders are timed on a prefix and"
        " extrapolated per character, as the note says.",
        "",
        f"Targets: {met} met, {missed} missed.",
    ]
    table = harness.markdown(report, header)
    print(f"\n{table}")
    out.mkdir(parents=True, exist_ok=True)
    data_dir = HERE / "data"
    data_dir.mkdir(exist_ok=True)
    (data_dir / ("last-run-quick.json" if args.quick else "last-run.json")).write_text(
        json.dumps(report.to_json(), indent=1, ensure_ascii=False), encoding="utf-8")
    results = (out / "benchmarks" / "results.md") if out == ROOT else out / "results.md"
    pictures = (out / "docs" / "bench") if out == ROOT else out
    results.parent.mkdir(parents=True, exist_ok=True)
    results.write_text(table, encoding="utf-8")
    print(f"wrote {results}")
    for path in draw(report, pictures):
        print(f"wrote {path}")
    if out == ROOT:
        print("README.md updated" if update_readme(table) else "README.md has no bench markers")
    print(f"total time {elapsed:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
