#!/usr/bin/env python3
"""Tables: accuracy and speed of quarvel_full.extract_tables against peers.

Scores every document of a folder that has ground truth (``NAME.pdf`` with
``NAME.json``, as scripts/make_table_docs.py writes them) by the adjacency
relation measure: each non-empty cell's relation to its nearest non-empty
neighbour to the right and below, with whitespace removed from the texts;
precision and recall over the document's relations, F1 per document, then the
mean. A document without tables scores 1 when nothing is found and 0 when
anything is. Times each tool over all pages of all documents in the same run
and prints pages per second of wall time and per second of CPU time of the
process (all threads: quarvel's workers included), the one-thread rate.

    .venv/bin/python scripts/make_table_docs.py /tmp/table-docs
    PYTHONPATH=build/python .venv/bin/python bench/tables_bench.py /tmp/table-docs

Peers: pdfplumber ``extract_tables()`` and PyMuPDF ``find_tables()``, both in
.venv; either is skipped when it cannot be imported.
"""

from __future__ import annotations

import argparse
import json
import re
import sys
import time
from collections import Counter
from pathlib import Path

Grid = list[list[str | None]]


def truth_grid(rows: list[list[dict]]) -> Grid:
    """An HTML table's rows to a grid: text at a cell's top-left, None under spans."""
    grid: dict[tuple[int, int], str | None] = {}
    width = 0
    for r, row in enumerate(rows):
        c = 0
        for cell in row:
            while (r, c) in grid:
                c += 1
            for dr in range(cell["rowspan"]):
                for dc in range(cell["colspan"]):
                    grid[(r + dr, c + dc)] = cell["text"] if dr == 0 and dc == 0 else None
            c += cell["colspan"]
            width = max(width, c)
    height = max((r for r, _ in grid), default=-1) + 1
    return [[grid.get((r, c)) for c in range(width)] for r in range(height)]


def norm(text: str | None) -> str:
    return re.sub(r"\s+", "", text or "")


def relations(grid: Grid) -> Counter:
    out: Counter = Counter()
    cells = [[norm(v) for v in row] for row in grid]
    for row in cells:
        filled = [v for v in row if v]
        out.update((a, b, "h") for a, b in zip(filled, filled[1:]))
    width = max((len(row) for row in cells), default=0)
    for c in range(width):
        filled = [row[c] for row in cells if c < len(row) and row[c]]
        out.update((a, b, "v") for a, b in zip(filled, filled[1:]))
    return out


def f1(truth: list[Grid], found: list[Grid]) -> tuple[float, float, float]:
    want: Counter = Counter()
    got: Counter = Counter()
    for g in truth:
        want.update(relations(g))
    for g in found:
        got.update(relations(g))
    if not want:
        return (1.0, 1.0, 1.0) if not got else (0.0, 1.0, 0.0)
    hit = sum((want & got).values())
    precision = hit / sum(got.values()) if got else 0.0
    recall = hit / sum(want.values())
    score = 2 * precision * recall / (precision + recall) if hit else 0.0
    return precision, recall, score


def run_quarvel(path: str) -> list[Grid]:
    import quarvel_full
    return [t["rows"] for t in quarvel_full.extract_tables(path)]


def run_pdfplumber(path: str) -> list[Grid]:
    import pdfplumber
    with pdfplumber.open(path) as pdf:
        return [t for page in pdf.pages for t in page.extract_tables()]


def run_pymupdf(path: str) -> list[Grid]:
    import pymupdf
    out = []
    with pymupdf.open(path) as doc:
        for page in doc:
            out.extend(t.extract() for t in page.find_tables().tables)
    return out


def page_count(path: str) -> int:
    import pymupdf
    with pymupdf.open(path) as doc:
        return doc.page_count


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("folder", type=Path)
    ap.add_argument("--tools", default="quarvel,pdfplumber,pymupdf")
    args = ap.parse_args(argv)
    docs = sorted(p for p in args.folder.glob("*.pdf") if p.with_suffix(".json").exists())
    if not docs:
        print(f"no documents with ground truth in {args.folder}", file=sys.stderr)
        return 1
    runners = {"quarvel": run_quarvel, "pdfplumber": run_pdfplumber, "pymupdf": run_pymupdf}
    tools = []
    for name in args.tools.split(","):
        try:
            runners[name](str(docs[0]))
            tools.append(name)
        except ImportError as e:
            print(f"skipping {name}: {e}", file=sys.stderr)
    pages = {d: page_count(str(d)) for d in docs}
    scores = {t: {} for t in tools}
    seconds = {t: 0.0 for t in tools}
    cpu = {t: 0.0 for t in tools}
    for d in docs:
        truth = [truth_grid(t) for t in json.loads(d.with_suffix(".json").read_text())]
        for t in tools:
            start, start_cpu = time.perf_counter(), time.process_time()
            found = runners[t](str(d))
            seconds[t] += time.perf_counter() - start
            cpu[t] += time.process_time() - start_cpu
            scores[t][d.stem] = f1(truth, found)

    print(f"{'document':16} {'pages':>5} " + " ".join(f"{t + ' F1':>14}" for t in tools))
    for d in docs:
        print(f"{d.stem:16} {pages[d]:5d} "
              + " ".join(f"{scores[t][d.stem][2]:14.3f}" for t in tools))
    total_pages = sum(pages.values())
    print(f"{'mean F1':22} " + " ".join(
        f"{sum(s[2] for s in scores[t].values()) / len(docs):14.3f}" for t in tools))
    print(f"{'pages/s wall':22} " + " ".join(f"{total_pages / seconds[t]:14.1f}" for t in tools))
    print(f"{'pages/s CPU':22} " + " ".join(f"{total_pages / cpu[t]:14.1f}" for t in tools))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
