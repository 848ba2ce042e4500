#!/usr/bin/env python3
"""Vector drawings: how quarvel_full.extract_drawings agrees with PyMuPDF's
page.get_drawings() (a test and benchmark aid only) on ../shared/corpus, and
pages per second of both, measured in the same run on the same files.

    PYTHONPATH=build/python .venv/bin/python bench/drawings_bench.py [--repeat N] [--corpus DIR]

Agreement: every straight line ("l") and rectangle ("re", and "qu" quads
that are axis-parallel rectangles) PyMuPDF reports counts as matched when
quarvel_full reports the same kind of item with every coordinate within
0.5 pt (a line in either direction; a line may also be an edge of a
rectangle), on the same page, in PDF user space.
The figure is matched / PyMuPDF's items over all pages; the files that
disagree most are listed. Speed: extract_drawings on one call per file (its
worker pool) and PyMuPDF's get_drawings on one thread, best of --repeat.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from collections import defaultdict
from pathlib import Path

import quarvel_full

try:
    import pymupdf
except ImportError:  # older releases
    import fitz as pymupdf

pymupdf.TOOLS.mupdf_display_errors(False)
CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"
TOLERANCE = 0.5


def peer_items(page) -> list[tuple[str, tuple[float, ...]]]:
    """PyMuPDF's lines and rectangles of one page in PDF user space."""
    to_pdf = ~page.transformation_matrix
    out = []
    for path in page.get_drawings():
        for item in path["items"]:
            kind = item[0]
            if kind == "l":
                a, b = item[1] * to_pdf, item[2] * to_pdf
                out.append(("l", (a.x, a.y, b.x, b.y)))
            elif kind == "re":
                r = pymupdf.Rect(item[1]) * to_pdf
                out.append(("re", (r.x0, r.y0, r.x1, r.y1)))
            elif kind == "qu":
                q = item[1]
                if q.is_rectangular:
                    r = q.rect * to_pdf
                    out.append(("re", (r.x0, r.y0, r.x1, r.y1)))
    return out


def own_items(drawings: list[dict]) -> dict[int, list[tuple[str, tuple[float, ...]]]]:
    by_page = defaultdict(list)
    for d in drawings:
        for item in d["items"]:
            if item[0] in ("l", "re"):
                by_page[d["page"]].append((item[0], tuple(item[1:5])))
            if item[0] == "re":
                # A box is also its four edges: PyMuPDF reports some boxes
                # a writer drew with re as four lines.
                x0, y0, x1, y1 = item[1:5]
                for edge in ((x0, y0, x1, y0), (x1, y0, x1, y1), (x1, y1, x0, y1),
                             (x0, y1, x0, y0)):
                    by_page[d["page"]].append(("l", edge))
    return by_page


class Index:
    """Items of one page bucketed by their first point, for lookups within
    the tolerance."""

    def __init__(self, items):
        self.cells = defaultdict(list)
        for kind, p in items:
            self.cells[(kind, math.floor(p[0]), math.floor(p[1]))].append(p)
            if kind == "l":  # either direction
                q = (p[2], p[3], p[0], p[1])
                self.cells[(kind, math.floor(q[0]), math.floor(q[1]))].append(q)

    def has(self, kind, p) -> bool:
        cx, cy = math.floor(p[0]), math.floor(p[1])
        for dx in (-1, 0, 1):
            for dy in (-1, 0, 1):
                for q in self.cells.get((kind, cx + dx, cy + dy), ()):
                    if all(abs(a - b) <= TOLERANCE for a, b in zip(p, q)):
                        return True
        return False


def agreement(files: list[Path]):
    total = matched = 0
    per_file = []
    for path in files:
        try:
            ours = own_items(quarvel_full.extract_drawings(str(path)))
            doc = pymupdf.open(str(path))
        except Exception:  # a file either reader refuses is left out
            continue
        file_total = file_matched = 0
        for number, page in enumerate(doc):
            theirs = peer_items(page)
            if not theirs:
                continue
            index = Index(ours.get(number, ()))
            for kind, p in theirs:
                file_total += 1
                file_matched += index.has(kind, p)
        total += file_total
        matched += file_matched
        if file_total:
            per_file.append((file_total - file_matched, file_total, path.name))
    return total, matched, sorted(per_file, reverse=True)


def best_time(fn, repeat: int) -> float:
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--corpus", type=Path, default=CORPUS)
    args = parser.parse_args()
    files = sorted(args.corpus.glob("*.pdf"))
    if not files:
        print(f"no PDFs in {args.corpus}", file=sys.stderr)
        return 1

    total, matched, per_file = agreement(files)
    print(f"agreement: {matched} of PyMuPDF's {total} lines and rectangles "
          f"({100.0 * matched / max(total, 1):.2f} %) on {len(per_file)} files with any")
    for missing, count, name in per_file[:8]:
        if missing:
            print(f"  {name}: {missing} of {count} unmatched")

    # Speed on the files both read, pages counted once.
    usable = []
    pages = 0
    for path in files:
        try:
            quarvel_full.extract_drawings(str(path))
            with pymupdf.open(str(path)) as doc:
                for page in doc:
                    page.get_drawings()
                pages += doc.page_count
            usable.append(str(path))
        except Exception:
            continue

    def ours():
        for path in usable:
            quarvel_full.extract_drawings(path)

    def theirs():
        for path in usable:
            with pymupdf.open(path) as doc:
                for page in doc:
                    page.get_drawings()

    t_ours = best_time(ours, args.repeat)
    t_theirs = best_time(theirs, args.repeat)
    print()
    print(f"| tool ({len(usable)} files, {pages} pages) | pages/s | × PyMuPDF |")
    print("| --- | ---: | ---: |")
    print(f"| quarvel_full.extract_drawings | {pages / t_ours:,.0f} | {t_theirs / t_ours:.2f} |")
    print(f"| PyMuPDF page.get_drawings() | {pages / t_theirs:,.0f} | 1.00 |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
