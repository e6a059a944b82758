"""Throughput of veskal against established libraries and plain-Python loops.

    python benchmarks/run.py                       # everything: about 2 minutes on 2 idle cores
    python benchmarks/run.py --sections raw,solver --raw-sizes 1,10
    python benchmarks/run.py --quick               # small sizes, a smoke test

Text is real English prose (see prepare_data.py), repeated to reach the larger sizes.
MB means 10^6 bytes of UTF-8; "veskal x" is veskal's MB/s divided by the peer's, on the
same text size when the peer ran at that size, else against veskal's largest run.
"""

from __future__ import annotations

import argparse
import os
import platform
import re
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import peers  # noqa: E402
import prepare_data  # noqa: E402
from harness import Row, Table, Target, best_of, megabytes  # noqa: E402

MB = 1_000_000
SECTIONS = ("token", "raw", "solver", "fuzzy", "fuzzy-token")

veskal = None  # imported in main() so that --peers-only works without the module


def sizes(arg: str) -> list[float]:
    return sorted(float(x) for x in arg.split(",") if x.strip())


def label(mb: float) -> str:
    return f"{mb:g}"


class Texts:
    """Real texts of a given size in characters, made once and shared by the sections."""

    def __init__(self) -> None:
        self.base = prepare_data.build()
        self.cache: dict[int, str] = {}

    def get(self, chars: int) -> str:
        if chars not in self.cache:
            self.cache[chars] = prepare_data.corpus(chars, self.base)
        return self.cache[chars]

    def drop_larger_than(self, chars: int) -> None:
        for k in [k for k in self.cache if k > chars]:
            del self.cache[k]


def repeats_for(mb: float, requested: int) -> int:
    return requested if mb <= 10 else max(1, requested - 1)


def pick_segment(text: str, offset: int, length: int) -> str:
    """A run of `length` characters of prose, from a word start to a word end."""
    word = re.compile(r"[A-Za-z][A-Za-z ,.'-]*[A-Za-z]")
    i = offset
    while True:
        i = text.index(" ", i) + 1
        seg = text[i:i + length]
        if (word.fullmatch(seg) and "  " not in seg and text[i + length:i + length + 1] == " "):
            return seg


def typo(segment: str) -> str:
    """One substituted letter near the middle, as an OCR or typing slip would make."""
    i = len(segment) // 2
    while not segment[i].isalpha():
        i += 1
    c = segment[i]
    new = chr((ord(c.lower()) - 97 + 13) % 26 + 97)
    return segment[:i] + new + segment[i + 1:]


# --- exact tokens --------------------------------------------------------------------------


def bench_token(texts: Texts, args, targets: list[Target]) -> Table:
    table = Table("exact_token_extract, tokenizer ' ' (one-token patterns)")
    patterns = {"frequent 'the'": "the", "rare 'mysterious'": "mysterious"}
    sample = texts.get(MB)
    for name, pat in patterns.items():
        mine = veskal.exact_token_extract(sample, pat, " ", False, False)
        theirs = peers.split_loop(sample, pat)
        same = "equal" if mine == theirs else f"DIFFERENT ({len(mine)} vs {len(theirs)})"
        table.notes.append(f"check {name} on 1 MB: veskal and the split loop give {same} spans")
    if peers.flashtext is not None:
        table.notes.append("flashtext cuts words at every non-word character (so 'the.' counts),"
                           " hence its larger counts; the split loop gives exactly veskal's spans")
    warm = texts.get(MB // 10)
    for mb in args.token_sizes:
        text = texts.get(int(mb * MB))
        size = megabytes(text)
        rep = repeats_for(mb, args.repeat)
        for name, pat in patterns.items():
            t, r = best_of(lambda s: veskal.exact_token_extract(s, pat, " ", False, False), rep,
                           lambda: veskal.exact_token_extract(warm, pat, " ", False, False),
                           text)
            table.add(Row(name, size, "veskal", t, len(r)))
            t, r = best_of(lambda: peers.split_loop(text, pat), rep,
                           lambda: peers.split_loop(warm, pat))
            table.add(Row(name, size, "split loop", t, len(r)))
            kp = peers.flashtext_prepare(pat)
            if kp is not None:
                t, r = best_of(lambda: peers.flashtext_extract(kp, text), rep,
                               lambda: peers.flashtext_extract(kp, warm))
                table.add(Row(name, size, "flashtext", t, len(r)))
            del r
    for name in patterns:
        for peer, want in (("split loop", 5), ("flashtext", 5)):
            targets.append(Target(f"exact_token_extract {name} vs {peer}", want,
                                  ratio_at_largest(table, name, peer)))
    return table


# --- exact raw -----------------------------------------------------------------------------


def bench_raw(texts: Texts, args, targets: list[Target]) -> Table:
    table = Table("exact_raw_extract, strategies []")
    patterns = {"rare 'mysterious'": "mysterious", "frequent 'the'": "the"}
    sample = texts.get(MB)
    for name, pat in patterns.items():
        mine = [(s, e) for s, e, _ in veskal.exact_raw_extract(sample, pat, False, False, [])]
        theirs = peers.find_loop(sample, pat)
        if mine == theirs:
            verdict = "the same spans"
        elif set(mine) <= set(theirs):
            verdict = (f"a subset ({len(mine)} of {len(theirs)}: touching occurrences are"
                       " merged into one)")
        else:
            verdict = f"DIFFERENT spans ({len(mine)} vs {len(theirs)})"
        table.notes.append(f"check {name} on 1 MB: veskal gives {verdict} of the str.find loop")
    table.notes.append("peers report every occurrence, overlapping ones included; veskal also"
                       " merges touching or overlapping ones (one per cluster), which for these"
                       " patterns in prose changes nothing or next to nothing")
    table.notes.append("StringZilla searches the UTF-8 bytes, encoded outside the timing, so its"
                       " spans are byte offsets")
    table.notes.append("the prose holds accented letters, so veskal encodes it to UTF-8 on every"
                       " call; '(ASCII)' rows run on a copy with those letters replaced by '?',"
                       " which veskal searches in place, without copying")
    warm = texts.get(MB // 10)
    for mb in args.raw_sizes:
        text = texts.get(int(mb * MB))
        size = megabytes(text)
        rep = repeats_for(mb, args.repeat)
        zilla = peers.stringzilla_prepare(text)
        zilla_warm = peers.stringzilla_prepare(warm)
        for name, pat in patterns.items():
            t, r = best_of(lambda s: veskal.exact_raw_extract(s, pat, False, False, []), rep,
                           lambda: veskal.exact_raw_extract(warm, pat, False, False, []), text)
            table.add(Row(name, size, "veskal", t, len(r)))
            if pat == "mysterious":
                ascii_text = text.encode("ascii", "replace").decode("ascii")
                t, r = best_of(lambda: veskal.exact_raw_extract(ascii_text, pat, False, False, []),
                               rep, lambda: veskal.exact_raw_extract(warm, pat, False, False, []))
                table.add(Row(name, size, "veskal (ASCII)", t, len(r), "text lent, not copied"))
                t, r = best_of(lambda: peers.find_loop(ascii_text, pat), rep,
                               lambda: peers.find_loop(warm, pat))
                table.add(Row(name, size, "str.find loop (ASCII)", t, len(r)))
                del ascii_text
            contenders = [("str.find loop", lambda s: peers.find_loop(s, pat)),
                          ("re (?=pat)", lambda s: peers.re_lookahead(s, pat))]
            automaton = peers.ahocorasick_prepare(pat)
            if automaton is not None:
                contenders.append(("pyahocorasick", lambda s: peers.ahocorasick_iter(automaton, s)))
            for peer, fn in contenders:
                t, r = best_of(lambda: fn(text), rep, lambda: fn(warm))
                table.add(Row(name, size, peer, t, len(r)))
            if zilla is not None:
                t, r = best_of(lambda: peers.stringzilla_find_loop(zilla, pat), rep,
                               lambda: peers.stringzilla_find_loop(zilla_warm, pat))
                table.add(Row(name, size, "stringzilla find loop", t, len(r)))
            del r
    rare = "rare 'mysterious'"
    targets.append(Target(f"exact_raw_extract {rare} vs str.find loop", 3,
                          ratio_at_largest(table, rare, "str.find loop")))
    targets.append(Target(f"exact_raw_extract {rare} vs StringZilla (within 3x = 0.33x)", 1 / 3,
                          ratio_at_largest(table, rare, "stringzilla find loop")))
    mine = [r for r in table.rows if r.case == rare and r.contender == "veskal (ASCII)"]
    theirs = [r for r in table.rows if r.case == rare and r.contender == "str.find loop (ASCII)"]
    if mine and theirs:
        targets.append(Target(f"exact_raw_extract {rare}, ASCII text, vs str.find loop", 3,
                              theirs[-1].seconds / mine[-1].seconds))
    return table


# --- conflict resolution -------------------------------------------------------------------


def bench_solver(args) -> Table:
    table = Table("conflict resolution through exact_raw_extract")
    table.notes.append("'a'*n gives n touching candidates in one cluster; 'a '*n gives n"
                       " separate ones; growth should be linear in the number of candidates")
    cases = [
        ("touching, strategies []", "a", []),
        ("touching, three strategies", "a", ["best_match", "shortest",
                                             "minimum_isolated_character"]),
        ("separate, strategies []", "a ", []),
        ("separate, three strategies", "a ", ["best_match", "shortest",
                                              "minimum_isolated_character"]),
    ]
    for millions in args.solver_sizes:
        n = int(millions * MB)
        for name, unit, strategies in cases:
            text = unit * n
            size = megabytes(text)
            rep = repeats_for(millions * len(unit), args.repeat)
            t, r = best_of(lambda: veskal.exact_raw_extract(text, "a", False, False, strategies),
                           rep, lambda: veskal.exact_raw_extract(text[:1000], "a", False, False,
                                                                 strategies))
            expected = 1 if unit == "a" else n
            note = f"{label(millions)}M candidates, {n / t / 1e6:.1f} M candidates/s"
            if len(r) != expected:
                note += f"; UNEXPECTED {len(r)} results, wanted {expected}"
            table.add(Row(name, size, "veskal", t, len(r), note))
            del r
    return table


# --- fuzzy ---------------------------------------------------------------------------------


def adaptive_slice(fn, text: str, limit_chars: int, min_seconds: float, repeat: int):
    """Times `fn` on the largest leading slice that stays affordable.

    Starts small and doubles while a run is faster than `min_seconds`, up to `limit_chars`,
    so very slow peers are measured on less text; MB/s stays comparable across sizes.
    """
    chars = min(64_000, limit_chars)
    while True:
        part = text[:chars]
        t, r = best_of(lambda: fn(part), 1)
        if t >= min_seconds or chars >= limit_chars:
            break
        chars = min(chars * 4 if t < min_seconds / 8 else chars * 2, limit_chars)
    if t < 2.0 and repeat > 1:
        t2, r = best_of(lambda: fn(part), repeat - 1)
        t = min(t, t2)
    return part, t, r


def fuzzy_patterns(text: str) -> dict[int, tuple[str, str]]:
    return {n: (seg, typo(seg)) for n, seg in
            ((n, pick_segment(text, off, n)) for n, off in
             ((8, 10_000), (16, 30_000), (32, 50_000)))}


def bench_fuzzy(texts: Texts, args, targets: list[Target]) -> Table:
    table = Table("fuzzy_raw_extract, 'levenshtein', threshold_kind 0, strategies []")
    base = texts.base
    patterns = fuzzy_patterns(base)
    for n, (seg, pat) in patterns.items():
        table.notes.append(f"pattern {n}: {pat!r} (from {seg!r})")
    table.notes.append(f"peers are timed on a leading slice of at most {label(args.peer_mb)} MB"
                       " (smaller when they are slow); MB/s is comparable across sizes")
    table.notes.append("veskal compares windows of exactly the pattern's length (threshold_kind"
                       " 0) and keeps one match per cluster; the peers report variable-length"
                       " matches (edlib only those at the best distance), so counts differ")
    peer_limit = int(args.peer_mb * MB)
    warm = texts.get(100_000)
    for k in (1, 2):
        for n, (seg, pat) in patterns.items():
            case = f"len {n}, k={k}"
            for mb in args.fuzzy_sizes:
                text = texts.get(int(mb * MB))
                rep = repeats_for(mb, args.repeat)
                t, r = best_of(lambda s: veskal.fuzzy_raw_extract(
                    s, pat, False, False, "levenshtein", k, 0, []), rep,
                    lambda: veskal.fuzzy_raw_extract(warm, pat, False, False, "levenshtein", k,
                                                     0, []), text)
                table.add(Row(case, megabytes(text), "veskal", t, len(r)))
            text = texts.get(max(int(mb * MB) for mb in args.fuzzy_sizes))
            contenders = []
            if peers.fuzzysearch is not None:
                contenders.append(("fuzzysearch", lambda s: peers.fuzzysearch_find(s, pat, k)))
            compiled = peers.regex_prepare(pat, k)
            if compiled is not None:
                contenders.append(("regex {e<=k}", lambda s: peers.regex_find(compiled, s)))
            if peers.edlib is not None:
                contenders.append(("edlib HW", lambda s: peers.edlib_find(s, pat, k)))
            for peer, fn in contenders:
                fn(warm[:10_000])
                part, t, r = adaptive_slice(fn, text, peer_limit, args.peer_seconds, args.repeat)
                table.add(Row(case, megabytes(part), peer, t, len(r)))
    for peer, want in (("fuzzysearch", 10), ("regex {e<=k}", 10)):
        targets.append(worst_target(table, f"fuzzy_raw_extract vs {peer}", peer, want))
    targets.append(worst_target(table, "fuzzy_raw_extract vs edlib HW (no target)", "edlib HW",
                                0))
    return table


def bench_fuzzy_token(texts: Texts, args, targets: list[Target]) -> Table:
    table = Table("fuzzy_token_extract, tokenizer ' ', 'levenshtein', threshold_kind 0, "
                  "strategies []")
    patterns = fuzzy_patterns(texts.base)
    table.notes.append("the loop tokenises with re, slices each run of tokens, trims it and calls"
                       " rapidfuzz Levenshtein.distance with score_cutoff=k; it does not merge"
                       " overlapping candidates")
    sample = texts.get(MB)
    for k in ((1, 2) if peers.rapidfuzz_distance is not None else ()):
        for n, (seg, pat) in patterns.items():
            mine = veskal.fuzzy_token_extract(sample, pat, " ", False, False, "levenshtein", k, 0,
                                              [])
            theirs = peers.token_window_loop(sample, pat, k)
            verdict = ("a subset, as expected" if set(mine) <= set(theirs)
                       else "NOT a subset")
            table.notes.append(f"check len {n}, k={k} on 1 MB: veskal's {len(mine)} matches are"
                               f" {verdict} of the loop's {len(theirs)} candidates")
    peer_limit = int(args.peer_mb * MB)
    warm = texts.get(100_000)
    for k in (1, 2):
        for n, (seg, pat) in patterns.items():
            case = f"len {n}, k={k}"
            for mb in args.fuzzy_sizes:
                text = texts.get(int(mb * MB))
                rep = repeats_for(mb, args.repeat)
                t, r = best_of(lambda s: veskal.fuzzy_token_extract(
                    s, pat, " ", False, False, "levenshtein", k, 0, []), rep,
                    lambda: veskal.fuzzy_token_extract(warm, pat, " ", False, False,
                                                       "levenshtein", k, 0, []), text)
                table.add(Row(case, megabytes(text), "veskal", t, len(r)))
            if peers.rapidfuzz_distance is not None:
                text = texts.get(peer_limit)
                t, r = best_of(lambda: peers.token_window_loop(text, pat, k), args.repeat,
                               lambda: peers.token_window_loop(warm, pat, k))
                table.add(Row(case, megabytes(text), "rapidfuzz loop", t, len(r)))
    targets.append(worst_target(table, "fuzzy_token_extract vs rapidfuzz loop", "rapidfuzz loop",
                                20))
    return table


# --- targets -------------------------------------------------------------------------------


def ratio_at_largest(table: Table, case: str, peer: str) -> float | None:
    theirs = [r for r in table.rows if r.case == case and r.contender == peer]
    if not theirs:
        return None
    r = max(theirs, key=lambda x: x.size_mb)
    mine = table.veskal_speed(case, r.size_mb)
    return None if mine is None else mine / r.mb_per_s


def worst_target(table: Table, description: str, peer: str, want: float) -> Target:
    ratios = [(ratio_at_largest(table, case, peer), case)
              for case in dict.fromkeys(r.case for r in table.rows)]
    ratios = [(x, c) for x, c in ratios if x is not None]
    if not ratios:
        return Target(description, want, None)
    worst, case = min(ratios)
    best = max(x for x, _ in ratios)
    return Target(f"{description}, worst case ({case}; best {best:.1f}x)", want, worst)


# --- main ----------------------------------------------------------------------------------


def machine() -> str:
    cpu = "unknown CPU"
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return (f"{os.cpu_count()} cores ({cpu}), {platform.system()} {platform.release()},"
            f" Python {platform.python_version()}")


def load_warning(own: float = 0.0) -> str | None:
    """Other processes inflate wall-clock times; say so rather than let the figures mislead.

    `own` is the share of the load average that this benchmark itself adds.
    """
    try:
        load = float(Path("/proc/loadavg").read_text().split()[0]) - own
    except (OSError, ValueError, IndexError):
        return None
    cores = os.cpu_count() or 1
    if load <= cores - 0.5:
        return None
    return (f"warning: load average {load:.1f} from other processes on {cores} cores: they"
            " compete for the CPU and the times are pessimistic")


def main() -> int:
    global veskal
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sections", default=",".join(SECTIONS),
                    help=f"comma-separated subset of {','.join(SECTIONS)}")
    ap.add_argument("--token-sizes", type=sizes, default=sizes("1,10,50"), help="MB")
    ap.add_argument("--raw-sizes", type=sizes, default=sizes("1,10,100"), help="MB")
    ap.add_argument("--solver-sizes", type=sizes, default=sizes("1,10"),
                    help="millions of candidates")
    ap.add_argument("--fuzzy-sizes", type=sizes, default=sizes("1,10"), help="MB")
    ap.add_argument("--peer-mb", type=float, default=1.0,
                    help="largest slice for the slow fuzzy peers, MB")
    ap.add_argument("--peer-seconds", type=float, default=1.0,
                    help="a slow peer's slice stops growing once one run takes this long")
    ap.add_argument("--repeat", type=int, default=3, help="best of N (N-1 above 10 MB)")
    ap.add_argument("--quick", action="store_true", help="small sizes only")
    args = ap.parse_args()
    if args.quick:
        args.token_sizes, args.raw_sizes = [1.0, 5.0], [1.0, 5.0]
        args.solver_sizes, args.fuzzy_sizes = [0.1, 1.0], [0.2, 1.0]
        args.peer_mb, args.peer_seconds, args.repeat = 0.2, 0.2, 2
    chosen = [s.strip() for s in args.sections.split(",") if s.strip()]
    unknown = [s for s in chosen if s not in SECTIONS]
    if unknown:
        ap.error(f"unknown sections {unknown}; choose from {SECTIONS}")

    try:
        import veskal as module
    except ImportError as exc:
        print(f"cannot import veskal: {exc}", file=sys.stderr)
        return 2
    veskal = module

    started = time.perf_counter()
    busy_at_start = load_warning()
    if busy_at_start:
        print(busy_at_start)
    texts = Texts()
    print(f"machine: {machine()}")
    print(f"veskal: {getattr(veskal, '__file__', '?')}")
    print("peers: " + ", ".join(f"{k} {v}" for k, v in peers.versions().items()))
    for module_name, why in peers.MISSING.items():
        print(f"peer skipped: {module_name} failed to import ({why})")
    print("timing: best of N runs (N-1 above 10 MB) after a warm-up on a small slice, cyclic GC"
          " paused; every veskal run gets a fresh copy of the str")
    print(f"text: {prepare_data.source()}, {len(texts.base):,} characters of real prose;"
          " larger sizes repeat it")

    targets: list[Target] = []
    tables: list[Table] = []
    if "token" in chosen:
        tables.append(bench_token(texts, args, targets))
        print(tables[-1].render(), flush=True)
    if "raw" in chosen:
        tables.append(bench_raw(texts, args, targets))
        print(tables[-1].render(), flush=True)
    texts.drop_larger_than(int(max(args.fuzzy_sizes + [args.peer_mb]) * MB))
    if "solver" in chosen:
        tables.append(bench_solver(args))
        print(tables[-1].render(), flush=True)
    if "fuzzy" in chosen:
        tables.append(bench_fuzzy(texts, args, targets))
        print(tables[-1].render(), flush=True)
    if "fuzzy-token" in chosen:
        tables.append(bench_fuzzy_token(texts, args, targets))
        print(tables[-1].render(), flush=True)

    print("\n== targets (veskal's MB/s over the peer's, largest size each ran at) ==")
    for target in targets:
        print(target.render())
    for when, warning in (("at the start", busy_at_start), ("at the end", load_warning(own=1.0))):
        if warning:
            print(f"{warning} ({when})")
    print(f"\ntotal time {time.perf_counter() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
