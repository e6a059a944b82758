"""Timing and reporting shared by the benchmark sections."""

from __future__ import annotations

import gc
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any


def megabytes(text: str | bytes) -> float:
    """Size in MB (10^6 bytes) of the UTF-8 form that the module works on."""
    if isinstance(text, str):
        return len(text.encode("utf-8")) / 1e6
    return len(text) / 1e6


def fresh_copy(text: str) -> str:
    """An equal str object that has never been handed to native code.

    CPython caches the UTF-8 form of a non-ASCII str the first time an extension asks for
    it, so a second call on the same object would skip the encoding that a real first call
    pays.
    """
    return text[:-1] + text[-1:]


def best_of(fn: Callable[..., Any], repeat: int, warmup: Callable[[], Any] | None = None,
            text: str | None = None):
    """Returns (best seconds, result of the last run).

    With `text`, every run gets its own fresh copy of it, made outside the timing, as the
    one argument of `fn`. The warm-up is a separate, cheaper call (a small slice) so that big
    inputs are not searched once more just to load code and caches. The collector is paused
    because the peers build millions of small objects and a collection would land in a
    random run.
    """
    if warmup is not None:
        warmup()
    best = float("inf")
    result = None
    gc_was_enabled = gc.isenabled()
    try:
        for _ in range(max(1, repeat)):
            result = None
            args = () if text is None else (fresh_copy(text),)
            gc.collect()
            gc.disable()
            t0 = time.perf_counter()
            result = fn(*args)
            elapsed = time.perf_counter() - t0
            gc.enable()
            del args
            best = min(best, elapsed)
    finally:
        if gc_was_enabled:
            gc.enable()
    return best, result


@dataclass
class Row:
    case: str
    size_mb: float
    contender: str
    seconds: float
    found: int | None
    note: str = ""

    @property
    def mb_per_s(self) -> float:
        return self.size_mb / self.seconds if self.seconds > 0 else float("inf")


@dataclass
class Table:
    title: str
    rows: list[Row] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)

    def add(self, row: Row) -> Row:
        self.rows.append(row)
        print(f"  .. {row.case:<34} {row.size_mb:8.1f} MB  {row.contender:<22}"
              f" {row.seconds:9.4f} s", flush=True)
        return row

    def veskal_speed(self, case: str, size_mb: float | None = None) -> float | None:
        """The module's throughput on the same size if it ran there, else on its largest."""
        mine = [r for r in self.rows if r.case == case and r.contender == "veskal"]
        if not mine:
            return None
        same = [r for r in mine if size_mb is not None and abs(r.size_mb - size_mb) < 1e-3]
        return (same[0] if same else max(mine, key=lambda r: r.size_mb)).mb_per_s

    def render(self) -> str:
        head = ("case", "MB", "contender", "seconds", "MB/s", "found", "veskal x", "note")
        lines = []
        for r in self.rows:
            mine = self.veskal_speed(r.case, r.size_mb)
            ratio = "" if r.contender == "veskal" or mine is None else f"{mine / r.mb_per_s:.1f}"
            lines.append((r.case, f"{r.size_mb:.1f}", r.contender, f"{r.seconds:.4f}",
                          f"{r.mb_per_s:,.1f}", "" if r.found is None else f"{r.found:,}",
                          ratio, r.note))
        widths = [max(len(h), *(len(line[i]) for line in lines)) if lines else len(h)
                  for i, h in enumerate(head)]
        fmt = "  ".join(f"{{:{'<' if i in (0, 2, 7) else '>'}{w}}}" for i, w in enumerate(widths))
        out = [f"\n== {self.title} ==", fmt.format(*head).rstrip(),
               fmt.format(*("-" * w for w in widths))]
        out += [fmt.format(*line).rstrip() for line in lines]
        out += self.growth()
        out += [f"note: {n}" for n in self.notes]
        return "\n".join(out)

    def growth(self) -> list[str]:
        """How the module's time grows with the text, per case."""
        out = []
        cases = dict.fromkeys(r.case for r in self.rows if r.contender == "veskal")
        for case in cases:
            mine = sorted((r for r in self.rows if r.case == case and r.contender == "veskal"),
                          key=lambda r: r.size_mb)
            if len(mine) < 2:
                continue
            base = mine[0]
            steps = ", ".join(f"x{r.size_mb / base.size_mb:.0f} size -> "
                              f"x{r.seconds / base.seconds:.1f} time" for r in mine[1:])
            out.append(f"growth  {case}: {steps}")
        return out


@dataclass
class Target:
    description: str
    wanted: float
    measured: float | None

    def render(self) -> str:
        if self.measured is None:
            return f"  [  skip] {self.description}: not measured"
        if self.wanted <= 0:
            return f"  [  info] {self.description}: {self.measured:.2f}x"
        verdict = "met" if self.measured >= self.wanted else "MISSED"
        return (f"  [{verdict:>6}] {self.description}: {self.measured:.2f}x"
                f" (wanted >= {self.wanted:.3g}x)")
