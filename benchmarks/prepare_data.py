"""Builds the benchmark corpus from real English prose shipped by Debian.

The prose is the reStructuredText source of the Python documentation (package python3-doc,
about 11 MB of text). It is installed with apt-get when missing, normalised once and cached
in benchmarks/data/, which git ignores. Larger texts are made by repeating the corpus.

Run it alone to prepare the cache: python benchmarks/prepare_data.py
"""

from __future__ import annotations

import glob
import os
import shutil
import subprocess
import sys
from pathlib import Path

DATA_DIR = Path(__file__).resolve().parent / "data"
CORPUS_FILE = DATA_DIR / "corpus.txt"
SOURCE_FILE = DATA_DIR / "corpus.source"
DEBIAN_PACKAGE = "python3-doc"
SOURCES_GLOB = "/usr/share/doc/python3.*/html/_sources"


def _sources_dir() -> str | None:
    dirs = sorted(d for d in glob.glob(SOURCES_GLOB) if os.path.isdir(d))
    return dirs[-1] if dirs else None


def _apt_install() -> None:
    if shutil.which("apt-get") is None:
        sys.exit(f"benchmark data: no {SOURCES_GLOB} and no apt-get to install {DEBIAN_PACKAGE}")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    install = sudo + ["apt-get", "install", "-y", "-q", DEBIAN_PACKAGE]
    print(f"benchmark data: installing {DEBIAN_PACKAGE} ...", file=sys.stderr, flush=True)
    if subprocess.run(install, env=env, stdout=subprocess.DEVNULL).returncode != 0:
        # A fresh machine has no package lists yet.
        update = sudo + ["apt-get", "update", "-q"]
        subprocess.run(update, env=env, stdout=subprocess.DEVNULL, check=True)
        subprocess.run(install, env=env, stdout=subprocess.DEVNULL, check=True)


def normalise(text: str) -> str:
    """Makes the text the same for every contender.

    Line breaks and tabs become blanks, since the module turns line feeds into blanks and
    the peers do not; the few characters above U+00FF (emoji, box drawing, maths) become '?'
    so that CPython keeps the text at one byte per character and the str-based peers are not
    slowed by a four-byte representation. Character positions are unchanged.
    """
    text = text.translate({0x0A: " ", 0x0D: " ", 0x09: " ", 0x0B: " ", 0x0C: " "})
    if max(text, default="\0") > "\xff":
        text = "".join(c if c <= "\xff" else "?" for c in text)
    return text


def build() -> str:
    """Returns the normalised base corpus, building and caching it on first use."""
    if CORPUS_FILE.exists():
        return CORPUS_FILE.read_text(encoding="utf-8")
    src = _sources_dir()
    if src is None:
        _apt_install()
        src = _sources_dir()
        if src is None:
            sys.exit(f"benchmark data: {DEBIAN_PACKAGE} installed but {SOURCES_GLOB} is missing")
    files = sorted(glob.glob(os.path.join(src, "**", "*.txt"), recursive=True))
    parts = [Path(f).read_text(encoding="utf-8", errors="replace") for f in files]
    text = normalise("\n".join(parts))
    DATA_DIR.mkdir(parents=True, exist_ok=True)
    tmp = CORPUS_FILE.with_suffix(".tmp")
    tmp.write_text(text, encoding="utf-8")
    tmp.replace(CORPUS_FILE)
    SOURCE_FILE.write_text(f"{src} ({len(files)} files)\n", encoding="utf-8")
    return text


def source() -> str:
    build()
    return SOURCE_FILE.read_text(encoding="utf-8").strip()


def corpus(size: int, base: str | None = None) -> str:
    """Returns exactly `size` characters of real text, repeating the corpus when needed.

    Copies are joined by a blank so that no word is glued across a seam.
    """
    if base is None:
        base = build()
    if size <= len(base):
        return base[:size]
    unit = base + " "
    return (unit * (size // len(unit) + 1))[:size]


if __name__ == "__main__":
    text = build()
    print(f"{CORPUS_FILE}: {len(text):,} characters from {source()}")
