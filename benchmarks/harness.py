"""Timing, bounding and reporting shared by the benchmark sections.

Every measurement is bounded: slow contenders run on a prefix of the text that grows until one
run takes long enough, and their time is extrapolated per character; calls that may not return
in reasonable time run in a forked child that is killed at its deadline.

Run as a script it is the child that measures one call's peak memory (see peak_memory).
"""

from __future__ import annotations

import gc
import json
import math
import os
import pickle
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
MB = 1_000_000


def fresh_copy(text: str) -> str:
    """An equal str object that has never been handed to native code.

    CPython caches the UTF-8 form of a str the first time an extension asks for it, so a second
    call on the same object could skip work that a real first call pays.
    """
    return text[:-1] + text[-1:] if text else text


class Ticker:
    """A thread that wakes every millisecond and keeps the longest gap between two wake-ups.

    A gap far above a millisecond means the calling thread held the interpreter lock that long.
    """

    def __init__(self) -> None:
        self.longest = 0.0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self) -> None:
        last = time.perf_counter()
        while not self._stop.is_set():
            time.sleep(0.001)
            now = time.perf_counter()
            self.longest = max(self.longest, now - last)
            last = now

    def __enter__(self) -> Ticker:
        self._thread.start()
        time.sleep(0.005)  # let it start ticking before the call begins
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()


@dataclass
class Timing:
    seconds: float  # best run over `chars` characters of text
    chars: int
    found: int | None
    stall: float | None = None  # longest gap a ticker thread saw during a run
    prefix: bool = False  # measured on a prefix of the case's text and extrapolated
    lower: bool = False  # the run was stopped: `seconds` is only a lower bound

    @property
    def per_char(self) -> float:
        return self.seconds / max(1, self.chars)

    @property
    def mb_per_s(self) -> float:
        return self.chars / MB / self.seconds if self.seconds > 0 else float("inf")


_EVICTION = bytearray(64 << 20)


def evict_caches() -> None:
    """Pushes the text out of the CPU caches, so that a small text does not run from cache
    while a large one cannot: a user's text is seldom hot when the call starts."""
    bytes(_EVICTION)


def best_of(fn: Callable[[Any], Any], text: str, repeat: int, ticker: bool = False,
            prepare: Callable[[str], Any] | None = None) -> Timing:
    """Best of `repeat` runs of fn(text), each on a fresh copy made outside the timing.

    The collector is paused during a run because the peers build millions of small objects and a
    collection would land in a random run. With `ticker`, every run also records the longest
    stall another thread sees; the ticker's own cost is negligible.
    """
    best = float("inf")
    found = None
    stall = None
    gc_was_enabled = gc.isenabled()
    try:
        for i in range(max(1, repeat)):
            arg = fresh_copy(text) if prepare is None else prepare(fresh_copy(text))
            gc.collect()
            evict_caches()
            gc.disable()
            if ticker:
                with Ticker() as tick:
                    t0 = time.perf_counter()
                    result = fn(arg)
                    elapsed = time.perf_counter() - t0
                stall = max(stall or 0.0, tick.longest)
            else:
                t0 = time.perf_counter()
                result = fn(arg)
                elapsed = time.perf_counter() - t0
            gc.enable()
            found = len(result) if hasattr(result, "__len__") else None
            del result, arg
            best = min(best, elapsed)
    finally:
        if gc_was_enabled:
            gc.enable()
    return Timing(best, len(text), found, stall)


SHORT_RUNS_SPEND = 1.0  # s
MOST_RUNS = 30


def timed(fn: Callable[[Any], Any], text: str, repeat: int, budget: float,
          first_chars: int = 2_000, ticker: bool = False,
          prepare: Callable[[str], Any] | None = None,
          progress: Callable[[Timing], None] | None = None) -> Timing:
    """Times fn on the whole text, or on a prefix when the whole would take more than `budget`.

    The prefix starts at `first_chars` and grows while a run stays well under the budget, so a
    slow contender is measured on less text; its time per character is what gets compared.
    Runs repeat `repeat` times, and more while they are short: best of three reads the host's
    spells as well as the code (one search of 10 MB took anywhere from 1.4 to 2.5 ms, one Jaro
    search of 1 MB from 139 to 217 ms), so runs go on until SHORT_RUNS_SPEND seconds are spent,
    MOST_RUNS at most.
    Repeats stop once about twice the budget has been spent.
    """
    chars = min(first_chars, len(text))
    spent = 0.0
    while True:
        t = best_of(fn, text[:chars], 1, ticker, prepare)
        spent += t.seconds
        if progress is not None:
            progress(t)
        if chars >= len(text) or t.seconds >= budget / 4:
            break
        if t.seconds * len(text) / chars <= budget:  # the whole text is affordable
            chars = len(text)
        else:
            grow = min(10.0, max(2.0, budget / 2 / max(t.seconds, 1e-6)))
            chars = min(len(text), int(chars * grow))
    part = text[:chars]
    runs = 1
    while spent < 2 * budget and (runs < repeat or
                                  (runs < MOST_RUNS and spent < SHORT_RUNS_SPEND)):
        again = best_of(fn, part, 1, ticker, prepare)
        spent += again.seconds
        runs += 1
        t.seconds = min(t.seconds, again.seconds)
        if again.stall is not None:
            t.stall = max(t.stall or 0.0, again.stall)
    t.prefix = chars < len(text)
    return t


def bounded(fn: Callable[[], Any], timeout: float) -> tuple[str, Any]:
    """Runs fn() in a forked child and returns ("ok", its result), ("timeout", None) or
    ("error", message). The child is killed at the deadline, so a call that never returns
    costs `timeout` seconds and nothing more. The result must pickle.
    """
    read_fd, write_fd = os.pipe()
    pid = os.fork()
    if pid == 0:  # child
        os.close(read_fd)
        try:
            payload = pickle.dumps(("ok", fn()))
        except BaseException as exc:  # the parent reports it, whatever it was
            payload = pickle.dumps(("error", f"{type(exc).__name__}: {exc}"))
        with os.fdopen(write_fd, "wb") as out:
            out.write(payload)
        os._exit(0)
    os.close(write_fd)
    chunks: list[bytes] = []
    deadline = time.monotonic() + timeout
    import selectors

    with os.fdopen(read_fd, "rb", buffering=0) as pipe, selectors.DefaultSelector() as sel:
        sel.register(pipe, selectors.EVENT_READ)
        while True:
            left = deadline - time.monotonic()
            if left <= 0 or not sel.select(left):
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                return "timeout", None
            chunk = pipe.read(1 << 16)
            if not chunk:
                break
            chunks.append(chunk)
    os.waitpid(pid, 0)
    if not chunks:
        return "error", "the child died without an answer"
    return pickle.loads(b"".join(chunks))


def timed_bounded(fn: Callable[[str], Any], text: str, budget: float, timeout: float,
                  first_chars: int = 500) -> tuple[Timing | None, str]:
    """timed() in a forked child killed after `timeout`, for calls that may take minutes even
    on a short prefix. On a timeout, the last finished run (if any) still gives an estimate,
    which the returned note says."""
    import mmap
    import struct

    shared = mmap.mmap(-1, 24)  # anonymous and shared with the child: its finished runs

    def note_run(t: Timing) -> None:
        shared.seek(0)
        shared.write(struct.pack("ddd", t.chars, t.seconds, t.stall or 0.0))

    status, got = bounded(lambda: timed(fn, text, 1, budget, first_chars, True,
                                        progress=note_run), timeout)
    if status == "ok":
        return got, ""
    if status == "error":
        return None, str(got)
    shared.seek(0)
    chars, seconds, stall = struct.unpack("ddd", shared.read(24))
    if chars == 0:  # a lower bound: the first run alone took longer than the deadline
        t = Timing(timeout, min(first_chars, len(text)), None, None, prefix=True, lower=True)
        return t, f"a first run on {t.chars:,} characters did not end in {timeout:g} s"
    t = Timing(seconds, int(chars), None, stall, prefix=True)
    return t, f"timed on {int(chars):,} characters; the next, longer run was stopped at" \
        f" {timeout:g} s"


# --- peak memory ---------------------------------------------------------------------------


def _status(field_name: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field_name + ":"):
            return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field_name} in /proc/self/status")


def peak_memory(variant: str, chars: int, function: str, args: list, python: str,
                timeout: float) -> dict:
    """Peak memory that one call adds on top of the process holding its text.

    A fresh interpreter builds the text, resets the kernel's high-water mark of its resident
    set (so the text's own construction is not counted), makes the call and reads the new mark:
    native allocations count, which tracemalloc would miss.
    """
    job = json.dumps({"variant": variant, "chars": chars, "function": function, "args": args})
    try:
        out = subprocess.run([python, __file__, "memory", job], capture_output=True, text=True,
                             timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": f"timed out after {timeout:g} s"}
    if out.returncode != 0:
        return {"error": (out.stderr.strip().splitlines() or ["failed"])[-1]}
    return json.loads(out.stdout)


def _memory_child(job: dict) -> dict:
    import prepare_data

    import veskal

    text = prepare_data.corpus(job["chars"], prepare_data.build(job["variant"]))
    text = fresh_copy(text)
    fn = getattr(veskal, job["function"])
    # Builds what the module makes once, on first use.
    fn(fresh_copy(text[:999] + max(text)), *job["args"])
    gc.collect()
    try:
        import ctypes

        # The code and read-only data of the libraries count in the resident set once a page is
        # first read, a neighbourhood of pages at a time: read them all now, so that the call
        # counts only the memory it takes.
        for line in Path("/proc/self/maps").read_text().splitlines():
            fields = line.split()
            if len(fields) == 6 and fields[1] in ("r-xp", "r--p") and ".so" in fields[5]:
                lo, hi = (int(x, 16) for x in fields[0].split("-"))
                for page in range(lo, hi, 1 << 12):
                    ctypes.string_at(page, 1)
        # Free memory that the allocator kept resident would be reused unseen by the call.
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass
    exact = True
    try:
        Path("/proc/self/clear_refs").write_text("5")  # VmHWM := VmRSS
    except OSError:
        exact = False  # the mark then still holds the text's construction: an upper bound
    before = _status("VmRSS")
    result = fn(text, *job["args"])
    peak = _status("VmHWM")
    kind = 1 if text.isascii() or max(text) <= "\xff" else (2 if max(text) <= "\uffff" else 4)
    return {"extra": max(0, peak - before), "result": _held(result), "chars": len(text),
            "kind": kind, "found": len(result), "exact": exact}


def _held(result: list) -> int:
    """Bytes of the returned list and of the objects only it holds: what the caller asked for,
    left out of the call's own memory. Shared objects (small ints, the one 0.0) cost nothing."""
    held = sys.getsizeof(result)
    for match in result:
        held += sys.getsizeof(match)
        # Referenced by the tuple, the loop and getrefcount's own argument alone.
        held += sum(sys.getsizeof(item) for item in match if sys.getrefcount(item) <= 3)
    return held


# --- rows and targets ----------------------------------------------------------------------


@dataclass
class Target:
    """A bound on a row's value: "≥" for speed ratios, "≤" for costs."""

    op: str
    bound: float
    unit: str = "×"

    def met(self, value: float | None) -> bool | None:
        if value is None:
            return None
        if self.op == "≥":
            return value >= self.bound
        if self.op == "≤":
            return value <= self.bound
        return abs(value - self.bound) <= float(self.op.strip("±"))

    def __str__(self) -> str:
        if self.op.startswith("±"):
            return f"{self.bound:g} {self.op}"
        return f"{self.op} {self.bound:.3g}{self.unit}" if self.unit == "×" else \
            f"{self.op} {self.bound:.3g} {self.unit}"


@dataclass
class Row:
    section: str
    search: str
    text: str
    peer: str
    value: float | None  # peer time / veskal time, or the quantity in `unit`
    unit: str = "×"
    target: Target | None = None
    veskal_mbs: float | None = None
    peer_mbs: float | None = None
    note: str = ""
    bound: str = ""  # "> " when the value is only a lower bound

    @property
    def verdict(self) -> str:
        if self.target is None:
            return ""
        met = self.target.met(self.value)
        return "—" if met is None else ("met" if met else "missed")

    def shown(self) -> str:
        if self.value is None:
            return "not measured"
        shown = f"{self.bound}{number(self.value)}"
        return f"{shown} {self.unit}".rstrip()


@dataclass
class Report:
    rows: list[Row] = field(default_factory=list)
    # Throughput of every contender per case, for the picture: case -> contender -> MB/s.
    speeds: dict[str, dict[str, float]] = field(default_factory=dict)
    # Growth of veskal's time with the text: function -> [(chars, seconds)].
    growth: dict[str, list[tuple[int, float]]] = field(default_factory=dict)
    notes: list[str] = field(default_factory=list)

    def add(self, row: Row) -> Row:
        self.rows.append(row)
        mark = f" [{row.verdict} {row.target}]" if row.target else ""
        print(f"  {row.search:<58.58} {row.text:<22.22} {row.peer:<26.26} {row.shown():>14}"
              f"{mark}{'  ' + row.note if row.note else ''}", flush=True)
        return row

    def to_json(self) -> dict:
        return {"rows": [dict(r.__dict__, target=str(r.target) if r.target else None,
                              verdict=r.verdict) for r in self.rows],
                "speeds": self.speeds, "growth": self.growth, "notes": self.notes}


def number(v: float) -> str:
    """Three significant digits, without exponents or needless decimals."""
    if v == 0 or abs(v) >= 100:
        return f"{v:,.0f}"
    if abs(v) >= 10:
        return f"{v:.1f}"
    if abs(v) >= 1:
        return f"{v:.2f}"
    return f"{v:.{2 - int(math.floor(math.log10(abs(v))))}f}"


def fmt_mbs(v: float | None) -> str:
    return "" if v is None else number(v)


def markdown(report: Report, header: list[str]) -> str:
    out = list(header)
    out.append("")
    section = None
    for r in report.rows:
        if r.section != section:
            section = r.section
            out += ["", f"**{section}**", "",
                    "| search | text | peer | veskal MB/s | peer MB/s | result | target | |"
                    " note |", "|---|---|---|--:|--:|--:|---|---|---|"]
        cells = [r.search, r.text, r.peer, fmt_mbs(r.veskal_mbs), fmt_mbs(r.peer_mbs), r.shown(),
                 str(r.target) if r.target else "", r.verdict, r.note]
        out.append("| " + " | ".join(c.replace("|", "\\|") for c in cells) + " |")
    if report.notes:
        out.append("")
        out += [f"- {n}" for n in report.notes]
    return "\n".join(out) + "\n"


if __name__ == "__main__" and len(sys.argv) == 3 and sys.argv[1] == "memory":
    sys.path.insert(0, str(HERE))
    print(json.dumps(_memory_child(json.loads(sys.argv[2]))))
