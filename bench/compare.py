#!/usr/bin/env python3
"""Side-by-side extraction speed of quarvel, quarvel_full, PyMuPDF, pypdfium2
and an inflate-only floor, each tool in its own process, in one run.

    bench/compare.py [--runs 5] [--pages 2000] [--out bench/RESULTS.md]

Needs the modules built in build/python (scripts/build.sh). The peers are
installed into the benchmark's own virtual environment, bench/.venv, made on
first use; they are no dependency of quarvel.

Every tool does the same work as its peers in a row of the table:
- text only: quarvel and quarvel_full with page_parallel=False and
  include_images=False; PyMuPDF page.get_text("dict") with the image-block
  flag cleared; pypdfium2 get_textpage() text and its text rectangles;
- with images: quarvel with include_images=True beside PyMuPDF's default
  dict flags, which keep image blocks with their bytes;
- floor: map the file and inflate every Flate stream (zlib), nothing else;
- extract_many: quarvel on one thread and with file_parallel on every core.

First each tool reads every file once; only the files that every tool
finishes are timed. Each timed run starts a fresh process per tool, which
reports its wall time, CPU time and peak RSS; the table gives the median and
the spread (min-max) over --runs, and the load average before and after.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
CORPUS = ROOT.parent / "shared" / "corpus"
BENCH_VENV = ROOT / "bench" / ".venv"
PEERS = ["pymupdf", "pypdfium2"]

# name -> (label, what the worker does)
TOOLS = {
    "floor": "floor: map + inflate every Flate stream (zlib)",
    "quarvel": "quarvel.extract, text only",
    "quarvel_full": "quarvel_full.extract, text only",
    "pymupdf": "PyMuPDF get_text('dict'), no image blocks",
    "pypdfium2": "pypdfium2 get_textpage() text + text rectangles",
    "quarvel_img": "quarvel.extract, with images",
    "pymupdf_img": "PyMuPDF get_text('dict'), with image blocks",
    "many_1": "quarvel.extract_many, 1 thread",
    "many_all": f"quarvel.extract_many, file_parallel ({os.cpu_count()} CPUs)",
}
TEXT_PEERS = ["pymupdf", "pypdfium2"]


# --- the worker: one tool over a list of files, in its own process ----------

def _floor(path: str) -> int:
    import mmap
    import zlib
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as data:
        at = 0
        while True:
            at = data.find(b"stream", at)
            if at < 0:
                break
            start = at + 6
            at = start
            if data[start:start + 2] == b"\r\n":
                start += 2
            elif data[start:start + 1] in (b"\n", b"\r"):
                start += 1
            else:
                continue  # "endstream", or a word in a string
            end = data.find(b"endstream", start)
            if end < 0:
                break
            try:
                zlib.decompressobj().decompress(data[start:end])
            except zlib.error:
                pass  # not Flate, or damaged: the floor only inflates
            at = end + 9
    return 0


def _work(tool: str):
    """The function that extracts one file with `tool`."""
    if tool == "floor":
        return _floor
    if tool in ("quarvel", "quarvel_img"):
        import quarvel
        images = tool == "quarvel_img"
        return lambda p: quarvel.extract(p, page_parallel=False, include_images=images)
    if tool == "quarvel_full":
        import quarvel_full
        return lambda p: quarvel_full.extract(p, page_parallel=False, include_images=False)
    if tool in ("pymupdf", "pymupdf_img"):
        import pymupdf
        flags = pymupdf.TEXTFLAGS_DICT
        if tool == "pymupdf":
            flags &= ~pymupdf.TEXT_PRESERVE_IMAGES
        def run(p):
            with pymupdf.open(p) as doc:
                if doc.needs_pass:
                    raise ValueError("encrypted")
                for page in doc:
                    page.get_text("dict", flags=flags)
        return run
    if tool == "pypdfium2":
        import pypdfium2 as pdfium
        def run(p):
            doc = pdfium.PdfDocument(p)
            try:
                for i in range(len(doc)):
                    page = doc[i]
                    text = page.get_textpage()
                    text.get_text_range()
                    for r in range(text.count_rects()):
                        text.get_rect(r)
                    text.close()
                    page.close()
            finally:
                doc.close()
        return run
    raise SystemExit(f"unknown tool {tool}")


def _pages(path: str) -> int:
    import pypdfium2 as pdfium
    doc = pdfium.PdfDocument(path)
    try:
        return len(doc)
    finally:
        doc.close()


def worker(tool: str, files: list[str], probe: bool) -> dict:
    import resource
    if probe:  # which files this tool finishes
        work = _work(tool)
        ok = []
        for path in files:
            try:
                work(path)
                ok.append(path)
            except Exception:
                pass
        return {"ok": ok}
    if tool.startswith("many_"):
        import quarvel
        parallel = tool == "many_all"
        work = None
    else:
        work = _work(tool)
    cpu0 = time.process_time()
    t0 = time.perf_counter()
    if work is None:
        quarvel.extract_many(files, file_parallel=parallel, page_parallel=False,
                             include_images=False)
    else:
        for path in files:
            work(path)
    wall = time.perf_counter() - t0
    cpu = time.process_time() - cpu0
    rss_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return {"wall": wall, "cpu": cpu, "rss_mib": rss_kib / 1024}


# --- the driver ---------------------------------------------------------------

def bench_python() -> str:
    python = BENCH_VENV / "bin" / "python"
    if not python.exists():
        print(f"compare: creating {BENCH_VENV} with {' '.join(PEERS)}", file=sys.stderr)
        subprocess.run([sys.executable, "-m", "venv", str(BENCH_VENV)], check=True)
        subprocess.run([str(python), "-m", "pip", "install", "-q", *PEERS], check=True)
    return str(python)


def run_worker(python: str, tool: str, files: list[str], probe: bool) -> dict:
    env = dict(os.environ, PYTHONPATH=str(ROOT / "build" / "python"))
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
        json.dump(files, f)
        listing = f.name
    try:
        out = subprocess.run([python, __file__, "--worker", tool, listing] + (["--probe"] if probe else []),
                             env=env, capture_output=True, text=True, timeout=1800)
    finally:
        os.unlink(listing)
    if out.returncode != 0:
        raise RuntimeError(f"{tool} failed: {out.stderr[-2000:]}")
    return json.loads(out.stdout.splitlines()[-1])


def generated(python: str, path: Path, pages: int) -> None:
    code = ("import sys\nfrom pathlib import Path\nfrom extract_bench import generated_document\n"
            "Path(sys.argv[1]).write_bytes(generated_document(int(sys.argv[2])))")
    env = dict(os.environ, PYTHONPATH=f"{ROOT / 'build' / 'python'}:{ROOT / 'bench'}")
    subprocess.run([python, "-c", code, str(path), str(pages)], env=env, check=True)


def measure(python: str, label: str, files: list[str], runs: int, tools: list[str]) -> dict:
    eligible = set(files)
    dropped = {}
    for tool in tools:
        if tool.startswith("many_"):
            continue
        ok = set(run_worker(python, tool, files, probe=True)["ok"])
        dropped[tool] = len(set(files) - ok)
        eligible &= ok
    print(f"compare: {label}: files a tool does not finish: {dropped}", file=sys.stderr)
    files = [f for f in files if f in eligible]
    pages = sum(run_worker_pages(python, files))
    results = {tool: [] for tool in tools}
    for _ in range(runs):
        for tool in tools:  # interleaved, so drifting load hits every tool alike
            results[tool].append(run_worker(python, tool, files, probe=False))
    return {"label": label, "files": len(files), "pages": pages, "results": results,
            "dropped": dropped}


def run_worker_pages(python: str, files: list[str]) -> list[int]:
    code = ("import json,sys\nimport pypdfium2 as p\n"
            "print(json.dumps([len(p.PdfDocument(f)) for f in json.load(open(sys.argv[1]))]))")
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
        json.dump(files, f)
        listing = f.name
    try:
        out = subprocess.run([python, "-c", code, listing], capture_output=True, text=True, check=True)
    finally:
        os.unlink(listing)
    return json.loads(out.stdout)


def table(m: dict) -> list[str]:
    pages = m["pages"]
    def rate(tool):
        walls = [r["wall"] for r in m["results"][tool]]
        rates = [pages / w for w in walls]
        return statistics.median(rates), min(rates), max(rates)
    def cpu(tool):
        return statistics.median(pages / r["cpu"] for r in m["results"][tool] if r["cpu"] > 0)
    def rss(tool):
        return max(r["rss_mib"] for r in m["results"][tool])
    dropped = "; ".join(f"{TOOLS[t]}: {n}" for t, n in m["dropped"].items() if n)
    lines = [f"### {m['label']}: {m['files']} files, {pages} pages, every tool finishing them", "",
             f"Files left out because a tool fails on them: {dropped or 'none'}.", "",
             "| tool | pages/s (median) | spread (min-max) | pages per CPU-s | peak RSS MiB "
             "| × floor | × PyMuPDF | × pypdfium2 | × PyMuPDF with images |",
             "| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |"]
    base = {t: rate(t)[0] for t in m["results"]}
    for tool in m["results"]:
        med, lo, hi = rate(tool)
        ratio = lambda peer: f"{med / base[peer]:.2f}" if peer in base else "—"
        lines.append(f"| {TOOLS[tool]} | {med:,.0f} | {lo:,.0f}–{hi:,.0f} | {cpu(tool):,.0f} "
                     f"| {rss(tool):.0f} | {ratio('floor')} | {ratio('pymupdf')} | {ratio('pypdfium2')} "
                     f"| {ratio('pymupdf_img')} |")
    return lines + [""]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--pages", type=int, default=2000, help="pages of the generated document")
    parser.add_argument("--out", type=Path, default=ROOT / "bench" / "RESULTS.md")
    parser.add_argument("--worker", nargs=2, metavar=("TOOL", "FILES_JSON"), help=argparse.SUPPRESS)
    parser.add_argument("--probe", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker:
        tool, listing = args.worker
        print(json.dumps(worker(tool, json.load(open(listing)), args.probe)))
        return 0

    python = bench_python()
    versions = subprocess.run(
        [python, "-c", "from importlib.metadata import version as v; print(v('pymupdf'), v('pypdfium2'))"],
        capture_output=True, text=True, check=True).stdout.split()
    load_before = os.getloadavg()
    measured = []
    if CORPUS.is_dir():
        corpus = sorted(str(p) for p in CORPUS.glob("*.pdf"))
        measured.append(measure(python, "corpus", corpus, args.runs, list(TOOLS)))
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "generated.pdf"
        generated(python, path, args.pages)
        # One large file: extract_many has nothing to spread, so it is left out.
        measured.append(measure(python, f"generated, {args.pages} text-dense pages", [str(path)],
                                args.runs, [t for t in TOOLS if not t.startswith("many_")]))
    load_after = os.getloadavg()

    out = ["# Extraction benchmark", "",
           "Written by `bench/compare.py` (see its docstring for what each tool does); "
           "one process per tool and run, tools interleaved within each run.", "",
           f"- machine: {platform.machine()}, {os.cpu_count()} CPUs, {platform.platform()}",
           f"- load average (1, 5, 15 min) before: {', '.join(f'{x:.2f}' for x in load_before)}; "
           f"after: {', '.join(f'{x:.2f}' for x in load_after)}",
           f"- runs: {args.runs}; PyMuPDF {versions[0]}, pypdfium2 {versions[1]}",
           "- pages/s is wall-clock, the median over the runs; pages per CPU-s uses the "
           "process's user+system time; peak RSS is the largest over the runs", ""]
    for m in measured:
        out += table(m)
    args.out.write_text("\n".join(out))
    print("\n".join(out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
