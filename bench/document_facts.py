#!/usr/bin/env python3
"""Document facts against two peers, and what they cost against extraction.

For every PDF of the corpus, quarvel_full.document_info's page count, outline
(levels, titles, 0-based pages), page labels and metadata (the six text
fields and the dates as written) are compared with PyMuPDF's and pypdfium2's
where those two agree with each other; each disagreement is printed. Then
document_info's time over the corpus is measured against extract's, both
best of --repeat runs, in the same process, and its time on a built file
with a 10,000-entry outline.

    PYTHONPATH=build/python .venv/bin/python bench/document_facts.py [--corpus DIR] [--repeat N]

The peers are measuring aids only. tests/python/test_document_facts_corpus.py
runs the comparison as a test.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Optional

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"
META_KEYS = ("title", "author", "subject", "keywords", "creator", "producer")
PYMUPDF_META = {"title": "title", "author": "author", "subject": "subject",
                "keywords": "keywords", "creator": "creator", "producer": "producer",
                "creation_date": "creationDate", "mod_date": "modDate"}
PDFIUM_META = {"title": "Title", "author": "Author", "subject": "Subject",
               "keywords": "Keywords", "creator": "Creator", "producer": "Producer",
               "creation_date": "CreationDate", "mod_date": "ModDate"}


def norm_title(text: Optional[str]) -> str:
    # The peers differ among themselves in how they keep line breaks, tabs
    # and trailing blanks of a title; the words are what is compared.
    return " ".join((text or "").replace("\0", "").split())


def ours(path: str) -> dict[str, Any]:
    import quarvel_full

    info = quarvel_full.document_info(path)
    meta = info["metadata"]
    return {
        "page_count": info["page_count"],
        "outline": [(e["level"], norm_title(e["title"]), e["page"]) for e in info["outline"]],
        "page_labels": info["page_labels"],
        "metadata": {**{k: norm_title(meta[k]) for k in META_KEYS},
                     "creation_date": norm_title(meta["raw_dates"]["creation_date"]),
                     "mod_date": norm_title(meta["raw_dates"]["mod_date"])},
    }


def with_pymupdf(path: str) -> dict[str, Any]:
    import pymupdf

    with pymupdf.open(path) as doc:
        labels = [page.get_label() for page in doc]
        meta = doc.metadata or {}
        return {
            "page_count": doc.page_count,
            "outline": [(level, norm_title(title), page - 1 if page > 0 else None)
                        for level, title, page in doc.get_toc(simple=True)],
            "page_labels": labels if any(labels) else None,
            "metadata": {k: norm_title(meta.get(v)) for k, v in PYMUPDF_META.items()},
        }


def with_pdfium(path: str) -> dict[str, Any]:
    import pypdfium2

    pdf = pypdfium2.PdfDocument(path)
    try:
        labels = [pdf.get_page_label(i) for i in range(len(pdf))]
        meta = pdf.get_metadata_dict()
        return {
            "page_count": len(pdf),
            "outline": [(item.level + 1, norm_title(item.title), item.page_index)
                        for item in pdf.get_toc(max_depth=64)],
            "page_labels": labels if any(labels) else None,
            "metadata": {k: norm_title(meta.get(v)) for k, v in PDFIUM_META.items()},
        }
    finally:
        pdf.close()


def disagreements(path: str) -> list[tuple[str, Any, Any]]:
    """(fact, ours, the peers') for every fact the two peers agree on and we
    do not; facts a peer cannot read are left out."""
    try:
        a = with_pymupdf(path)
        b = with_pdfium(path)
    except Exception:
        return []
    mine = ours(path)
    found = []
    for fact in ("page_count", "outline", "page_labels"):
        if a[fact] == b[fact] and mine[fact] != a[fact]:
            found.append((fact, mine[fact], a[fact]))
    for key, value in a["metadata"].items():
        if value == b["metadata"][key] and mine["metadata"][key] != value:
            found.append(("metadata." + key, mine["metadata"][key], value))
    return found


def outline_file(path: Path, entries: int) -> str:
    """A one-page file whose outline has `entries` bookmarks in one chain."""
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
    from pdfbuilder import simple_document

    b = simple_document(["BT ET"])
    b.object(1, "<< /Type /Catalog /Pages 2 0 R /Outlines 20 0 R >>")
    b.object(20, "<< /First 21 0 R >>")
    for i in range(entries):
        nxt = " /Next %d 0 R" % (22 + i) if i + 1 < entries else ""
        b.object(21 + i, "<< /Title (Entry %d) /Dest [3 0 R /XYZ 0 700 0]%s >>" % (i, nxt))
    return b.write(path)


def timed(call, paths: list[str], repeat: int) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        for path in paths:
            try:
                call(path)
            except ValueError:
                pass
        best = min(best, time.perf_counter() - start)
    return best


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", type=Path, default=CORPUS)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--no-compare", action="store_true")
    args = parser.parse_args()
    import quarvel_full

    paths = sorted(str(p) for p in args.corpus.iterdir() if p.suffix.lower() == ".pdf")
    if not args.no_compare:
        count = 0
        for path in paths:
            for fact, mine, theirs in disagreements(path):
                count += 1
                print(f"{Path(path).name}\t{fact}\tours={str(mine)[:300]}\tpeers={str(theirs)[:300]}")
        print(f"{count} disagreement(s) over {len(paths)} files")
    info = timed(quarvel_full.document_info, paths, args.repeat)
    extract = timed(lambda p: quarvel_full.extract(p, include_images=False), paths, args.repeat)
    print(f"document_info {info:.3f} s, extract {extract:.3f} s over {len(paths)} files: "
          f"{100 * info / extract:.1f} %")
    with tempfile.TemporaryDirectory() as folder:
        path = outline_file(Path(folder) / "outline.pdf", 10_000)
        seconds = timed(quarvel_full.document_info, [path], args.repeat)
    print(f"document_info on a 10,000-entry outline: {seconds:.3f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
