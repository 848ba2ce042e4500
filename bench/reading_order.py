#!/usr/bin/env python3
"""Reading order against pdftotext: per page, the word sequence (NFKC, regex
\\w+) of each reader is scored against pdftotext's default output as
1 - (word-level edit distance / the longer sequence's length), averaged over
the file's pages; files are reported one per row with the median over the
corpus. PyMuPDF (get_text("dict", sort=True)) and pypdfium2 (the text page's
order) are scored the same way beside quarvel_full. They are measuring aids
only.

    PYTHONPATH=build/python .venv/bin/python bench/reading_order.py [--files N] [--pages N]

Pages on which pdftotext finds no words are skipped. Each file is read by
each library with its own error handling: a reader that fails a file scores
0 on it.
"""

from __future__ import annotations

import argparse
import re
import statistics
import subprocess
import sys
import unicodedata
from pathlib import Path

import numpy as np

import quarvel_full

try:
    import pymupdf
except ImportError:  # older releases
    import fitz as pymupdf
import pypdfium2

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"
WORD = re.compile(r"\w+")


def words(text: str) -> list[str]:
    return WORD.findall(unicodedata.normalize("NFKC", text))


def edit_distance(a: list[str], b: list[str]) -> int:
    """Levenshtein distance over words, one row of the table at a time in
    numpy: within a row the insertions are a running minimum of
    (value - column), so a row costs a few vector operations."""
    if len(a) < len(b):
        a, b = b, a
    if not b:
        return len(a)
    ids: dict[str, int] = {}
    va = np.array([ids.setdefault(w, len(ids)) for w in a])
    vb = np.array([ids.setdefault(w, len(ids)) for w in b])
    cols = np.arange(len(vb) + 1)
    prev = cols.copy()
    for i, wa in enumerate(va, 1):
        t = np.empty_like(prev)
        t[0] = i
        t[1:] = np.minimum(prev[1:] + 1, prev[:-1] + (vb != wa))
        prev = np.minimum.accumulate(t - cols) + cols
    return int(prev[-1])


def score(candidate: list[str], reference: list[str]) -> float:
    longest = max(len(candidate), len(reference))
    if longest == 0:
        return 1.0
    return 1.0 - edit_distance(candidate, reference) / longest


def pdftotext_pages(path: Path, pages: int) -> list[str]:
    out = subprocess.run(["pdftotext", "-l", str(pages), "-enc", "UTF-8", str(path), "-"],
                         capture_output=True, timeout=120)
    return out.stdout.decode("utf-8", "replace").split("\f")


def quarvel_pages(path: Path, pages: int) -> list[str]:
    blocks, _ = quarvel_full.extract(str(path), include_images=False)
    texts = [[] for _ in range(pages)]
    for block in blocks:
        if block["page"] < pages:
            for line in block["lines"]:
                texts[block["page"]].append("".join(s["text"] for s in line["spans"]))
    return ["\n".join(t) for t in texts]


def pymupdf_pages(path: Path, pages: int) -> list[str]:
    texts = []
    with pymupdf.open(str(path)) as doc:
        for page in doc.pages(0, min(pages, doc.page_count)):
            lines = []
            for block in page.get_text("dict", sort=True)["blocks"]:
                for line in block.get("lines", []):
                    lines.append("".join(s["text"] for s in line["spans"]))
            texts.append("\n".join(lines))
    return texts


def pdfium_pages(path: Path, pages: int) -> list[str]:
    texts = []
    doc = pypdfium2.PdfDocument(str(path))
    try:
        for i in range(min(pages, len(doc))):
            page = doc[i]
            textpage = page.get_textpage()
            texts.append(textpage.get_text_range())
            textpage.close()
            page.close()
    finally:
        doc.close()
    return texts


READERS = {"quarvel_full": quarvel_pages, "pymupdf": pymupdf_pages, "pypdfium2": pdfium_pages}


def file_scores(path: Path, pages: int) -> dict[str, float] | None:
    reference = [words(t) for t in pdftotext_pages(path, pages)][:pages]
    scored = [i for i, w in enumerate(reference) if w]
    if not scored:
        return None
    result = {}
    for name, read in READERS.items():
        try:
            texts = read(path, pages)
        except Exception:  # a reader that fails the file scores nothing on it
            texts = []
        per_page = [score(words(texts[i]) if i < len(texts) else [], reference[i])
                    for i in scored]
        result[name] = sum(per_page) / len(per_page)
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=0, help="only the first N files")
    parser.add_argument("--pages", type=int, default=20, help="pages per file (default 20)")
    parser.add_argument("paths", nargs="*", type=Path)
    args = parser.parse_args()
    paths = args.paths or sorted(CORPUS.glob("*.pdf"))
    if args.files:
        paths = paths[: args.files]

    rows = []
    print(f"{'file':52} " + " ".join(f"{n:>12}" for n in READERS))
    for path in paths:
        scores = file_scores(path, args.pages)
        if scores is None:
            continue
        rows.append((path.name, scores))
        flag = ""
        if scores["quarvel_full"] < 0.5 and scores["pymupdf"] > 0.9:
            flag = "  <-- below 0.5 where PyMuPDF is above 0.9"
        print(f"{path.name[:52]:52} " + " ".join(f"{scores[n]:12.3f}" for n in READERS) + flag,
              flush=True)
    if not rows:
        return 1
    medians = {n: statistics.median(s[n] for _, s in rows) for n in READERS}
    means = {n: statistics.fmean(s[n] for _, s in rows) for n in READERS}
    print(f"{'median over ' + str(len(rows)) + ' files':52} " +
          " ".join(f"{medians[n]:12.3f}" for n in READERS))
    print(f"{'mean':52} " + " ".join(f"{means[n]:12.3f}" for n in READERS))
    return 0


if __name__ == "__main__":
    sys.exit(main())
