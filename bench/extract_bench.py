#!/usr/bin/env python3
"""End-to-end extraction speed: pages per second of quarvel.extract and
quarvel_full.extract beside
PyMuPDF's page.get_text("dict") (a benchmark aid only), measured in the same
run on the same files.

    PYTHONPATH=build/python .venv/bin/python bench/extract_bench.py [--repeat N] [--pages N]

Two workloads: the real files of ../shared/corpus (those both libraries open)
and a large generated text document. Both modules run with include_images=False,
once with page_parallel=False (one thread, the comparison that matters) and
once with page_parallel=True (the worker pool); PyMuPDF runs on one thread.
Each figure is the best of --repeat runs; ratios are quarvel / PyMuPDF.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import quarvel
import quarvel_full
from text_pdf import text_pdf

try:
    import pymupdf
except ImportError:  # older releases
    import fitz as pymupdf

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"


def generated_document(pages: int, lines: int = 45) -> bytes:
    """A text-dense document: every page has `lines` lines of about 80
    characters in Helvetica, its content Flate-compressed."""
    words = ("extraction layout stream glyph matrix object page font width "
             "reference catalogue content operator").split()

    def content(p: int) -> str:
        ops = ["BT /F1 10 Tf"]
        for i in range(lines):
            text = " ".join(words[(p + i + k) % len(words)] for k in range(10))
            ops.append(f"1 0 0 1 56 {760 - 16 * i} Tm ({text}) Tj")
        ops.append("ET")
        return "\n".join(ops)

    return text_pdf(content(p) for p in range(pages))


def usable_files(paths: list[str], module=quarvel) -> list[tuple[str, int]]:
    """(path, page count) of the files both `module` and PyMuPDF read without
    error."""
    files = []
    for path in paths:
        try:
            blocks, _ = module.extract(path, page_parallel=False, include_images=False)
            with pymupdf.open(path) as doc:
                if doc.needs_pass:
                    continue
                n = doc.page_count
                for page in doc:
                    page.get_text("dict")
        except Exception:
            continue
        if n > 0:
            files.append((path, n))
    return files


def best_of(repeat: int, run) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def run_quarvel(files, page_parallel: bool, module=quarvel):
    def run():
        for path, _ in files:
            module.extract(path, page_parallel=page_parallel, include_images=False)
    return run


# Text only on both sides: without these flags get_text("dict") also builds
# image blocks with their bytes, work the quarvel side does not do.
TEXT_ONLY = pymupdf.TEXTFLAGS_DICT & ~pymupdf.TEXT_PRESERVE_IMAGES


def run_pymupdf(files):
    def run():
        for path, _ in files:
            with pymupdf.open(path) as doc:
                for page in doc:
                    page.get_text("dict", flags=TEXT_ONLY)
    return run


def measure(label: str, files, repeat: int, module=quarvel) -> None:
    name = module.__name__
    pages = sum(n for _, n in files)
    t_mupdf = best_of(repeat, run_pymupdf(files))
    t_serial = best_of(repeat, run_quarvel(files, False, module))
    t_parallel = best_of(repeat, run_quarvel(files, True, module))
    base = pages / t_mupdf
    print(f"\n{label}: {len(files)} files, {pages} pages (best of {repeat})")
    print(f"  {'PyMuPDF get_text(dict), text only, 1 thread':48} {base:10.0f} pages/s   1.00x")
    for row, t in ((f"{name}, page_parallel=False (1 thread)", t_serial),
                   (f"{name}, page_parallel=True ({os.cpu_count()} CPUs)", t_parallel)):
        rate = pages / t
        print(f"  {row:48} {rate:10.0f} pages/s  {rate / base:5.2f}x")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--pages", type=int, default=1000, help="pages of the generated document")
    args = parser.parse_args()

    print(f"quarvel {quarvel.__version__}, PyMuPDF {pymupdf.VersionBind}")
    if CORPUS.is_dir():
        paths = sorted(str(p) for p in CORPUS.glob("*.pdf"))
        measure("corpus, files quarvel and PyMuPDF both read", usable_files(paths), args.repeat)
        measure("corpus, files quarvel_full and PyMuPDF both read",
                usable_files(paths, quarvel_full), args.repeat, quarvel_full)
    else:
        print(f"\ncorpus: {CORPUS} not found, skipped")

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "generated.pdf")
        Path(path).write_bytes(generated_document(args.pages))
        for module in (quarvel, quarvel_full):
            measure("generated", [(path, args.pages)], args.repeat, module)
    return 0


if __name__ == "__main__":
    sys.exit(main())
