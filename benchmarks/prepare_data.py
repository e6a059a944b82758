"""Builds the benchmark texts from real prose shipped by Debian and caches them in benchmarks/data/.

- "fr": the French manual pages of manpages-fr, rendered to plain text by man and kept exactly as
  rendered: line feeds, indentation, accents, typographic quotes and dashes. Its characters above
  U+00FF (’, œ, —, €, box drawing) make CPython store it at 2 bytes a character, as most real
  French text is; the one emoji is left out so that it does not take 4.
- "fr1": the same with every character above U+00FF removed, so CPython stores it at 1 byte.
- "ocr": "fr" with 2.7 % of its characters substituted by an OCR look-alike or transposed with
  their neighbour, from a fixed seed, so that fuzzy searches find damaged occurrences.
- "en": the English manual pages of manpages, reduced to pure ASCII.

The Debian packages are installed with apt-get when missing; rendering takes a minute once.
Larger texts repeat the corpus. Run it alone to prepare the cache: python prepare_data.py
"""

from __future__ import annotations

import os
import random
import re
import shutil
import subprocess
import sys
import unicodedata
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

DATA_DIR = Path(__file__).resolve().parent / "data"
PACKAGES = {"fr": "manpages-fr", "en": "manpages"}
VARIANTS = ("fr", "fr1", "ocr", "en")
OCR_RATE = 0.027
OCR_SEED = 20260
# Confusions that character recognition makes on Latin print; other letters get a random one.
OCR_LOOKALIKES = {
    "e": "cé", "c": "e", "o": "0a", "a": "oà", "l": "1i", "i": "l1", "1": "l", "0": "o",
    "u": "v", "v": "u", "n": "m", "m": "n", "h": "b", "b": "h", "s": "5", "S": "5", "t": "f",
    "f": "t", "é": "e", "è": "e", "à": "a", "r": "n", "g": "q", "q": "g", "y": "v",
}


def _apt_install(package: str) -> None:
    if shutil.which("apt-get") is None:
        sys.exit(f"benchmark data: {package} is missing and there is no apt-get to install it")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    sudo = [] if os.geteuid() == 0 else ["sudo"]
    install = sudo + ["apt-get", "install", "-y", "-q", package]
    print(f"benchmark data: installing {package} ...", file=sys.stderr, flush=True)
    if subprocess.run(install, env=env, stdout=subprocess.DEVNULL).returncode != 0:
        # A fresh machine has no package lists yet.
        update = sudo + ["apt-get", "update", "-q"]
        subprocess.run(update, env=env, stdout=subprocess.DEVNULL, check=True)
        subprocess.run(install, env=env, stdout=subprocess.DEVNULL, check=True)


def _package_pages(package: str) -> list[str]:
    """The package's manual pages, links left out so that no page is rendered twice."""
    listed = subprocess.run(["dpkg", "-L", package], capture_output=True, text=True)
    if listed.returncode != 0:
        _apt_install(package)
        listed = subprocess.run(["dpkg", "-L", package], capture_output=True, text=True,
                                check=True)
    pages = [p for p in listed.stdout.splitlines()
             if re.search(r"/man/(?:[a-z_A-Z]+/)?man\d/[^/]+\.gz$", p)
             and os.path.isfile(p) and not os.path.islink(p)]
    if not pages:
        sys.exit(f"benchmark data: {package} holds no manual pages")
    return sorted(pages)


def _render(page: str) -> str:
    env = dict(os.environ, MANWIDTH="80", LC_ALL="C.UTF-8")
    env.pop("MAN_KEEP_FORMATTING", None)
    out = subprocess.run(["man", "-E", "UTF-8", "--no-hyphenation", "--no-justification", "-l",
                          page], env=env, capture_output=True)
    # Pages that only redirect (".so") or fail to render are left out.
    return out.stdout.decode("utf-8", "replace") if out.returncode == 0 else ""


def _render_package(package: str) -> tuple[str, int]:
    if shutil.which("man") is None:
        _apt_install("man-db")
    pages = _package_pages(package)
    print(f"benchmark data: rendering {len(pages)} pages of {package} ...", file=sys.stderr,
          flush=True)
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        texts = [t for t in pool.map(_render, pages) if t.strip()]
    return "\n".join(texts), len(texts)


def to_one_byte(text: str) -> str:
    return re.sub("[^\x00-\xff]+", "", text)


def to_ascii(text: str) -> str:
    text = unicodedata.normalize("NFKD", text)
    return text.encode("ascii", "ignore").decode("ascii")


def ocr_damage(text: str, rate: float = OCR_RATE, seed: int = OCR_SEED) -> str:
    """Damages `rate` of the characters, each one substituted or swapped with its neighbour.

    White space is never touched, so lines and tokens keep their places.
    """
    rng = random.Random(seed)
    chars = list(text)
    letters = [i for i in range(len(chars) - 1) if not chars[i].isspace()]
    for i in sorted(rng.sample(letters, int(len(chars) * rate))):
        c = chars[i]
        if rng.random() < 0.3 and not chars[i + 1].isspace() and chars[i + 1] != c:
            chars[i], chars[i + 1] = chars[i + 1], c
        else:
            chars[i] = rng.choice(OCR_LOOKALIKES.get(c, "abcdefghijklmnopqrstuvwxyz"))
    return "".join(chars)


def _path(variant: str) -> Path:
    return DATA_DIR / f"{variant}.txt"


def _write(variant: str, text: str, source: str) -> None:
    DATA_DIR.mkdir(parents=True, exist_ok=True)
    tmp = _path(variant).with_suffix(".tmp")
    with open(tmp, "w", encoding="utf-8", newline="") as f:
        f.write(text)
    tmp.replace(_path(variant))
    _path(variant).with_suffix(".source").write_text(source + "\n", encoding="utf-8")


def build(variant: str) -> str:
    """Returns the base text of a variant, building and caching it on first use."""
    if variant not in VARIANTS:
        raise ValueError(f"unknown text variant {variant!r}; choose from {VARIANTS}")
    path = _path(variant)
    if path.exists():
        with open(path, encoding="utf-8", newline="") as f:
            return f.read()
    if variant == "fr":
        text, pages = _render_package(PACKAGES["fr"])
        text = re.sub("[\U00010000-\U0010ffff]", "", text)
        _write("fr", text, f"{pages} French manual pages of Debian's {PACKAGES['fr']}, as"
               " rendered by man")
    elif variant == "en":
        text, pages = _render_package(PACKAGES["en"])
        text = to_ascii(text)
        _write("en", text, f"{pages} English manual pages of Debian's {PACKAGES['en']}, reduced"
               " to ASCII")
    elif variant == "fr1":
        text = to_one_byte(build("fr"))
        _write("fr1", text, "the French pages with every character above U+00FF removed")
    else:
        text = ocr_damage(build("fr"))
        _write("ocr", text, f"the French pages with {OCR_RATE:.1%} of their characters"
               f" substituted or transposed (seed {OCR_SEED})")
    return text


def source(variant: str) -> str:
    build(variant)
    return _path(variant).with_suffix(".source").read_text(encoding="utf-8").strip()


def corpus(size: int, base: str) -> str:
    """Exactly `size` characters of real text, repeating the base text (joined by a line feed)."""
    if size <= len(base):
        return base[:size]
    unit = base + "\n"
    return (unit * (size // len(unit) + 1))[:size]


if __name__ == "__main__":
    for name in VARIANTS:
        body = build(name)
        widest = max(body, default="\0")
        print(f"{_path(name)}: {len(body):,} characters, widest U+{ord(widest):04X};"
              f" {source(name)}")
