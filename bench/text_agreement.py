#!/usr/bin/env python3
"""How closely the full reader's text agrees with pdftotext's, beside PyMuPDF's.

    PYTHONPATH=build/python .venv/bin/python bench/text_agreement.py
        [--corpus DIR] [--worst N] [--files NAME ...]

Per corpus file: the word-bag F1 of quarvel_full's text against pdftotext's
(NFKC, words are regex ``\\w+`` with case kept, order ignored, multiset
intersection), and the same for PyMuPDF's ``page.get_text()``. Files where
both texts have fewer than 20 words are left out. Prints the median and the
share of files at 0.95 or more for each reader, and the worst files.
"""

from __future__ import annotations

import argparse
import collections
import re
import statistics
import subprocess
import sys
import unicodedata
from pathlib import Path

DEFAULT_CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"
WORD = re.compile(r"\w+")
MIN_WORDS = 20


def words(text: str) -> collections.Counter:
    return collections.Counter(WORD.findall(unicodedata.normalize("NFKC", text)))


def f1(got: collections.Counter, want: collections.Counter) -> float:
    common = sum((got & want).values())
    if common == 0:
        return 0.0
    precision = common / sum(got.values())
    recall = common / sum(want.values())
    return 2 * precision * recall / (precision + recall)


def pdftotext(path: Path) -> str:
    try:
        out = subprocess.run(["pdftotext", "-q", str(path), "-"], capture_output=True, timeout=120)
    except subprocess.TimeoutExpired:
        return ""
    return out.stdout.decode("utf-8", "replace")


def quarvel_full_text(path: Path) -> str:
    import quarvel_full

    blocks, _images = quarvel_full.extract(str(path))
    lines = []
    for block in blocks:
        for line in block.get("lines", ()):
            lines.append("".join(span["text"] for span in line["spans"]))
    return "\n".join(lines)


def pymupdf_text(path: Path) -> str:
    import fitz

    with fitz.open(str(path)) as doc:
        return "\n".join(page.get_text() for page in doc)


def safe(fn, path: Path) -> str:
    try:
        return fn(path)
    except Exception as exc:  # a file a reader rejects scores 0 for that reader
        print(f"  {path.name}: {type(exc).__name__}: {exc}", file=sys.stderr)
        return ""


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--corpus", type=Path, default=DEFAULT_CORPUS)
    ap.add_argument("--worst", type=int, default=15)
    ap.add_argument("--files", nargs="*", help="only these file names")
    args = ap.parse_args()

    paths = sorted(args.corpus.glob("*.pdf"))
    if args.files:
        paths = [p for p in paths if p.name in set(args.files)]
    rows = []
    for path in paths:
        want = words(pdftotext(path))
        ours = words(safe(quarvel_full_text, path))
        theirs = words(safe(pymupdf_text, path))
        if sum(want.values()) < MIN_WORDS and sum(ours.values()) < MIN_WORDS:
            continue
        rows.append((f1(ours, want), f1(theirs, want), path.name))

    if not rows:
        print("no files with text")
        return 1
    print(f"{len(rows)} files with text (of {len(paths)})")
    print(f"{'':14}{'median F1':>10}{'share >= 0.95':>15}")
    for label, k in (("quarvel_full", 0), ("PyMuPDF", 1)):
        scores = [r[k] for r in rows]
        share = sum(s >= 0.95 for s in scores) / len(scores)
        print(f"{label:14}{statistics.median(scores):10.4f}{share:15.3f}")
    print(f"\nworst {args.worst} for quarvel_full (quarvel_full, PyMuPDF, file):")
    for ours, theirs, name in sorted(rows)[: args.worst]:
        print(f"  {ours:.3f}  {theirs:.3f}  {name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
