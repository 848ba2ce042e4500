#!/usr/bin/env python3
"""Large documents: time per page and peak memory of extract on generated
2,000- and 6,000-page text documents, one thread and page-parallel, beside
PDFium (pypdfium2) and PyMuPDF (benchmark aids only) in the same run.

    PYTHONPATH=build/python .venv/bin/python bench/large_docs.py [--pages 2000 6000] [--repeat 3]

Every measurement runs in a fresh child process, so that its peak resident
memory (VmHWM) is its own; the child also reports the size of the objects
it returned (a deep sys.getsizeof), the floor any reader of the whole
document into Python objects must pay. Times are the best of --repeat runs;
"x1" is each figure against quarvel's one-thread time of the same run.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from text_pdf import text_pdf

WORDS = ("extraction layout stream glyph matrix object page font width reference catalogue "
         "content operator kerning baseline ligature column paragraph margin encoding "
         "dictionary trailer section subsection figure table caption footnote index").split()


def text_document(pages: int, lines: int = 40, words_per_line: int = 11) -> bytes:
    """A text-dense document whose every page has text of its own (no stream
    shared between pages): `lines` lines of Helvetica a page, Flate-compressed,
    the words drawn by a fixed pseudo-random sequence so that the file
    compresses like prose rather than like a repeated line."""
    state = 12345

    def content(p: int) -> str:
        nonlocal state
        ops = [f"BT /F1 9 Tf 11 TL 50 770 Td (page {p}) Tj"]
        for _ in range(lines):
            picked = []
            for _ in range(words_per_line):
                state = (state * 1103515245 + 12345) & 0x7FFFFFFF
                picked.append(WORDS[(state >> 8) % len(WORDS)])
            ops.append(f"({' '.join(picked)}) '")
        ops.append("ET")
        return "\n".join(ops)

    return text_pdf(content(p) for p in range(pages))


CHILD = r"""
import json, sys, time
which, path = sys.argv[1], sys.argv[2]

def deep_size(obj, seen=None):
    seen = set() if seen is None else seen
    if id(obj) in seen:
        return 0
    seen.add(id(obj))
    size = sys.getsizeof(obj)
    if isinstance(obj, dict):
        size += sum(deep_size(k, seen) + deep_size(v, seen) for k, v in obj.items())
    elif isinstance(obj, (list, tuple)):
        size += sum(deep_size(v, seen) for v in obj)
    return size

def vm_hwm():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024

def chars_of(result):
    if which.startswith("quarvel"):
        return sum(len(s["text"]) - s["text"].count(" ")
                   for b in result[0] for l in b["lines"] for s in l["spans"])
    return sum(len(t) - t.count(" ") - t.count("\n") - t.count("\r") for t in result)

if which.startswith("quarvel"):
    module = __import__("quarvel_full" if which.startswith("quarvel_full") else "quarvel")
    parallel = which.endswith("parallel")
    run = lambda: module.extract(path, page_parallel=parallel, include_images=False)
elif which == "pdfium":
    import pypdfium2 as pdfium
    def run():
        doc = pdfium.PdfDocument(path)
        out = []
        for page in doc:
            tp = page.get_textpage()
            out.append(tp.get_text_range())
            tp.close(); page.close()
        doc.close()
        return out
else:
    import pymupdf
    def run():
        with pymupdf.open(path) as doc:
            return [page.get_text("dict") for page in doc]

base = vm_hwm()
start = time.perf_counter()
result = run()
seconds = time.perf_counter() - start
peak = vm_hwm()
print(json.dumps({"seconds": seconds, "peak": peak, "base": base, "result": deep_size(result),
                  "chars": chars_of(result) if which != "pymupdf" else None}))
"""

RUNS = ["quarvel", "quarvel-parallel", "quarvel_full", "quarvel_full-parallel", "pdfium", "pymupdf"]


def measure(which: str, path: str) -> dict:
    out = subprocess.run([sys.executable, "-c", CHILD, which, path], check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--pages", type=int, nargs="+", default=[2000, 6000])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--runs", nargs="+", default=RUNS)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        for pages in args.pages:
            path = os.path.join(tmp, f"text{pages}.pdf")
            Path(path).write_bytes(text_document(pages))
            print(f"{pages} pages, {os.path.getsize(path) / 1e6:.1f} MB")
            best: dict[str, dict] = {}
            # Rounds interleave the readers, so that load from other work on
            # the machine falls on all of them alike.
            for _ in range(args.repeat):
                for which in args.runs:
                    m = measure(which, path)
                    if which not in best or m["seconds"] < best[which]["seconds"]:
                        best[which] = m
            one = best.get("quarvel", {}).get("seconds")
            for which in args.runs:
                m = best[which]
                rss = (m["peak"] - m["base"]) / 2**20
                line = (f"  {which:22} {m['seconds'] * 1000 / pages:6.3f} ms/page"
                        f"  peak RSS {m['peak'] / 2**20:6.0f} MiB (+{rss:5.0f} over start)"
                        f"  result {m['result'] / 2**20:6.0f} MiB")
                if m.get("chars") is not None:
                    line += f"  {m['chars'] / 1e6:5.2f} M chars"
                if one:
                    line += f"  x1 {one / m['seconds']:.2f}"
                print(line, flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
